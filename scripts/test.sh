#!/usr/bin/env bash
# Runs every test: the native test runner (CTest), the Python API tests
# (pytest) and the type stubs check (mypy.stubtest).  Sets itself up first.
#
# Usage: scripts/test.sh [pytest args ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
PY=$(pwd)/.venv/bin/python
export PATH="$(pwd)/.venv/bin:$PATH"

echo "== native tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEDRA_BUILD_MODULE=OFF -DVEDRA_BUILD_TESTS=ON >/dev/null
cmake --build build/native -j 2
ctest --test-dir build/native --output-on-failure --no-tests=error

echo "== python tests"
export VEDRA_NATIVE_BUILD_DIR="$(pwd)/build/native"
# pytest exits non-zero when it collects no test.
$PY -m pytest -q "$@"

echo "== type stubs"
$PY -m mypy.stubtest vedra_runtime --concise
echo "all tests passed"
