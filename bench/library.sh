#!/usr/bin/env bash
# The container engine's cost: vurn before and after a change, and the Python package against
# vurn, on one file of random bytes in the page cache.
#
#   BEFORE=/path/to/old/vurn bench/library.sh      256 MiB, 9 rounds after a warm-up
#   SIZE_MIB=64 ROUNDS=11 bench/library.sh         without BEFORE: the Python part only
#
# Comparisons (time ratio = the first / the second; median wall times of alternating runs, so that
# a change in the machine's load falls on both):
#   vurn -e -c -k key data > /dev/null         against  $BEFORE, the same   (and > out, a file,
#   vurn -d -c -k key data.vurn > /dev/null    against  $BEFORE, the same    where passes are
#                                                                            written by a thread)
#   python3: vurn.open(data.vurn, "rb").read(1 MiB) to the end     against  vurn -d -c ... > /dev/null
#   python3: vurn.open(out, "wb").write(1 MiB pieces of data)      against  vurn -e -c ... > out
# The script builds the release binary, its
# libvurn and the Python package in build/release; its files live in a temporary folder under
# $TMPDIR (or /tmp), removed on exit.
set -euo pipefail
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

size_mib=${SIZE_MIB:-256}
rounds=${ROUNDS:-9}
before=${BEFORE:-}
# The interpreter itself, not a wrapper script that finds it.
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/bench/timing.sh"

(( rounds >= 3 )) || { echo "library.sh: ROUNDS must be at least 3" >&2; exit 1; }
echo "Building vurn and libvurn (release)..." >&2
(cd "$repo" && cmake --preset release >/dev/null &&
  cmake --build build/release --target vurn vurn_shared >/dev/null)
vurn=$repo/build/release/vurn
export PYTHONPATH=$repo/build/release/python

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
make_data "$size_mib" "$vurn"

# Each Python run prints the seconds from vurn.open to the end of close: the interpreter's start
# and the import are left out (python3 -c pass takes 0.15 s on the 2-core test machine).
read_py="import time, vurn
key = vurn.Key.from_file('key')
start = time.perf_counter()
with vurn.open('data.vurn', 'rb', key=key) as f:
    while f.read(1 << 20):
        pass
print(time.perf_counter() - start)"
write_py="import time, vurn
key = vurn.Key.from_file('key')
piece = memoryview(bytearray(1 << 20))
start = time.perf_counter()
with open('data', 'rb', buffering=0) as data, vurn.open('out', 'wb', key=key) as f:
    while n := data.readinto(piece):
        f.write(piece[:n])
print(time.perf_counter() - start)"

# run <label> <shell command>: times the command into t.<label>; a Python run gives its own time.
# The last output is removed first, so that no run pays for dropping another's pages.
run() {
  rm -f out
  local start=$EPOCHREALTIME
  if [[ $2 == "'$python'"* ]]; then
    bash -c "$2" >>"t.$1" || { echo "failed: $2" >&2; exit 1; }
    return
  fi
  bash -c "$2" 2>/dev/null || { echo "failed: $2" >&2; exit 1; }
  append_time_since "$start" "t.$1"
}

# compare <title> <command> <baseline command>: alternating rounds after one warm-up of each.
compare() {
  local id=${1//[^a-z0-9]/_}
  run warm "$2"
  run warm "$3"
  for ((i = 0; i < rounds; i++)); do
    run "$id.a" "$2"
    run "$id.b" "$3"
  done
  local a b
  a=$(median "t.$id.a")
  b=$(median "t.$id.b")
  printf '%-44s %8.3f s %8.3f s   %.3f\n' "$1" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { print a / b }')"
}

printf '%-44s %10s %10s   %s\n' "median of $rounds rounds, $size_mib MiB" "this" "baseline" "ratio"
if [[ -n $before ]]; then
  compare "vurn -e, to /dev/null (vs BEFORE)" "'$vurn' -e -c -k key data >/dev/null" \
    "'$before' -e -c -k key data >/dev/null"
  compare "vurn -d, to /dev/null (vs BEFORE)" "'$vurn' -d -c -k key data.vurn >/dev/null" \
    "'$before' -d -c -k key data.vurn >/dev/null"
  compare "vurn -e, to a file (vs BEFORE)" "'$vurn' -e -c -k key data >out" \
    "'$before' -e -c -k key data >out"
  compare "vurn -d, to a file (vs BEFORE)" "'$vurn' -d -c -k key data.vurn >out" \
    "'$before' -d -c -k key data.vurn >out"
fi
compare "python vurn.open rb, 1 MiB reads (vs vurn -d)" "'$python' -c \"$read_py\"" \
  "'$vurn' -d -c -k key data.vurn >/dev/null"
compare "python vurn.open wb, 1 MiB writes (vs vurn -e)" "'$python' -c \"$write_py\"" \
  "'$vurn' -e -c -k key data >out"
