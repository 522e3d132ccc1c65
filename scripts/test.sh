#!/usr/bin/env bash
# Runs every test: the native test runner (CTest), the Python API tests
# (pytest) and the type stubs check (mypy.stubtest); then the hardening runs:
# native tests under AddressSanitizer, UBSan and LeakSanitizer, the whole
# pytest suite under AddressSanitizer and UBSan, the native tests under
# valgrind, and each libFuzzer target for a bounded time (fuzz/README.md); and
# the self-contained wheel, installed and tested on the oldest and newest
# CPython that pyenv holds.  Sets itself up first.
#
# Usage: scripts/test.sh [--quick] [pytest args ...]
#        scripts/test.sh --stage NAME [pytest args ...]
#   --quick       the everyday tier: native tests, Python tests and the stubs
#                 check only (CI runs the full command)
#   --stage NAME  set up, build what NAME needs and run that stage alone; NAME
#                 is one of native, python, stubs, asan-native, asan-python,
#                 valgrind, wheel, fuzz, wheel-glibc, wheel-aarch64.  Pytest
#                 args go to the python, wheel-glibc and wheel-aarch64 stages.
#                 The last two are not part of the full run: wheel-glibc tests
#                 the x86_64 wheel in a Debian 11 root (glibc 2.31), building
#                 CPython there first; wheel-aarch64 cross-compiles the
#                 aarch64 wheel and tests it under qemu in an arm64 Debian
#                 root.  Their roots are made by debootstrap on first use (a
#                 few hundred MB of packages) and kept under build/roots.
#   VEDRA_PYTEST_LEAKS=1  adds LeakSanitizer's exit-time scan to the
#                 asan-python stage, for machines where its tracer works (see
#                 "Where leaks are checked" below); CI leaves it off.
set -euo pipefail
cd "$(dirname "$0")/.."
QUICK=0
STAGE=
STAGES=(native python stubs asan-native asan-python valgrind wheel fuzz wheel-glibc wheel-aarch64)
if [[ ${1:-} == --quick ]]; then
  QUICK=1
  shift
elif [[ ${1:-} == --stage ]]; then
  STAGE=${2:-}
  if [[ " ${STAGES[*]} " != *" $STAGE "* ]]; then
    echo "test.sh: --stage needs one of: ${STAGES[*]}" >&2
    exit 2
  fi
  shift 2
fi
scripts/setup.sh test
ROOT=$(pwd)
PY=$ROOT/.venv/bin/python
export PATH="$ROOT/.venv/bin:$PATH"
export VEDRA_NATIVE_BUILD_DIR="$ROOT/build/native"
SAN_UBSAN="halt_on_error=1:print_stacktrace=1"

# Sanitizer and valgrind reports go to files under build/reports/<stage>
# (one per process, named by pid), so a report from a child process, or one
# written while pytest captures the file descriptors, is kept even when the
# test that started the process reads or discards its output.  A stage fails
# when its command fails or when it leaves a non-empty report file (an error
# in a child, or one that a test swallowed, still counts); a failing stage
# prints every report it produced.
REPORTS=$ROOT/build/reports
show_reports() {  # stage, status
  local dir=$REPORTS/$1 status=$2 f
  shopt -s nullglob
  local files=("$dir"/*) written=()
  shopt -u nullglob
  for f in "${files[@]}"; do [[ -s $f ]] && written+=("$f"); done
  if ((${#written[@]})); then
    echo "-- $1: ${#written[@]} report file(s) in $dir"
    if [[ $status == 0 ]]; then
      echo "-- $1: the command passed, but a process reported an error"
      status=1
    fi
    for f in "${written[@]}"; do echo "---- $f"; cat "$f"; done
  fi
  if [[ $status != 0 ]]; then
    echo "stage $1 failed (status $status)"
    exit "$status"
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

build_native() {
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEDRA_BUILD_MODULE=OFF -DVEDRA_BUILD_TESTS=ON >/dev/null
  cmake --build build/native -j 2
}
build_asan() {
  # Tools the hardening stages need, installed only when missing.
  scripts/apt-ensure.sh clang-14 libclang-rt-14-dev valgrind
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEDRA_SANITIZE=ON -DVEDRA_BUILD_MODULE=ON -DVEDRA_BUILD_TESTS=ON >/dev/null
  cmake --build build/asan -j 2
}

stage_native() {
  echo "== native tests"
  build_native
  ctest --test-dir build/native --output-on-failure --no-tests=error
}
stage_python() {
  echo "== python tests"
  build_native  # the JSON reader probe of the fuzzing tests
  # pytest exits non-zero when it collects no test.
  $PY -m pytest -q "$@"
}
stage_stubs() {
  echo "== type stubs"
  $PY -m mypy.stubtest vedra_runtime --concise
}

# Where leaks are checked, and why there:
# - LeakSanitizer on the native test runner (asan-native): one instrumented
#   process without children, whose exit-time scan covers the engine core.
# - valgrind memcheck on the same runner (valgrind; definite, indirect and
#   possible leaks are errors): a second leak check of that code that needs
#   no ptrace.
# - tests/python/test_leaks.py, in the python stage: resident set size and
#   Python heap stay flat over a long loop of every method, failure paths
#   included, which covers the binding's native memory; under the sanitizers
#   (asan-python) it compares the Python heap, as ASan's quarantine holds
#   freed memory.
# The asan-python stage has no exit-time leak scan.  LeakSanitizer stops the
# world with a tracer thread that ptrace-attaches every thread of the
# process; in the interpreter, with its threads and the child processes the
# tests start, that tracer crashes in some sandboxes ("Tracer caught signal
# 11", "LeakSanitizer does not work under ptrace") and fails a run whose tests
# all passed.  The scan of an uninstrumented interpreter would mostly find the
# interpreter's own start-up memory (tests/sanitizer/lsan.supp, used with
# VEDRA_PYTEST_LEAKS=1).
stage_asan_native() {
  echo "== sanitizers: native tests (AddressSanitizer, UBSan, LeakSanitizer)"
  build_asan
  run_stage asan-native env ASAN_OPTIONS="detect_leaks=1:log_path=$REPORTS/asan-native/asan" \
    UBSAN_OPTIONS="$SAN_UBSAN:log_path=$REPORTS/asan-native/ubsan" build/asan/vedra_native_tests
}

# The interpreter is not instrumented: the ASan runtime is preloaded, and
# PYTHONMALLOC=malloc puts Python objects where ASan sees them.  Child
# processes started by the tests inherit all of it, report paths included.
# UBSan's reports do not follow log_path here: GCC's UBSan runtime, sharing
# the process with ASan's, writes them to file descriptor 2, which pytest's
# default capture swallowed with the process (exit status 1, nothing left).
# So pytest captures at the sys level only and writes, unbuffered, every
# test's name as it starts to build/reports-logs/asan-python.log, together
# with whatever reaches descriptors 1 and 2 from outside Python (UBSan
# reports, the interpreter's fatal errors): a process that dies in a test
# leaves its name and last words there.  A sanitizer report in that log fails
# the stage like a report file; a failing stage prints the log's end.
STAGE_LOGS=$ROOT/build/reports-logs
sanitized_pytest() (
  cd build/asan  # the sanitized module is in the working directory
  export LD_PRELOAD
  LD_PRELOAD=$(g++ -print-file-name=libasan.so)
  export PYTHONMALLOC=malloc PYTHONPATH="$ROOT/build/asan" VEDRA_NATIVE_BUILD_DIR="$ROOT/build/asan"
  export ASAN_OPTIONS="detect_leaks=${VEDRA_PYTEST_LEAKS:-0}:log_path=$REPORTS/asan-python/asan"
  export UBSAN_OPTIONS="$SAN_UBSAN:log_path=$REPORTS/asan-python/ubsan"
  export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
  export VEDRA_LEAK_ITERATIONS=1200
  $PY -c "import vedra_runtime as v; assert v.__file__.startswith('$ROOT/build/asan/'), v.__file__" || exit
  local log=$STAGE_LOGS/asan-python.log status=0
  PYTHONUNBUFFERED=1 $PY -m pytest -v --capture=sys -p no:cacheprovider --rootdir "$ROOT" \
    -c "$ROOT/pyproject.toml" "$ROOT/tests/python" >"$log" 2>&1 || status=$?
  if ((status == 0)) && grep -qE ': runtime error: |^==[0-9]+==(ERROR|WARNING): ' "$log"; then
    echo "-- asan-python: the tests passed, but a sanitizer reported an error"
    status=1
  fi
  if ((status)); then
    local first
    first=$(grep -nE ': runtime error: |^==[0-9]+==(ERROR|WARNING): ' "$log" | head -n 1 | cut -d: -f1)
    if [[ -n $first ]]; then
      echo "-- asan-python: the first sanitizer report in $log (line $first):"
      sed -n "$((first > 1 ? first - 1 : 1)),$((first + 30))p" "$log"
    fi
    echo "-- asan-python: pytest exited with status $status; the end of $log:"
    tail -n 40 "$log"
  else
    tail -n 1 "$log"
  fi
  exit "$status"
)
stage_asan_python() {
  echo "== sanitizers: python tests against the sanitized module (AddressSanitizer, UBSan)"
  build_asan
  mkdir -p "$STAGE_LOGS"
  run_stage asan-python sanitized_pytest
}
stage_valgrind() {
  echo "== valgrind: native tests"
  build_native
  scripts/apt-ensure.sh valgrind
  run_stage valgrind valgrind -q --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect,possible --log-file="$REPORTS/valgrind/%p.log" \
    build/native/vedra_native_tests
}
stage_wheel() {
  echo "== wheel: self-contained, installed into fresh virtualenvs"
  scripts/wheel-test.sh
}
stage_wheel_glibc() {
  echo "== wheel for x86_64 on glibc 2.31: installed and tested in a Debian 11 root"
  scripts/wheel-test-glibc.sh "$@"
}
stage_wheel_aarch64() {
  echo "== wheel for aarch64: cross-compiled, tested under emulation, snapshots across architectures"
  scripts/wheel-test-aarch64.sh "$@"
}
stage_fuzz() {
  echo "== fuzzing (libFuzzer, 15 s per target)"
  scripts/apt-ensure.sh clang-14 libclang-rt-14-dev
  fuzz/run.sh 15
}

if [[ -n $STAGE ]]; then
  "stage_${STAGE//-/_}" "$@"
  echo "stage $STAGE passed"
  exit 0
fi
stage_native
stage_python "$@"
stage_stubs
if [[ $QUICK == 1 ]]; then
  echo "quick tier passed (the full command adds sanitizers, valgrind, the wheel and fuzzers)"
  exit 0
fi
stage_asan_native
stage_asan_python
stage_valgrind
stage_wheel
stage_fuzz
echo "all tests passed"
