# Runs the plain suite inside a root of another Debian release (scripts/test --debian N).
# The root lives under the build tree (build-debianN/root) and is reused until --fresh; the
# working tree is copied into it, so the run sees the tracked and untracked files, never the
# host's build folders. Everything this mounts is unmounted, and every process left inside the
# root is stopped, on every way out: success, failure, Ctrl-C or a kill.
# shellcheck shell=bash

VELMOR_DEBIAN_ROOT=
VELMOR_DEBIAN_NAME=
VELMOR_DEBIAN_STDERR=2 # the run's own standard error, also while a step's goes to a log

velmor_debian_codename() {
  case $1 in
  12) echo bookworm ;;
  13) echo trixie ;;
  *) return 1 ;;
  esac
}

# VELMOR_DEBIAN_MIRROR, else the archive this machine's apt already uses (not the security one),
# else Debian's own.
velmor_debian_mirror() {
  local uri=${VELMOR_DEBIAN_MIRROR:-}
  [ -n "$uri" ] && echo "$uri" && return 0
  uri=$(awk '$1 == "URIs:" && $2 !~ /security/ { print $2; exit }' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $0 !~ /security/ {
      for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
    /etc/apt/sources.list 2>/dev/null || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

velmor_debian_fail() {
  echo "$VELMOR_DEBIAN_NAME: $1 failed" >&"$VELMOR_DEBIAN_STDERR"
  exit 1
}

# Mount points at or below the root, deepest first.
velmor_debian_mounts() {
  findmnt -rn -o TARGET | awk -v root="$VELMOR_DEBIAN_ROOT" \
    'index($0, root "/") == 1 || $0 == root' | sort -r
}

# Processes whose root directory is the Debian root (anything started by chroot, and its
# children, daemons included).
velmor_debian_processes() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$VELMOR_DEBIAN_ROOT" ] && echo "${p#/proc/}"
  done
  return 0
}

velmor_debian_stop_processes() {
  local pids i
  for i in $(seq 1 50); do
    pids=$(velmor_debian_processes)
    [ -z "$pids" ] && return 0
    # A polite stop first, so the suite's own clean-up (its Xvfb) can run; then no choice.
    # shellcheck disable=SC2086
    if [ "$i" -lt 30 ]; then kill -TERM $pids; else kill -KILL $pids; fi 2>/dev/null || true
    sleep 0.1
  done
  pids=$(velmor_debian_processes)
  [ -z "$pids" ] ||
    echo "$VELMOR_DEBIAN_NAME: still running in the root: $pids" >&"$VELMOR_DEBIAN_STDERR"
}

velmor_debian_unmount_all() {
  local target
  while read -r target; do
    [ -n "$target" ] || continue
    umount "$target" 2>/dev/null || umount --lazy "$target" ||
      echo "$VELMOR_DEBIAN_NAME: could not unmount $target" >&"$VELMOR_DEBIAN_STDERR"
  done < <(velmor_debian_mounts)
}

velmor_debian_clean_up() {
  trap - EXIT HUP INT TERM
  [ -n "$VELMOR_DEBIAN_ROOT" ] || return 0
  # The step under way has a process group of its own (debootstrap works from outside the root).
  velmor_stop_child
  velmor_debian_stop_processes
  velmor_debian_unmount_all
}

velmor_debian_set_traps() {
  trap velmor_debian_clean_up EXIT
  trap 'velmor_debian_interrupted INT 130' INT
  trap 'velmor_debian_interrupted TERM 143' TERM
  trap 'velmor_debian_interrupted HUP 129' HUP
}

velmor_debian_interrupted() {
  echo "$VELMOR_DEBIAN_NAME: interrupted by SIG$1; stopping" >&"$VELMOR_DEBIAN_STDERR"
  velmor_debian_clean_up
  exit "$2"
}

# A fresh root from debootstrap, unless a finished one is there and --fresh was not asked.
velmor_debian_bootstrap() {
  local codename=$1 fresh=$2 log=$VELMOR_DEBIAN_ROOT.debootstrap.log
  [ -z "$fresh" ] && [ -e "$VELMOR_DEBIAN_ROOT/.velmor-bootstrapped" ] && return 0
  rm -rf --one-file-system "$VELMOR_DEBIAN_ROOT" || velmor_debian_fail "removing the old root"
  mkdir -p "$VELMOR_DEBIAN_ROOT"
  local mirror
  mirror=$(velmor_debian_mirror)
  echo "$VELMOR_DEBIAN_NAME: debootstrap $codename from $mirror into $VELMOR_DEBIAN_ROOT" >&2
  if ! velmor_run_child debootstrap --variant=minbase "$codename" "$VELMOR_DEBIAN_ROOT" \
    "$mirror" >"$log" 2>&1; then
    tail -n 5 "$log" >&2
    velmor_debian_fail "debootstrap (log: $log)"
  fi
  # Package scripts must not start services inside the root.
  printf '#!/bin/sh\nexit 101\n' >"$VELMOR_DEBIAN_ROOT/usr/sbin/policy-rc.d"
  chmod +x "$VELMOR_DEBIAN_ROOT/usr/sbin/policy-rc.d"
  touch "$VELMOR_DEBIAN_ROOT/.velmor-bootstrapped"
}

velmor_debian_mount() {
  local r=$VELMOR_DEBIAN_ROOT
  { mount -t proc proc "$r/proc" &&
    mount --bind /dev "$r/dev" &&
    mount --bind /dev/pts "$r/dev/pts" &&
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$r/dev/shm" &&
    mount -t sysfs -o ro,nosuid,nodev,noexec sys "$r/sys"; } || velmor_debian_fail "mount"
}

# The tracked and untracked, not ignored, files of the working tree into /velmor in the root.
# The copy's own build folder stays, so a second run builds only what changed.
velmor_debian_copy_tree() {
  local dest=$VELMOR_DEBIAN_ROOT/velmor
  mkdir -p "$dest"
  find "$dest" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  if git -C "$VELMOR_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$VELMOR_ROOT" && git ls-files -z --cached --others --exclude-standard |
      tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$dest"
  else
    tar -C "$VELMOR_ROOT" --exclude='./build*' --exclude=__pycache__ -cf - . | tar -xf - -C "$dest"
  fi
}

# Runs a command in the root with a clean environment, as a step; Mesa's own settings pass
# through, so a driver can be chosen for the run (MESA_LOADER_DRIVER_OVERRIDE=zink, say).
velmor_debian_chroot() {
  local pass=() name
  for name in $(compgen -e); do
    case $name in MESA_* | GALLIUM_* | LIBGL_* | LP_* | VK_*) pass+=("$name=${!name}") ;; esac
  done
  velmor_run_child chroot "$VELMOR_DEBIAN_ROOT" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 "${pass[@]}" "$@"
}

# velmor_debian_run RELEASE FRESH PACKAGE... -- COMMAND ARG...
velmor_debian_run() {
  local release=$1 fresh=$2 codename packages=()
  shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    packages+=("$1")
    shift
  done
  shift
  VELMOR_DEBIAN_NAME="debian $release"
  exec {VELMOR_DEBIAN_STDERR}>&2
  codename=$(velmor_debian_codename "$release") ||
    { echo "scripts/test --debian: no Debian release '$release' (12 or 13)" >&2 && return 1; }
  if [ "$(id -u)" -ne 0 ]; then
    echo "$VELMOR_DEBIAN_NAME: building and entering a root needs root (sudo scripts/test ...)" >&2
    return 1
  fi
  velmor_ensure_packages debootstrap git || velmor_debian_fail "installing debootstrap"

  # The kernel names a process's root by its real path.
  VELMOR_DEBIAN_ROOT=$(realpath -m "$VELMOR_ROOT/build-debian$release/root")
  # Whatever a killed earlier run left behind goes first.
  velmor_debian_clean_up
  velmor_debian_set_traps

  velmor_debian_bootstrap "$codename" "$fresh"
  # A clean /tmp, as after a boot: a stopped run's X server locks and scratch folders go.
  find "$VELMOR_DEBIAN_ROOT/tmp" -mindepth 1 -delete
  velmor_debian_mount
  cp -L /etc/resolv.conf "$VELMOR_DEBIAN_ROOT/etc/resolv.conf" ||
    velmor_debian_fail "copying resolv.conf"
  velmor_debian_copy_tree || velmor_debian_fail "copying the working tree"

  # The same package lists and installer as on the host, from the copy's own scripts; an
  # install cut short by an interrupted run is finished first.
  local log=$VELMOR_DEBIAN_ROOT.install.log
  if ! velmor_debian_chroot bash -c 'dpkg --configure -a && . /velmor/scripts/lib/common.sh &&
    velmor_ensure_packages "$@"' bash "${packages[@]}" >"$log" 2>&1; then
    tail -n 5 "$log" >&2
    velmor_debian_fail "package install (log: $log)"
  fi

  local status=0
  velmor_debian_chroot bash -c 'cd /velmor && exec "$@"' bash "$@" || status=$?
  velmor_debian_clean_up
  [ "$status" -eq 0 ] || echo "$VELMOR_DEBIAN_NAME: the suite failed (status $status)" >&2
  return "$status"
}
