# shellcheck shell=bash
# The Debian sid root that ./dev builds in when this host lacks the
# toolchain: its creation from tools/sid-packages.txt, its refresh when that
# list changes, and entering it. Sourced by tools/lib.sh.

# The directory bound into the root at its own path: the repository's parent,
# so that checkouts and folders beside it are reachable too.
bind_dir() {
  local parent
  parent=$(dirname -- "$REPO")
  if [ "$parent" = / ]; then printf '%s\n' "$REPO"; else printf '%s\n' "$parent"; fi
}

# Stops with MESSAGE and the way to build without the root.
die_without_root() {
  die "$1" \
    "To build natively instead, install Python 3.14 with its headers, pybind11 3," \
    "CMake >= 3.24, Ninja and a C++20 compiler, then run QUORIL_NATIVE=1 ./dev test" \
    "(or the cmake commands under \"Building natively\" in README.md)." \
    ${NATIVE_PROBLEM:+"This host lacks that toolchain: $NATIVE_PROBLEM."}
}

require_root_tools() {
  local missing=()
  [ "$(id -u)" = 0 ] || missing+=("root rights")
  command -v unshare >/dev/null || missing+=("unshare (util-linux)")
  command -v chroot >/dev/null || missing+=("chroot (coreutils)")
  command -v mount >/dev/null || missing+=("mount")
  if [ "${#missing[@]}" -gt 0 ]; then
    local joined
    joined=$(printf '%s, ' "${missing[@]}")
    die_without_root "the Debian sid environment at $ROOT needs ${joined%, }, which this session lacks"
  fi
}

require_debootstrap() {
  command -v debootstrap >/dev/null && return 0
  if command -v apt-get >/dev/null; then
    step "Installing debootstrap on this host"
    apt-get install -y debootstrap debian-archive-keyring ||
      { apt-get update && apt-get install -y debootstrap debian-archive-keyring; } ||
      true
  fi
  command -v debootstrap >/dev/null ||
    die_without_root "creating the Debian sid environment needs debootstrap, which is missing and could not be installed"
}

package_list() {
  [ -f "$PACKAGES_FILE" ] || die "missing package list $PACKAGES_FILE"
  sed -e 's/#.*//' -- "$PACKAGES_FILE" | tr -s '[:space:]' '\n' | sed '/^$/d' | LC_ALL=C sort -u
}

package_hash() {
  local sum
  sum=$(package_list | sha256sum)
  printf '%s\n' "${sum%% *}"
}

# Mount points at or below the root in any mount namespace. /proc/*/mounts
# escapes blanks and backslashes in octal.
mounts_under_root() {
  local escaped=${ROOT//\\/\\134}
  escaped=${escaped// /\\040}
  escaped=${escaped//$'\t'/\\011}
  escaped=${escaped//$'\n'/\\012}
  { cat /proc/self/mounts /proc/[0-9]*/mounts 2>/dev/null || true; } |
    R=$escaped awk '$2 == ENVIRON["R"] || index($2, ENVIRON["R"] "/") == 1 { print $2 }' |
    sort -u
}

# Runs CMD inside the root in a private mount namespace, so every mount made
# here disappears with the command. An empty bind directory mounts nothing of
# the host beyond /proc and /dev.
#   enter_root BIND_DIR CWD [NAME=VALUE...] CMD [ARG...]
enter_root() {
  # shellcheck disable=SC2016 # the script expands its own arguments
  unshare --mount --fork --propagation private -- bash -c '
    set -e
    root=$1 bind=$2 cwd=$3
    shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    if [ -n "$bind" ]; then
      mkdir -p "$root$bind"
      mount --bind "$bind" "$root$bind"
    fi
    exec chroot "$root" /usr/bin/env -i -C "$cwd" "$@"
  ' enter-root "$ROOT" "$1" "$2" "${@:3}"
}

# Files the root needs before apt can run in it; safe to repeat.
prepare_root_files() {
  mkdir -p "$ROOT_STATE/bin" "$ROOT/etc/apt/apt.conf.d"
  # The mirror's Release files may be dated ahead of or behind this clock.
  cat >"$ROOT/etc/apt/apt.conf.d/90quoril" <<'EOF'
Acquire::Check-Valid-Until "false";
Acquire::Languages "none";
APT::Install-Recommends "false";
EOF
  # Never write through a link the root may hold to a path of the host.
  rm -f -- "$ROOT/etc/resolv.conf"
  cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
  printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
  chmod 755 "$ROOT/usr/sbin/policy-rc.d"
  printf 'quoril-sid\n' >"$ROOT/etc/debian_chroot"
  ln -sfn "$ROOT_PY" "$ROOT_STATE/bin/python3"
}

install_packages() {
  local packages
  mapfile -t packages < <(package_list)
  [ "${#packages[@]}" -gt 0 ] || die "no packages listed in $PACKAGES_FILE"
  prepare_root_files
  local apt_env=("PATH=$ROOT_PATH" HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
  step "apt-get update (sid)"
  enter_root '' / "${apt_env[@]}" apt-get -q update
  step "apt-get install ${packages[*]}"
  enter_root '' / "${apt_env[@]}" sh -c \
    'dpkg --configure -a && apt-get -q install -y --no-install-recommends "$@" && apt-get clean' \
    install "${packages[@]}"
  [ -x "$ROOT$ROOT_PY" ] || die "$ROOT_PY is missing from the root; is python3.14-dev still in $PACKAGES_FILE?"
}

discard_half_made_root() {
  local mounted
  mounted=$(mounts_under_root)
  if [ -n "$mounted" ]; then
    die "$ROOT is incomplete but still has mounts inside it; not removing it" \
      "$mounted" "Unmount them (umount -R PATH) or end the processes using them, then retry."
  fi
  step "Removing the incomplete environment at $ROOT (an earlier set-up was interrupted)"
  rm -rf --one-file-system -- "$ROOT"
}

create_root() {
  step "Creating a Debian sid environment at $ROOT"
  note "${NATIVE_PROBLEM:+This host cannot build natively: $NATIVE_PROBLEM. }First use only; it takes about a minute or two."
  note "Packages: tools/sid-packages.txt; mirror: $MIRROR"
  require_debootstrap
  unshare --mount --fork true 2>/dev/null ||
    die_without_root "unshare --mount fails here (a container without CAP_SYS_ADMIN?)"
  # Marks the directory as ours, so an interrupted set-up may be removed.
  mkdir -p "$ROOT_STATE"
  step "debootstrap --variant=minbase sid"
  # debootstrap's shell code breaks on blanks in the target path, so it works
  # on the root seen at /mnt. The private namespace drops that mount and the
  # ones debootstrap makes itself, even when interrupted.
  # shellcheck disable=SC2016 # the script expands its own arguments
  unshare --mount --fork --propagation private -- bash -c \
    'mount --bind "$1" /mnt && exec debootstrap --variant=minbase sid /mnt "$2"' \
    debootstrap "$ROOT" "$MIRROR"
  install_packages
  package_hash >"$ROOT_STATE/packages.sha256"
  : >"$ROOT_STATE/complete"
  step "Debian sid environment created"
}

refresh_root() {
  step "tools/sid-packages.txt changed; installing its packages into $ROOT"
  install_packages
  package_hash >"$ROOT_STATE/packages.sha256"
}

root_is_current() {
  [ -f "$ROOT_STATE/complete" ] || return 1
  local stored
  stored=$(cat -- "$ROOT_STATE/packages.sha256" 2>/dev/null) || return 1
  [ "$stored" = "$(package_hash)" ]
}

setup_root() {
  require_root_tools
  case $REPO/ in
    "$ROOT"/*) die "QUORIL_ROOT ($ROOT) must not contain the repository" ;;
  esac
  case $ROOT/ in
    "$REPO"/*) die "QUORIL_ROOT ($ROOT) must lie outside the repository" ;;
  esac
  # shellcheck disable=SC2034 # the interpreter every subcommand runs
  PY=$ROOT_PY
  root_is_current && return 0

  lock "$ROOT.lock" "another ./dev that is setting up $ROOT"
  # Whoever held the lock may have done the work already.
  if [ ! -f "$ROOT_STATE/complete" ]; then
    if [ -e "$ROOT" ]; then
      if [ -d "$ROOT" ] && { [ -d "$ROOT_STATE" ] || [ -z "$(ls -A -- "$ROOT")" ]; }; then
        discard_half_made_root
      else
        die "$ROOT exists but was not made by ./dev; set QUORIL_ROOT to another path"
      fi
    fi
    create_root
  elif ! root_is_current; then
    refresh_root
  fi
  # Another ./dev that finds the root out of date waits for the set-up only,
  # not for the rest of this run.
  exec {LOCK_FD}>&-
}
