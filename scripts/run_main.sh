#!/usr/bin/env bash
# Installs the package into .venv and converts a CSV file to DRUX v2.
#   bash scripts/run_main.sh [CSV [DRUX]]
# Without arguments it converts a generated 64 MiB sample.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=$(bash scripts/find_python.sh)
"$python" -m venv "$root/.venv"
"$root/.venv/bin/python" -m pip install -q --upgrade pip
"$root/.venv/bin/python" -m pip install -q .

csv=${1:-}
drux=${2:-}
if [ -z "$csv" ]; then
  mkdir -p "$root/build/sample"
  csv="$root/build/sample/sample.csv"
  [ -f "$csv" ] || "$root/.venv/bin/python" "$root/bench/make_csv.py" "$csv" 64M
fi
[ -n "$drux" ] || drux="${csv%.csv}.drux"
"$root/.venv/bin/python" -c 'import sys, drux_fileformat as d; print(d.compress_csv(sys.argv[1], sys.argv[2]))' "$csv" "$drux"
