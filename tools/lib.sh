# shellcheck shell=bash
# Helpers every subcommand of ./dev shares: messages, the checkout lock, the
# choice between this host's toolchain and the sid root, and in_env, which
# runs a command in the chosen one.
#
# Sourced by ./dev with REPO set, before it changes to the repository, so that
# a relative QUORIL_ROOT is taken from where ./dev was called.

PACKAGES_FILE=$REPO/tools/sid-packages.txt

ROOT=${QUORIL_ROOT:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quoril/sid-root}
case $ROOT in
  /*) ;;
  *) ROOT=$PWD/$ROOT ;;
esac
ROOT=${ROOT%/}
ROOT_STATE=$ROOT/.quoril
ROOT_PY=/usr/bin/python3.14
# /.quoril/bin holds a python3 that is always 3.14, whatever sid's default is.
ROOT_PATH=/.quoril/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
MIRROR=${QUORIL_MIRROR:-http://deb.debian.org/debian}

NATIVE_SHIM_DIR=${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quoril/native-bin

MODE=
PY=
NATIVE_PROBLEM=
NATIVE_PY=
NATIVE_PYBIND11_DIR=
ENV_READY=0
CMAKE_ENV_ARGS=()
LOCK_FD=

# The built module imports in every subcommand without an install step.
export PYTHONPATH="$REPO/build/python${PYTHONPATH:+:$PYTHONPATH}"

step() { printf '==> %s\n' "$*"; }
note() { printf '    %s\n' "$*"; }
die() {
  printf 'dev: %s\n' "$1" >&2
  shift
  local line
  for line in "$@"; do printf '     %s\n' "$line" >&2; done
  exit 1
}

verdict() { if [ "$1" = 0 ]; then echo passed; else echo "FAILED (exit $1)"; fi; }

# Takes an exclusive lock on FILE, saying it waits for WHO while another
# ./dev holds it. The lock lasts until this script exits, unless the caller
# closes LOCK_FD, the descriptor that holds it.
#   lock FILE WHO
lock() {
  mkdir -p -- "$(dirname -- "$1")"
  exec {LOCK_FD}>"$1"
  if ! flock -n "$LOCK_FD"; then
    step "Waiting for $2"
    flock "$LOCK_FD"
  fi
}

version_at_least() {
  [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1)" = "$2" ]
}

# Sets NATIVE_PROBLEM to the first missing piece, or leaves it empty.
check_native() {
  NATIVE_PROBLEM=
  local py include flag dir header major cmake_version
  if ! py=$(command -v python3.14); then
    NATIVE_PROBLEM="python3.14 is not on PATH"
    return 0
  fi
  NATIVE_PY=$py
  include=$("$py" -c 'import sysconfig; print(sysconfig.get_path("include"))' 2>/dev/null) || include=
  if [ ! -f "$include/Python.h" ]; then
    NATIVE_PROBLEM="the Python 3.14 headers (Python.h) are not installed"
    return 0
  fi

  # A pip-installed pybind11 for 3.14 wins over the system one, as CMake would
  # be pointed at it through pybind11_DIR.
  local dirs=()
  if NATIVE_PYBIND11_DIR=$("$py" -m pybind11 --cmakedir 2>/dev/null); then
    for flag in $("$py" -m pybind11 --includes 2>/dev/null); do
      dirs+=("${flag#-I}")
    done
  else
    NATIVE_PYBIND11_DIR=
  fi
  dirs+=(/usr/local/include /usr/include)
  major=
  for dir in "${dirs[@]}"; do
    header=$dir/pybind11/detail/common.h
    if [ -f "$header" ]; then
      major=$(sed -n 's/^#define PYBIND11_VERSION_MAJOR \([0-9]*\).*/\1/p' "$header")
      break
    fi
  done
  if [ -z "$major" ] || [ "$major" -lt 3 ]; then
    NATIVE_PROBLEM="pybind11 3 or later is not installed${major:+ (found $major)}"
    return 0
  fi

  if ! command -v cmake >/dev/null; then
    NATIVE_PROBLEM="cmake is not on PATH"
    return 0
  fi
  cmake_version=$(cmake --version | sed -n '1s/^cmake version \([0-9.]*\).*/\1/p')
  if ! version_at_least "${cmake_version:-0}" 3.24; then
    NATIVE_PROBLEM="cmake ${cmake_version:-?} is older than 3.24"
    return 0
  fi
  if ! command -v ninja >/dev/null && ! command -v ninja-build >/dev/null; then
    NATIVE_PROBLEM="ninja is not on PATH"
    return 0
  fi
  if ! printf '#include <concepts>\n#include <span>\nint main() {}\n' |
      "${CXX:-c++}" -std=c++20 -fsyntax-only -x c++ - >/dev/null 2>&1; then
    NATIVE_PROBLEM="${CXX:-c++} cannot compile C++20"
    return 0
  fi
}

choose_mode() {
  # ./dev called from inside the sid root uses that root's tools as they are.
  if [ "${QUORIL_IN_ROOT:-}" = 1 ]; then
    MODE=native
    return
  fi
  case ${QUORIL_NATIVE:-} in
    1) MODE=native ;;
    0) MODE=root ;;
    '')
      check_native
      if [ -z "$NATIVE_PROBLEM" ]; then MODE=native; else MODE=root; fi
      ;;
    *) die "QUORIL_NATIVE must be 0 or 1, not '$QUORIL_NATIVE'" ;;
  esac
}

setup_native() {
  if [ -z "$NATIVE_PY" ]; then
    NATIVE_PY=$(command -v python3.14) ||
      die "QUORIL_NATIVE=1 but python3.14 is not on PATH"
    NATIVE_PYBIND11_DIR=$("$NATIVE_PY" -m pybind11 --cmakedir 2>/dev/null) || NATIVE_PYBIND11_DIR=
  fi
  PY=$NATIVE_PY
  if [ "$(readlink "$NATIVE_SHIM_DIR/python3" 2>/dev/null)" != "$PY" ]; then
    mkdir -p "$NATIVE_SHIM_DIR"
    ln -sfn "$PY" "$NATIVE_SHIM_DIR/python3"
  fi
}

# Chooses the environment and makes it ready, once per run. Sets PY and
# CMAKE_ENV_ARGS, which point a CMake configure run at this environment's
# interpreter and, natively, at the pybind11 that check_native found.
ensure_env() {
  [ "$ENV_READY" = 1 ] && return 0
  choose_mode
  if [ "$MODE" = native ]; then setup_native; else setup_root; fi
  CMAKE_ENV_ARGS=("-DPython_EXECUTABLE=$PY")
  if [ -n "$NATIVE_PYBIND11_DIR" ] && [ "$MODE" = native ]; then
    CMAKE_ENV_ARGS+=("-Dpybind11_DIR=$NATIVE_PYBIND11_DIR")
  fi
  ENV_READY=1
}

# Runs CMD in the environment from the current directory (which must lie under
# the repository's parent) and returns its exit code.
in_env() {
  ensure_env
  if [ "$MODE" = native ]; then
    PATH="$NATIVE_SHIM_DIR:$PATH" "$@"
    return
  fi
  local vars=(HOME=/root "PATH=$ROOT_PATH" LANG=C.UTF-8) name
  [ -n "${TERM+set}" ] && vars+=("TERM=$TERM")
  [ -n "${CI+set}" ] && vars+=("CI=$CI")
  [ -n "${PYTHONPATH+set}" ] && vars+=("PYTHONPATH=$PYTHONPATH")
  for name in $(compgen -e); do
    case $name in QUORIL_*) vars+=("$name=${!name}") ;; esac
  done
  vars+=(QUORIL_IN_ROOT=1)
  enter_root "$(bind_dir)" "$PWD" "${vars[@]}" "$@"
}

# shellcheck source=tools/root.sh
source "$REPO/tools/root.sh"
