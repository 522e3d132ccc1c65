#!/usr/bin/env bash
# Runs every test: the native test runner (CTest), the Python API tests
# (pytest) and the type stubs check (mypy.stubtest); then the hardening runs:
# native tests and the whole pytest suite under AddressSanitizer, UBSan and
# LeakSanitizer, the native tests under valgrind, and each libFuzzer target
# for a bounded time (fuzz/README.md); and the self-contained wheel, installed
# and tested on the oldest and newest CPython that pyenv holds.  Sets itself
# up first.
#
# Usage: scripts/test.sh [--quick] [pytest args ...]
#   --quick   the everyday tier: native tests, Python tests and the stubs check
#             only (CI runs the full command)
set -euo pipefail
cd "$(dirname "$0")/.."
QUICK=0
if [[ ${1:-} == --quick ]]; then
  QUICK=1
  shift
fi
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
if [[ $QUICK == 1 ]]; then
  echo "quick tier passed (the full command adds sanitizers, valgrind and fuzzers)"
  exit 0
fi

# ---- hardening: sanitizers, valgrind, fuzzing --------------------------------
# Tools these sections need, installed only when missing.
scripts/apt-ensure.sh clang-14 libclang-rt-14-dev valgrind
ROOT=$(pwd)
SAN_UBSAN="halt_on_error=1:print_stacktrace=1"
# Sanitizer and valgrind reports go to files under build/reports/<stage>
# (one per process, named by pid), so a report from a child process is kept
# even when the test that started it reads or discards its output.  A stage
# that fails prints every report it produced; one that passes lists them.
REPORTS=$ROOT/build/reports
show_reports() {  # stage, status
  local dir=$REPORTS/$1 f
  shopt -s nullglob
  local files=("$dir"/*)
  shopt -u nullglob
  if ((${#files[@]})); then
    echo "-- $1: ${#files[@]} report file(s) in $dir"
    if [[ $2 != 0 ]]; then
      for f in "${files[@]}"; do echo "---- $f"; cat "$f"; done
    fi
  fi
  if [[ $2 != 0 ]]; then
    echo "stage $1 failed (status $2)"
    exit "$2"
  fi
}
run_stage() {  # stage, command ...
  local stage=$1 status=0
  shift
  rm -rf "${REPORTS:?}/$stage"
  mkdir -p "$REPORTS/$stage"
  "$@" || status=$?
  show_reports "$stage" "$status"
}

# Leak checking runs where its result is reliable:
# - the native tests under LeakSanitizer (one process, no children) and under
#   valgrind memcheck;
# - the Python suite under LeakSanitizer in the pytest process itself, which
#   covers every binding path; children that tests start only to measure
#   memory or to be killed run without the exit-time scan (its ptrace tracer
#   is what some sandboxes break), and tests/python/test_leaks.py measures
#   growth over repeated calls independently of any sanitizer.

echo "== sanitizers: native tests (AddressSanitizer, UBSan, leak detection)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEDRA_SANITIZE=ON -DVEDRA_BUILD_MODULE=ON -DVEDRA_BUILD_TESTS=ON >/dev/null
cmake --build build/asan -j 2
run_stage asan-native env ASAN_OPTIONS="detect_leaks=1:log_path=$REPORTS/asan-native/asan" \
  UBSAN_OPTIONS="$SAN_UBSAN:log_path=$REPORTS/asan-native/ubsan" build/asan/vedra_native_tests

echo "== sanitizers: python tests against the sanitized module"
# The interpreter is not instrumented: the ASan runtime is preloaded, and
# PYTHONMALLOC=malloc puts Python objects where ASan and LSan see them.
# Child processes started by the tests inherit all of it.
sanitized_pytest() (
  cd build/asan  # the sanitized module is in the working directory
  export LD_PRELOAD
  LD_PRELOAD=$(g++ -print-file-name=libasan.so)
  export PYTHONMALLOC=malloc PYTHONPATH="$ROOT/build/asan" VEDRA_NATIVE_BUILD_DIR="$ROOT/build/asan"
  export ASAN_OPTIONS="detect_leaks=1:log_path=$REPORTS/asan-python/asan"
  export UBSAN_OPTIONS="$SAN_UBSAN:log_path=$REPORTS/asan-python/ubsan"
  export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
  export VEDRA_LEAK_ITERATIONS=1200
  $PY -c "import vedra_runtime as v; assert v.__file__.startswith('$ROOT/build/asan/'), v.__file__"
  $PY -m pytest -q -p no:cacheprovider --rootdir "$ROOT" -c "$ROOT/pyproject.toml" "$ROOT/tests/python"
)
run_stage asan-python sanitized_pytest

echo "== valgrind: native tests"
run_stage valgrind valgrind -q --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible --log-file="$REPORTS/valgrind/%p.log" \
  build/native/vedra_native_tests

echo "== wheel: self-contained, installed into fresh virtualenvs"
scripts/wheel-test.sh

echo "== fuzzing (libFuzzer, 15 s per target)"
fuzz/run.sh 15
echo "all tests passed"
