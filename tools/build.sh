# shellcheck shell=bash
# ./dev build configures and builds the Release tree in build/; ./dev demo
# builds it and runs the first example against it.

cmd_build() {
  ensure_env
  # Two ./dev runs in one checkout would race in the same build tree; the lock
  # is held until this script exits, so a test run also sees its own build.
  lock build/.dev-lock "another ./dev build in this checkout"
  # A build tree configured by the other environment (or another generator)
  # holds the wrong interpreter and compiler; start it afresh.
  local identity stamp=build/.dev-env fresh=()
  if [ "$MODE" = native ]; then identity="native $PY"; else identity="sid-root"; fi
  if [ ! -f build/build.ninja ] || [ "$(cat "$stamp" 2>/dev/null)" != "$identity" ]; then
    [ -f build/CMakeCache.txt ] && fresh=(--fresh)
    step "Configuring (CMake, Ninja, Release) into build/"
    in_env cmake "${fresh[@]}" -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "${CMAKE_ENV_ARGS[@]}"
    printf '%s\n' "$identity" >"$stamp"
  fi
  step "Building"
  in_env cmake --build build
}

cmd_demo() {
  cmd_build
  step "python3 examples/first_steps.py"
  in_env python3 examples/first_steps.py
}
