#!/usr/bin/env bash
# Installs WHEEL into a fresh virtualenv of PYTHON inside the Debian root
# ROOT (its own architecture, or another one under qemu-user-static) and
# tests it there as a user of that system would get it: the test extras come
# from a wheelhouse downloaded here for that CPython and platform
# (build/wheelhouse-*), ldd in the root must show nothing outside the wheel
# but the C and C++ runtime, and the Python tests run against the installed
# module from a directory where no source tree can shadow it.  The tests and
# the files they read (docs, stubs, README) are copied into ROOT/vedra/src.
#
# Usage: scripts/root-test.sh ROOT PYTHON WHEEL [pytest args ...]
set -euo pipefail
[[ $# -ge 3 ]] || { echo "usage: scripts/root-test.sh ROOT PYTHON WHEEL [pytest args ...]" >&2; exit 2; }
ROOTFS=$(realpath "$1") RPY=$2 WHEEL=$(realpath "$3")
shift 3
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=$ROOT/.venv/bin/python

cleanup() {
  umount -R "$ROOTFS/dev" 2>/dev/null || true
  umount "$ROOTFS/proc" 2>/dev/null || true
}
trap cleanup EXIT
mountpoint -q "$ROOTFS/proc" || mount -t proc proc "$ROOTFS/proc"
if ! mountpoint -q "$ROOTFS/dev"; then
  mount --rbind /dev "$ROOTFS/dev"
  mount --make-rslave "$ROOTFS/dev"
fi
in_root() { chroot "$ROOTFS" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

read -r pyver machine glibc < <(in_root "$RPY" -c \
  'import platform, sys; print("%d.%d" % sys.version_info[:2], platform.machine(), platform.libc_ver()[1])')
house=$ROOT/build/wheelhouse-$machine-cp${pyver/./}-glibc$glibc
# pip takes the platforms literally: every manylinux tag the root accepts.
plats=()
for ((minor = ${glibc#*.}; minor >= 17; minor--)); do plats+=(--platform "manylinux_2_${minor}_$machine"); done
plats+=(--platform "manylinux2014_$machine")
$PY -m pip download -q --only-binary=:all: --implementation cp --python-version "$pyver" \
  "${plats[@]}" -d "$house" -r .venv/.vedra-extras.txt 2>&1 | { grep -v '^WARNING: Location' || true; }

rm -rf "$ROOTFS/vedra/src" "$ROOTFS/vedra/venv" "$ROOTFS/vedra/dist" "$ROOTFS/vedra/wheelhouse"
mkdir -p "$ROOTFS/vedra/src" "$ROOTFS/vedra/dist"
cp -a tests docs python README.md pyproject.toml "$ROOTFS/vedra/src/"
cp "$WHEEL" "$ROOTFS/vedra/dist/"
cp -a "$house" "$ROOTFS/vedra/wheelhouse"
cp .venv/.vedra-extras.txt "$ROOTFS/vedra/extras.txt"

in_root "$RPY" -m venv /vedra/venv
in_root /vedra/venv/bin/python -m pip install -q --no-index --find-links /vedra/wheelhouse \
  "/vedra/dist/$(basename "$WHEEL")" -r /vedra/extras.txt
module=$(in_root /bin/sh -c 'cd /tmp && /vedra/venv/bin/python -c "import vedra_runtime; print(vedra_runtime.__file__)"')
echo "root-test: $(basename "$WHEEL") installed for CPython $pyver on $machine, glibc $glibc"
echo "ldd $module (in the root):"
in_root /usr/bin/ldd "$module" | sed 's/^/    /'
# Every library must come from the wheel or be the C/C++ runtime.
bad=$(in_root /usr/bin/ldd "$module" | awk '{print $1, $3}' | grep -v -E \
  '^(linux-vdso\.so|/lib(64)?/ld-linux|libc\.so|libm\.so|libstdc\+\+\.so|libgcc_s\.so|libpthread\.so|librt\.so|libdl\.so)|vedra_runtime\.libs/' || true)
if [[ -n $bad ]]; then
  echo "root-test: the module needs libraries outside the wheel:"; echo "$bad"
  exit 1
fi
emulated=()
[[ $machine != $(uname -m) ]] && emulated=(-p emulated)
# Under emulation timing is not what is tested: hypothesis deadlines are
# lifted there (tests/cross_arch/emulated.py).
args=$(printf ' %q' "$@")
in_root /bin/sh -c "cd /tmp && PYTHONPATH=/vedra/src/tests/cross_arch /vedra/venv/bin/python -m pytest -q \
  -p no:cacheprovider ${emulated[*]} --rootdir /vedra/src -c /vedra/src/pyproject.toml /vedra/src/tests/python${args}"
