#!/usr/bin/env bash
# Builds CPython inside a Debian root that has none recent enough (Debian 11
# ships 3.9; the wheels need 3.10 or newer), from Debian's own source package
# of CPython 3.11 (apt-get source, kept in build/sources), into /opt/python3.11
# of the root; done once per root (/opt/python3.11/.vedra-built).  The root
# needs gcc, make, libc6-dev, zlib1g-dev and libffi-dev.  Runs natively:
# emulated, the build would take hours.
#
# Usage: scripts/root-python.sh ROOT
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: scripts/root-python.sh ROOT" >&2; exit 2; }
ROOTFS=$(realpath "$1")
cd "$(dirname "$0")/.."
SRCDIR=$(pwd)/build/sources
[[ -f $ROOTFS/opt/python3.11/.vedra-built ]] && exit 0

if ! ls "$SRCDIR"/python3.11_*.orig.tar.* >/dev/null 2>&1; then
  # Debian's source archive, through a source list of its own: the
  # machine's apt configuration is left as it is.
  mkdir -p "$SRCDIR/lists/partial"
  echo "deb-src http://deb.debian.org/debian bookworm main" >"$SRCDIR/sources.list"
  apt=(-o Dir::Etc::SourceList="$SRCDIR/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o Dir::State::Lists="$SRCDIR/lists")
  apt-get "${apt[@]}" update -qq
  (cd "$SRCDIR" && apt-get "${apt[@]}" source --download-only python3.11 >/dev/null 2>&1)
fi
tarball=$(ls "$SRCDIR"/python3.11_*.orig.tar.* | head -n 1)
rm -rf "$ROOTFS/build/cpython"
mkdir -p "$ROOTFS/build/cpython"
tar -xf "$tarball" -C "$ROOTFS/build/cpython" --strip-components=1
echo "root-python: building CPython 3.11 in $ROOTFS" >&2
chroot "$ROOTFS" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 /bin/sh -ec '
  cd /build/cpython
  ./configure -q --prefix=/opt/python3.11 >/dev/null
  make -s -j2 >/dev/null 2>&1 || make -j1
  make -s install >/dev/null 2>&1'
rm -rf "$ROOTFS/build/cpython"
"$ROOTFS/opt/python3.11/bin/python3.11" -c 'pass' 2>/dev/null || true  # (runs in the root only)
touch "$ROOTFS/opt/python3.11/.vedra-built"
