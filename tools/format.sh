# shellcheck shell=bash
# ./dev format: the project's C++ through this host's clang-format and
# .clang-format; --check lists the files that differ and changes none.

# Every C++ file of the core, the modules, the tests and the benchmarks.
format_files() {
  find symbolic python package/native tests/cpp tests/fuzz tests/consumer \
    -type f \( -name '*.cpp' -o -name '*.h' \) -print
  find bench -maxdepth 1 -type f -name '*.cpp' -print
}

cmd_format() {
  local check=0
  case ${1:-} in
    --check) check=1 ;;
    '') ;;
    *) die "usage: ./dev format [--check]" ;;
  esac
  [ "$#" -le 1 ] || die "usage: ./dev format [--check]"
  # The sid root has no clang-format; the host's is the one the style is
  # checked against.
  command -v clang-format >/dev/null ||
    die "./dev format needs clang-format on this host (Debian: clang-format)"
  local files file formatted differ=()
  mapfile -t files < <(format_files | LC_ALL=C sort)
  [ "${#files[@]}" -gt 0 ] || die "no C++ files to format"
  local style=(-style=file:.clang-format)
  if [ "$check" = 0 ]; then
    step "clang-format -i ${style[*]} over ${#files[@]} files"
    clang-format -i "${style[@]}" -- "${files[@]}"
    return
  fi
  formatted=$(mktemp)
  # shellcheck disable=SC2064 # the name is fixed now
  trap "rm -f -- '$formatted'" EXIT
  for file in "${files[@]}"; do
    clang-format "${style[@]}" -- "$file" >"$formatted" ||
      die "clang-format failed on $file"
    cmp -s -- "$formatted" "$file" || differ+=("$file")
  done
  if [ "${#differ[@]}" -gt 0 ]; then
    for file in "${differ[@]}"; do note "$file"; done
    step "format: ${#differ[@]} of ${#files[@]} files differ from .clang-format; ./dev format rewrites them"
    return 1
  fi
  step "format: all ${#files[@]} files follow .clang-format"
}
