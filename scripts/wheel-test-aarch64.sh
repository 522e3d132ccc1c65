#!/usr/bin/env bash
# Builds the aarch64 wheel (scripts/wheel.sh --arch aarch64) and checks it as
# a user on a 64-bit ARM server would get it, under user-mode emulation
# (qemu-user-static): abi3audit --strict; then, in an arm64 Debian root made
# by debootstrap (build/roots, kept between runs), install the wheel into a
# fresh virtualenv of the root's CPython, check with the root's ldd that the
# module resolves nothing from the system but the C and C++ runtime, and run
# the Python tests against it.  Last, snapshot pairs cross the architectures
# both ways (tests/cross_arch/snapshot_pair.py): saved by this machine's
# build, loaded and re-saved in the root, and the other way round.
#
# Usage: scripts/wheel-test-aarch64.sh [pytest args ...]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=$ROOT/.venv/bin/python
DIST=$ROOT/build/dist-aarch64
SUITE=bookworm
step() { echo "-- $1 (${SECONDS}s)"; }

rm -rf "$DIST"
wheel=$(scripts/wheel.sh "$DIST" --arch aarch64 | tail -1)
step "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
$PY -m pip install -q abi3audit
.venv/bin/abi3audit --strict "$wheel" >/dev/null
step "abi3audit --strict: clean"

troot=$ROOT/build/roots/$SUITE-arm64
scripts/debian-root.sh arm64 "$SUITE" "$troot" python3 python3-venv
step "arm64 $SUITE root ready"

# The test extras, downloaded here as wheels for the root's CPython and
# installed there without an index.
pyver=$(chroot "$troot" /usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
glibc=$(chroot "$troot" /usr/bin/ldd --version | head -n 1 | awk '{print $NF}')
house=$ROOT/build/wheelhouse-aarch64-cp${pyver/./}
$PY -m pip download -q --only-binary=:all: --implementation cp --python-version "$pyver" \
  --platform "manylinux_${glibc/./_}_aarch64" -d "$house" -r .venv/.vedra-extras.txt

# What the root sees: the wheel, the wheelhouse and the files the tests read
# (tests, README, docs, pyproject.toml), copied fresh into /vedra.
rm -rf "$troot/vedra"
mkdir -p "$troot/vedra/src" "$troot/vedra/dist" "$troot/vedra/pairs"
cp -a tests docs README.md pyproject.toml "$troot/vedra/src/"
cp "$wheel" "$troot/vedra/dist/"
cp -a "$house" "$troot/vedra/wheelhouse"
cp .venv/.vedra-extras.txt "$troot/vedra/extras.txt"
cleanup() {
  umount -R "$troot/dev" 2>/dev/null || true
  umount "$troot/proc" 2>/dev/null || true
}
trap cleanup EXIT
mount -t proc proc "$troot/proc"
mount --rbind /dev "$troot/dev"
mount --make-rslave "$troot/dev"
in_root() { chroot "$troot" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

in_root /usr/bin/python3 -m venv /vedra/venv
in_root /vedra/venv/bin/python -m pip install -q --no-index --find-links /vedra/wheelhouse \
  "/vedra/dist/$(basename "$wheel")" -r /vedra/extras.txt
module=$(in_root /bin/sh -c 'cd /tmp && /vedra/venv/bin/python -c "import vedra_runtime; print(vedra_runtime.__file__)"')
step "installed in the root's CPython $pyver (glibc $glibc): $module"
echo "ldd $module (in the root):"
in_root /usr/bin/ldd "$module" | sed 's/^/    /'
# Every library must come from the wheel or be the C/C++ runtime.
bad=$(in_root /usr/bin/ldd "$module" | awk '{print $1, $3}' | grep -v -E \
  '^(linux-vdso\.so|/lib/ld-linux-aarch64|libc\.so|libm\.so|libstdc\+\+\.so|libgcc_s\.so)|vedra_runtime\.libs/' || true)
if [[ -n $bad ]]; then
  echo "aarch64 wheel: the module needs libraries outside the wheel:"; echo "$bad"
  exit 1
fi
step "ldd clean; python tests under emulation"
# Timing is not what is tested here: hypothesis deadlines are lifted
# (tests/cross_arch/emulated.py), as emulation runs several times slower.
in_root /bin/sh -c "cd /tmp && PYTHONPATH=/vedra/src/tests/cross_arch /vedra/venv/bin/python -m pytest -q \
  -p no:cacheprovider -p emulated --rootdir /vedra/src -c /vedra/src/pyproject.toml /vedra/src/tests/python $*"
step "python tests passed"

# Snapshot pairs: x86_64 -> aarch64 and aarch64 -> x86_64.
pairs=$troot/vedra/pairs
$PY tests/cross_arch/snapshot_pair.py save "$pairs/x86_64"
in_root /vedra/venv/bin/python /vedra/src/tests/cross_arch/snapshot_pair.py check /vedra/pairs/x86_64 /vedra/pairs/x86_64-resaved-aarch64
in_root /vedra/venv/bin/python /vedra/src/tests/cross_arch/snapshot_pair.py save /vedra/pairs/aarch64
$PY tests/cross_arch/snapshot_pair.py check "$pairs/aarch64" "$pairs/aarch64-resaved-x86_64"
for name in full.snap index.snap; do
  cmp "$pairs/x86_64/$name" "$pairs/aarch64/$name" || { echo "$name saved on x86_64 and aarch64 differ"; exit 1; }
done
step "snapshot pairs: same answers both ways; both architectures save identical files"
