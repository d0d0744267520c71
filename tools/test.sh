# shellcheck shell=bash
# ./dev test: an incremental build and the unit tests (ctest, pytest), then,
# unless --quick, the release round trip and the sanitizer, fuzzing and
# memcheck run; fails if any part fails.

# shellcheck source=tools/build.sh
source "$REPO/tools/build.sh"
# shellcheck source=tools/dist.sh
source "$REPO/tools/dist.sh"
# shellcheck source=tools/check.sh
source "$REPO/tools/check.sh"

cmd_test() {
  local quick=0
  case ${1:-} in
    --quick) quick=1 ;;
    '') ;;
    *) die "usage: ./dev test [--quick]" ;;
  esac
  cmd_build
  local ctest_rc=0 pytest_rc=0 dist_rc=0 check_rc=0
  step "C++ tests: ctest --test-dir build --output-on-failure"
  in_env ctest --test-dir build --output-on-failure || ctest_rc=$?
  step "Python tests: python3 -m pytest tests/python bench/test_bench.py"
  in_env python3 -m pytest tests/python bench/test_bench.py || pytest_rc=$?
  if [ "$quick" = 1 ]; then
    step "ctest $(verdict "$ctest_rc"), pytest $(verdict "$pytest_rc") (--quick: no dist, no check)"
  else
    # shellcheck disable=SC2119 # the round trip takes no arguments
    cmd_dist || dist_rc=$?
    cmd_check || check_rc=$?
    step "ctest $(verdict "$ctest_rc"), pytest $(verdict "$pytest_rc"), dist $(verdict "$dist_rc"), check $(verdict "$check_rc")"
  fi
  [ "$ctest_rc" = 0 ] && [ "$pytest_rc" = 0 ] && [ "$dist_rc" = 0 ] && [ "$check_rc" = 0 ]
}
