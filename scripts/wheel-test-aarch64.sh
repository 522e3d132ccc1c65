#!/usr/bin/env bash
# Builds the aarch64 wheel (scripts/wheel.sh --arch aarch64) and checks it as
# a user on a 64-bit ARM server would get it, under user-mode emulation
# (qemu-user-static): abi3audit --strict; then, in an arm64 Debian root made
# by debootstrap (build/roots, kept between runs), install the wheel into a
# fresh virtualenv of the root's CPython and test it there
# (scripts/root-test.sh: ldd and the Python tests).  Last, snapshot pairs cross the architectures
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

scripts/root-test.sh "$troot" /usr/bin/python3 "$wheel" "$@"
step "python tests passed"

# Snapshot pairs: x86_64 -> aarch64 and aarch64 -> x86_64 (the root's
# virtualenv is the one root-test.sh left, with the wheel installed).
pairs=$troot/vedra/pairs
rm -rf "$pairs"
in_root() { chroot "$troot" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
$PY tests/cross_arch/snapshot_pair.py save "$pairs/x86_64"
in_root /vedra/venv/bin/python /vedra/src/tests/cross_arch/snapshot_pair.py check /vedra/pairs/x86_64 /vedra/pairs/x86_64-resaved-aarch64
in_root /vedra/venv/bin/python /vedra/src/tests/cross_arch/snapshot_pair.py save /vedra/pairs/aarch64
$PY tests/cross_arch/snapshot_pair.py check "$pairs/aarch64" "$pairs/aarch64-resaved-x86_64"
$PY tests/cross_arch/snapshot_pair.py same "$pairs/x86_64" "$pairs/aarch64"
step "snapshot pairs: same answers both ways; both architectures save the same payloads"
