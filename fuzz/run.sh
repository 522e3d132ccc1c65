#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) into build/fuzz and runs
# each for a bounded time over its committed seed corpus.
#
# Usage: fuzz/run.sh [seconds-per-target] [target ...]
#   fuzz/run.sh                    every target, 15 s each
#   fuzz/run.sh 600 json_fuzzer    one target for ten minutes
# New corpus entries go to build/fuzz/corpus/<target> (the committed seeds
# under fuzz/corpus/<target> are only read); a crashing input is written to
# build/fuzz/artifacts/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_EACH=${1:-15}
shift || true

CXX=${FUZZ_CXX:-}
if [[ -z $CXX ]]; then
  CXX=$(command -v clang++ || command -v clang++-14 || true)
fi
CC=${FUZZ_CC:-$(command -v clang || command -v clang-14 || true)}
if [[ -z $CXX || -z $CC ]]; then
  echo "fuzz: clang is not installed (apt-get install clang-14 libclang-rt-14-dev; scripts/test.sh does it)" >&2
  exit 1
fi

BUILD=build/fuzz
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
  -DVEDRA_BUILD_MODULE=OFF -DVEDRA_BUILD_TESTS=OFF -DVEDRA_FUZZ=ON >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in fuzz/*_fuzzer.cc; do targets+=("$(basename "$f" .cc)"); done
fi
cmake --build "$BUILD" -j 2 --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
mkdir -p "$BUILD/artifacts"
for t in "${targets[@]}"; do
  mkdir -p "$BUILD/corpus/$t"
  log="$BUILD/$t.log"
  echo "fuzz: $t for ${SECONDS_EACH}s" >&2
  if ! "$BUILD/$t" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t-" \
      "$BUILD/corpus/$t" "$ROOT/fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $t FAILED (log: $log)" >&2
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$' || echo '?')
  echo "fuzz: $t ok: $runs runs, coverage $cov edges" >&2
done
