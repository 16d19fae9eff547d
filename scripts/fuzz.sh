#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time.
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET] [PYTHON_WITH_DRUX]
# The optional Python (one with the drux package installed) writes seed
# files: DRUX files and the compressed blocks inside them.
# Deliberately not here: keeping the corpus between runs; each run starts from
# the seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
python=${2:-}
build=build/fuzz
cmake() { if command cmake --version >/dev/null 2>&1; then command cmake "$@"; else /usr/bin/cmake "$@"; fi; }

CXX=clang++ cmake -S . -B "$build" -DDRUX_BUILD_FUZZERS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"

corpus="$build/corpus"
mkdir -p "$corpus"
if [ -n "$python" ]; then
  "$python" scripts/make_fuzz_seeds.py "$corpus"
fi

logs="$build/logs"
mkdir -p "$logs"
status=0
for source in fuzz/*.cpp; do
  name=fuzz_$(basename "$source" .cpp)
  mkdir -p "$corpus/$name"
  echo "== $name for ${seconds}s"
  if ! "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$logs/$name-" "$corpus/$name" 2>"$logs/$name.log"; then
    echo "$name FAILED; see $logs/$name.log and the artifact $logs/$name-*" >&2
    tail -n 40 "$logs/$name.log" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units" "$logs/$name.log" || true
  fi
done
exit $status
