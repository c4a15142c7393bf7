#!/bin/sh
# usage: run_pytest.sh <test folder> <python package folder> <vurn binary>
# Runs the Python package's tests with the first python3 that has pytest: the one on PATH, else
# the system's (Debian's python3-pytest). Exits 77 (skipped) when there is none.
set -eu
python=
for candidate in python3 /usr/bin/python3; do
  if command -v "$candidate" >/dev/null && "$candidate" -c 'import pytest' 2>/dev/null; then
    python=$candidate
    break
  fi
done
[ -n "$python" ] || { echo "pytest is not installed (Debian: python3-pytest)"; exit 77; }
cd "$1"
PYTHONPATH=$2 VURN_BINARY=$3 exec "$python" -m pytest -q -p no:cacheprovider "$1"
