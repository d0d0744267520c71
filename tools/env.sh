# shellcheck shell=bash
# ./dev env, run and shell: make the environment ready and report it, run a
# command in it, or open a shell in it.

cmd_env() {
  ensure_env
  if [ "$MODE" = native ]; then
    step "Native toolchain: $PY${NATIVE_PYBIND11_DIR:+, pybind11 at $NATIVE_PYBIND11_DIR}; nothing to create"
  else
    step "Debian sid environment ready at $ROOT"
  fi
}

cmd_run() {
  [ "$#" -gt 0 ] || die "usage: ./dev run CMD [ARG...]"
  in_env "$@"
}

cmd_shell() {
  in_env bash
}
