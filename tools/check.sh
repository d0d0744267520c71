# shellcheck shell=bash
# ./dev check and ./dev fuzz: the tests under ASan, UBSan, TSan and valgrind
# memcheck, and libFuzzer runs of the core, all in build-check/.

CHECK_DIR='build-check'
SANITIZE="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
UBSAN_ENV=UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
FUZZ_FLAGS=(-max_len=1024 -timeout=60 -rss_limit_mb=4096 -print_final_stats=1)
# Tests that say nothing about the module's memory safety, or cannot under a
# sanitizer: packaging checks an installed wheel, typing runs static checkers, the
# resident-memory test measures the sanitizer's own bookkeeping, and other
# interpreters load the module without the sanitizer runtime.
CHECK_PYTEST_SKIPS=(
  --ignore=tests/python/test_packaging.py
  --ignore=tests/python/test_typing.py
  --deselect=tests/python/test_deep.py::test_memory_stays_flat
  --deselect=tests/python/test_module.py::test_other_interpreter_versions_refuse_the_import
)
# The part of the Python suite that memcheck runs: every entry point, without
# the million-node chains that would take it many minutes.
# In the order of a full run, which some tests rely on.
MEMCHECK_TESTS=(
  tests/python/test_evaluation.py tests/python/test_fit.py
  tests/python/test_leaves.py tests/python/test_module.py
  tests/python/test_operators.py tests/python/test_ops.py tests/python/test_properties.py
  tests/python/test_threads.py
)

# Holds build-check/'s lock until this script exits, as cmd_build does for
# build/.
lock_check_tree() {
  lock "$CHECK_DIR/.dev-lock" "another ./dev check or fuzz in this checkout"
}

# Builds the fuzz target with clang and libFuzzer straight from the core's
# sources, unless it is newer than all of them.
build_fuzzer() {
  local target=$CHECK_DIR/fuzz/core_fuzz
  mkdir -p "$CHECK_DIR/fuzz/corpus"
  if [ -x "$target" ] &&
      [ -z "$(find symbolic tests/fuzz -name '*.[ch]*' -newer "$target" -print -quit)" ]; then
    return 0
  fi
  in_env clang++ --version >/dev/null 2>&1 ||
    die "fuzzing needs clang with libFuzzer (Debian: clang, libclang-rt-dev)"
  step "Building the fuzz target (clang, libFuzzer, ASan, UBSan)"
  # shellcheck disable=SC2086
  in_env clang++ -std=c++20 -O1 -g -ffp-contract=off $SANITIZE -fsanitize=fuzzer -I. -I/usr/include/eigen3 \
    tests/fuzz/core_fuzz.cpp symbolic/*.cpp -o "$target"
}

# Fuzzes for SECONDS, starting from the stored corpus and what earlier runs
# kept in build-check/fuzz/corpus; a failing input is written to
# build-check/fuzz/ and replayed with a symbolised stack when the sanitizer
# build is there.
run_fuzzer() {
  local seconds=$1 log=$CHECK_DIR/fuzz/fuzz.log rc=0 artifact
  step "Fuzzing the core for ${seconds}s (log: $log)"
  in_env env "$UBSAN_ENV" "$CHECK_DIR/fuzz/core_fuzz" "${FUZZ_FLAGS[@]}" \
    -max_total_time="$seconds" -artifact_prefix="$CHECK_DIR/fuzz/" \
    "$CHECK_DIR/fuzz/corpus" tests/fuzz/corpus >"$log" 2>&1 || rc=$?
  note "$(grep -E '^#[0-9]+[[:space:]]+(DONE|NEW|REDUCE|pulse)' "$log" | tail -n 1)"
  note "$(grep -E '^stat::number_of_executed_units' "$log" || true)"
  [ "$rc" = 0 ] && return 0
  grep -v -E '^#[0-9]+' "$log" | tail -n 30 >&2
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
  if [ -n "$artifact" ] && [ -x "$CHECK_DIR/asan/tests/cpp/quoril_fuzz_replay" ]; then
    step "Replaying $artifact in the sanitizer build"
    in_env env QUORIL_FUZZ_REPLAY="$artifact" "$UBSAN_ENV" \
      "$CHECK_DIR/asan/tests/cpp/quoril_fuzz_replay" 2>&1 | tail -n 40 >&2 || true
  fi
  note "Once fixed, keep ${artifact:-the input} in tests/fuzz/corpus/ as a regression input."
  return "$rc"
}

# Bytes definitely plus indirectly lost, from a memcheck log's summary.
leaked_bytes() {
  sed -n 's/^==[0-9]*== *\(definitely\|indirectly\) lost: \([0-9,]*\) bytes.*/\2/p' "$1" |
    tr -d , | awk '{ total += $1 } END { print total + 0 }'
}

cmd_check() {
  local fuzz_seconds=${QUORIL_CHECK_FUZZ_SECONDS:-120} started=$SECONDS failed=()
  local asan=$CHECK_DIR/asan memcheck=$CHECK_DIR/memcheck preload
  ensure_env
  lock_check_tree

  step "Configuring and building with ASan and UBSan into $asan"
  in_env cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ "${CMAKE_ENV_ARGS[@]}" \
    "-DCMAKE_CXX_FLAGS=$SANITIZE" "-DCMAKE_EXE_LINKER_FLAGS=$SANITIZE" \
    "-DCMAKE_SHARED_LINKER_FLAGS=$SANITIZE" "-DCMAKE_MODULE_LINKER_FLAGS=$SANITIZE" >/dev/null
  in_env cmake --build "$asan"

  # The consumer test builds a separate project against the installed
  # library without these flags, which cannot link it.
  step "C++ tests under ASan, UBSan and leak detection"
  in_env env ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 "$UBSAN_ENV" \
    ctest --test-dir "$asan" --output-on-failure -j 2 -E '^installed_package_consumer$' ||
    failed+=(ctest)

  # The interpreter is not built with the sanitizer: its runtime (and the C++
  # runtime, whose throw it intercepts) is preloaded, and leak detection is
  # left to memcheck, as the interpreter keeps memory until exit by design.
  preload="$(in_env g++ -print-file-name=libasan.so) $(in_env g++ -print-file-name=libstdc++.so)"
  step "Python tests with the sanitized module"
  in_env env "PYTHONPATH=$REPO/$asan/python" "LD_PRELOAD=$preload" \
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 "$UBSAN_ENV" QUORIL_SANITIZED=asan \
    python3 -m pytest -p no:cacheprovider "${CHECK_PYTEST_SKIPS[@]}" tests/python ||
    failed+=(pytest-asan)

  # Only the core runs threads of its own in tests; the module's threads are
  # serialised by the interpreter lock.
  step "Core thread tests under ThreadSanitizer"
  mkdir -p "$CHECK_DIR/tsan"
  if in_env g++ -std=c++20 -O1 -g -fsanitize=thread -I. -I/usr/include/eigen3 -Itests/cpp tests/cpp/deep_graph_test.cpp \
      symbolic/*.cpp -lgtest -lgtest_main -o "$CHECK_DIR/tsan/deep_graph_test"; then
    in_env env TSAN_OPTIONS=halt_on_error=1 "$CHECK_DIR/tsan/deep_graph_test" \
      --gtest_filter='DeepGraphs.*Threads*' || failed+=(tsan)
  else
    failed+=(tsan-build)
  fi

  build_fuzzer
  run_fuzzer "$fuzz_seconds" || failed+=(fuzz)

  in_env valgrind --version >/dev/null 2>&1 || die "./dev check needs valgrind"
  step "Configuring and building for memcheck into $memcheck"
  in_env cmake -S . -B "$memcheck" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${CMAKE_ENV_ARGS[@]}" -DQUORIL_BUILD_TESTS=OFF >/dev/null
  in_env cmake --build "$memcheck"
  local log=$memcheck/valgrind.log base_log=$memcheck/valgrind-numpy.log baseline lost
  # shellcheck disable=SC2054 # the commas belong to valgrind's lists
  local memcheck_args=(valgrind --tool=memcheck --leak-check=full
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=none
    --error-exitcode=99 --num-callers=40 --suppressions=tests/valgrind/python.supp)
  # Importing NumPy, as the package does, loses a few objects by itself; a
  # run fails on what is definitely or indirectly lost beyond that.
  step "NumPy's own import under valgrind memcheck, for comparison (log: $base_log)"
  in_env env PYTHONMALLOC=malloc "${memcheck_args[@]}" --log-file="$base_log" \
    python3 -c 'import numpy' || failed+=(memcheck-numpy)
  baseline=$(leaked_bytes "$base_log")
  step "Python tests under valgrind memcheck (log: $log)"
  in_env env "PYTHONPATH=$REPO/$memcheck/python" PYTHONMALLOC=malloc QUORIL_SANITIZED=memcheck \
    "${memcheck_args[@]}" --log-file="$log" \
    python3 -m pytest -p no:cacheprovider -q "${MEMCHECK_TESTS[@]}" || failed+=(memcheck)
  sed -n 's/^==[0-9]*== *\(definitely lost\|indirectly lost\|possibly lost\|ERROR SUMMARY\)/\1/p' "$log" |
    while IFS= read -r line; do note "$line"; done
  lost=$(leaked_bytes "$log")
  note "definitely and indirectly lost: $lost bytes; by importing NumPy alone: $baseline bytes"
  if [ "$lost" -gt "$baseline" ]; then
    note "memcheck: more is lost than NumPy's import loses; see $log"
    failed+=(memcheck-lost)
  fi
  # The interpreter's objects are often reached only through interior
  # pointers, so "possibly lost" stays a note, unless the module allocated it.
  # pybind11 makes the type of its function records once per process, by
  # PyType_Ready, inside whichever def() of ours comes first; that type is
  # the interpreter's, so a record made there does not count as ours.
  if awk 'function close_record() { if (record && ours && !pybind_type) found = 1; record = 0 }
          /are possibly lost in loss record/ { close_record(); record = 1; ours = 0; pybind_type = 0; next }
          record && /get_function_record_PyTypeObject/ { pybind_type = 1 }
          record && /quoril/ { ours = 1 }
          !/^==[0-9]+==    (at|by) / { close_record() }
          END { close_record(); exit !found }' "$log"; then
    note "memcheck: a possibly lost block was allocated by the module; see $log"
    failed+=(memcheck-possible)
  fi

  step "./dev check took $((SECONDS - started))s"
  if [ "${#failed[@]}" -gt 0 ]; then
    step "check FAILED: ${failed[*]}"
    return 1
  fi
  step "check passed"
}

cmd_fuzz() {
  local seconds=${1:-600}
  [[ $seconds =~ ^[0-9]+$ ]] || die "usage: ./dev fuzz [SECONDS]"
  ensure_env
  lock_check_tree
  build_fuzzer
  run_fuzzer "$seconds"
  note "New inputs are in $CHECK_DIR/fuzz/corpus; fold those that add coverage into the stored corpus with"
  note "./dev run $CHECK_DIR/fuzz/core_fuzz -merge=1 tests/fuzz/corpus $CHECK_DIR/fuzz/corpus"
}
