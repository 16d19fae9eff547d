#!/usr/bin/env bash
# Installs what the tests need, then runs every suite: the C++ suites plain
# and under AddressSanitizer + UndefinedBehaviorSanitizer, the Python suite
# against the installed package, and a bounded run of every fuzz target.
# The stubs of the native module are checked by mypy --strict on a small typed
# usage file. Deliberately not here: benchmarks (they print figures; run them
# by hand) and long fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# --- System packages --------------------------------------------------------
apt_packages=(g++ cmake libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev)
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# A pyenv shim named cmake may stand before Debian's and fail for the
# selected Python; use Debian's then.
cmake() { if command cmake --version >/dev/null 2>&1; then command cmake "$@"; else /usr/bin/cmake "$@"; fi; }
ctest() { if command ctest --version >/dev/null 2>&1; then command ctest "$@"; else /usr/bin/ctest "$@"; fi; }
export -f cmake ctest

# --- C++ suites ---------------------------------------------------------------
# run_ctest DIR [CMAKE_OPTION...] [-R PATTERN]
run_ctest() {
  local dir=$1; shift
  local options=() select=()
  while [ $# -gt 0 ]; do
    if [ "$1" = -R ]; then select=(-R "$2"); shift 2; else options+=("$1"); shift; fi
  done
  echo "== C++ suites ($dir)"
  cmake -S . -B "$dir" -DDRUX_BUILD_TESTS=ON -DDRUX_WERROR=ON "${options[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "${select[@]}"
}
run_ctest build/test -DCMAKE_BUILD_TYPE=Release -DDRUX_BUILD_BENCHMARKS=ON
run_ctest build/sanitize -DCMAKE_BUILD_TYPE=Debug -DDRUX_SANITIZE=ON
# The threaded pipeline and the scan's stream under ThreadSanitizer; the other
# suites start no threads.
run_ctest build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRUX_TSAN=ON -R 'ParallelConvert\.(Stress|Progress|Failed)|ArrowScan\.'

# --- Python suite -------------------------------------------------------------
python=$(bash scripts/find_python.sh)
echo "== Python suite"
"$python" -m venv "$root/.venv"
"$root/.venv/bin/python" -m pip install -q --upgrade pip
# pyarrow, polars, duckdb, pandas and dask are the scan's consumers in the
# tests only; the package depends on none of them.
"$root/.venv/bin/python" -m pip install -q . pytest prometheus_client mypy pyarrow polars duckdb pandas "dask[distributed]"
(cd "$root/tests/python" && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider .)

echo "== stubs and package under mypy --strict"
MYPYPATH="$root/python" "$root/.venv/bin/python" -m mypy --strict --no-incremental \
  "$root/python/drux" "$root/tests/python/typed_usage.py"

# --- Fuzz targets ---------------------------------------------------------------
echo "== fuzz targets"
bash scripts/fuzz.sh "${DRUX_FUZZ_SECONDS:-15}" "$root/.venv/bin/python"
