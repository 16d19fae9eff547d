#!/usr/bin/env bash
# Prints the path of a CPython 3.12 or later: $PYTHON if set, else python3
# (which pyenv resolves through .python-version), else python3.13/python3.12
# or pyenv's 3.12 and 3.13.
# It finds; it installs nothing.
cd "$(dirname "$0")/.."
candidates=("${PYTHON:-}" python3 python3.13 python3.12)
if command -v pyenv >/dev/null 2>&1; then
  for version in 3.13 3.12; do
    candidates+=("$(pyenv root)/versions/$(pyenv latest "$version" 2>/dev/null)/bin/python3")
  done
fi
for candidate in "${candidates[@]}"; do
  [ -n "$candidate" ] || continue
  path=$(command -v "$candidate" 2>/dev/null) || continue
  if "$path" -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
    "$path" -c 'import sys; print(sys.executable)'
    exit 0
  fi
done
echo "CPython 3.12 or later is required; set PYTHON to one" >&2
exit 1
