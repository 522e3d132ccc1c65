#!/usr/bin/env bash
# The x86_64 wheel on the oldest glibc this machine can reach: a Debian 11
# root (glibc 2.31, made by debootstrap under build/roots and kept), whose
# own CPython (3.9) is too old for the wheel, so CPython 3.11 is built inside
# it from Debian's source package first (scripts/root-python.sh, once per
# root).  Then the wheel is installed there and tested (scripts/root-test.sh:
# ldd and the Python tests).
#
# Usage: scripts/wheel-test-glibc.sh [pytest args ...]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DIST=$ROOT/build/dist-glibc
step() { echo "-- $1 (${SECONDS}s)"; }

rm -rf "$DIST"
wheel=$(scripts/wheel.sh "$DIST" | tail -1)
step "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
troot=$ROOT/build/roots/bullseye-amd64
scripts/debian-root.sh amd64 bullseye "$troot" gcc make libc6-dev zlib1g-dev libffi-dev
step "amd64 bullseye root ready"
scripts/root-python.sh "$troot"
step "CPython 3.11 in the root"
scripts/root-test.sh "$troot" /opt/python3.11/bin/python3.11 "$wheel" "$@"
step "python tests passed"
