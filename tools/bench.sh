# shellcheck shell=bash
# ./dev bench: a Release build with the core benchmark in build-bench/, the
# peers installed where possible, and the suite that times _quoril against
# them.

BENCH_DIR='build-bench'
# Only the benchmarks compare against these, so they are installed here on
# first use rather than listed in tools/sid-packages.txt.
BENCH_PEERS=(python3-torch python3-casadi)

# A peer that cannot be installed is reported as missing in the table.
install_bench_peers() {
  local package module apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q)
  for package in "${BENCH_PEERS[@]}"; do
    module=${package#python3-}
    in_env python3 -c "import $module" >/dev/null 2>&1 && continue
    if [ "$MODE" != root ]; then
      note "$module does not import here; install $package to compare against it"
      continue
    fi
    step "Installing $package for the benchmarks"
    in_env "${apt[@]}" install -y --no-install-recommends "$package" ||
      { in_env "${apt[@]}" update && in_env "${apt[@]}" install -y --no-install-recommends "$package"; } ||
      note "could not install $package; the table will say so"
  done
}

cmd_bench() {
  ensure_env
  lock "$BENCH_DIR/.dev-lock" "another ./dev bench in this checkout"
  install_bench_peers
  step "Configuring and building (Release, with the core benchmark) into $BENCH_DIR"
  in_env cmake -S . -B "$BENCH_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release "${CMAKE_ENV_ARGS[@]}" \
    -DQUORIL_BUILD_TESTS=OFF -DQUORIL_BUILD_BENCHMARKS=ON >/dev/null
  in_env cmake --build "$BENCH_DIR"
  local tree
  tree=$(git describe --always --dirty 2>/dev/null) || tree=
  step "python3 bench/suite.py $*"
  in_env env "PYTHONPATH=$REPO/$BENCH_DIR/python" python3 bench/suite.py \
    --core-bench "$BENCH_DIR/bench/quoril_core_bench" ${tree:+--tree "$tree"} "$@"
}
