#!/usr/bin/env bash
# Makes (or reuses) a Debian root in DIR with debootstrap: ARCH (amd64,
# arm64) of release SUITE, minbase plus the named packages.  A root of a
# foreign architecture runs its programs under qemu-user-static through
# binfmt_misc, which this script installs and enables.  --unpack stops after
# unpacking the packages: enough for a cross-compiling sysroot (headers,
# libraries, pkg-config files), and no emulation needed.  The root is rebuilt
# only when ARCH, SUITE or the package list change (DIR/.vedra-root).
#
# Usage: scripts/debian-root.sh [--unpack] ARCH SUITE DIR [PACKAGE ...]
set -euo pipefail
UNPACK=0
[[ ${1:-} == --unpack ]] && { UNPACK=1; shift; }
[[ $# -ge 3 ]] || { echo "usage: scripts/debian-root.sh [--unpack] ARCH SUITE DIR [PACKAGE ...]" >&2; exit 2; }
ARCH=$1 SUITE=$2 DIR=$(realpath -m "$3")
shift 3
packages=$(IFS=,; echo "$*")
cd "$(dirname "$0")/.."
want="$ARCH $SUITE unpack=$UNPACK $packages"
((UNPACK)) && want+=" (relative links)"
if [[ -f $DIR/.vedra-root && $(cat "$DIR/.vedra-root") == "$want" ]]; then
  exit 0
fi

host_arch=$(dpkg --print-architecture)
tools=(debootstrap)
[[ $ARCH != "$host_arch" ]] && tools+=(qemu-user-static binfmt-support)
scripts/apt-ensure.sh "${tools[@]}"
if [[ $ARCH != "$host_arch" && $UNPACK == 0 ]]; then
  # The kernel runs foreign binaries through qemu only once binfmt_misc is
  # mounted and qemu's entry enabled (no init system does it here).
  qemu=$(case $ARCH in arm64) echo aarch64 ;; *) echo "$ARCH" ;; esac)
  [[ -e /proc/sys/fs/binfmt_misc/register ]] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [[ -e /proc/sys/fs/binfmt_misc/qemu-$qemu ]] || update-binfmts --enable "qemu-$qemu"
fi

case $SUITE in
  stretch|buster) mirror=http://archive.debian.org/debian ;;
  *) mirror=http://deb.debian.org/debian ;;
esac
echo "debian-root: $ARCH $SUITE into $DIR" >&2
rm -rf "$DIR"
mkdir -p "$(dirname "$DIR")"
args=(--arch="$ARCH" --variant=minbase)
[[ -n $packages ]] && args+=(--include="$packages")
((UNPACK)) && args+=(--foreign)
debootstrap "${args[@]}" "$SUITE" "$DIR" "$mirror" >"$DIR.log" 2>&1 || {
  echo "debian-root: debootstrap failed; the end of $DIR.log:" >&2
  tail -n 30 "$DIR.log" >&2
  exit 1
}
if ((UNPACK)); then
  # The first stage unpacks only the essential packages and leaves the
  # others downloaded: unpack them all, which is what a sysroot needs.
  for deb in "$DIR"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$DIR"; done
  rm -f "$DIR"/var/cache/apt/archives/*.deb
  # Absolute symlinks would point out of the root when the linker follows
  # them (/lib64/ld-linux-x86-64.so.2 -> /lib/...): make them relative.
  find "$DIR" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$DIR$(readlink "$link")")" "$link"
  done
fi
rm -f "$DIR.log"
echo "$want" >"$DIR/.vedra-root"
