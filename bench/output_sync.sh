#!/usr/bin/env bash
# What a synced, all-or-nothing output costs: vurn writing a file of random bytes through -o
# (temporary file, fsync of the data, link, fsync of the folder) against the same run writing to
# standard output redirected onto a file (written by the shell's ">", nothing synced). With
# BEFORE=<another vurn binary>, its -o run is timed too, for a before/after comparison.
#
#   bench/output_sync.sh              256 MiB, 7 rounds after a warm-up
#   SIZE_MIB=64 ROUNDS=11 BEFORE=/path/to/old/vurn bench/output_sync.sh
#
# The runs of a round alternate, so that a change in the machine's load falls on all of them, and
# each starts after `sync` with the previous output removed: no run pays for another's writeback.
# The files live in a temporary folder under build/ (on the disk, not a memory file system),
# removed on exit. Prints median wall times and their ratios.
set -euo pipefail
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

size_mib=${SIZE_MIB:-256}
rounds=${ROUNDS:-7}
before=${BEFORE:-}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/bench/timing.sh"

(( rounds >= 3 )) || { echo "output_sync.sh: ROUNDS must be at least 3" >&2; exit 1; }
echo "Building vurn (release)..." >&2
(cd "$repo" && cmake --preset release >/dev/null && cmake --build build/release --target vurn >/dev/null)
vurn=$repo/build/release/vurn

work=$(mktemp -d "$repo/build/vurn-sync.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
make_data "$size_mib" "$vurn"

# run <label> <shell command>: removes the output, syncs, then times the command into t.<label>.
run() {
  local label=$1 start
  rm -f out
  sync
  start=$EPOCHREALTIME
  bash -c "$2" 2>/dev/null || { echo "failed: $2" >&2; exit 1; }
  append_time_since "$start" "t.$label"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# measure <name> <vurn arguments before the input> <input>
measure() {
  local name=$1 args=$2 input=$3 id=${1//[^a-z]/_}
  local plain="'$vurn' $args -c $input >out" synced="'$vurn' $args -o out $input"
  local old="'$before' $args -o out $input"
  run warm "$synced"
  for ((i = 0; i < rounds; i++)); do
    run "$id.plain" "$plain"
    run "$id.synced" "$synced"
    [[ -z $before ]] || run "$id.before" "$old"
  done
  local tp ts
  tp=$(median "t.$id.plain")
  ts=$(median "t.$id.synced")
  printf '%-8s %10.3f %10.3f %8sx' "$name" "$tp" "$ts" "$(ratio "$ts" "$tp")"
  if [[ -n $before ]]; then
    local tb
    tb=$(median "t.$id.before")
    printf ' %10.3f %8sx' "$tb" "$(ratio "$ts" "$tb")"
  fi
  echo
}

echo "$size_mib MiB file to file, $rounds alternating rounds after a warm-up; median wall times in s."
echo "plain: -c onto a file, nothing synced; synced: -o, all or nothing and synced."
printf '%-8s %10s %10s %9s' "" "plain" "synced" "synced/plain"
[[ -z $before ]] || printf ' %10s %9s' "before" "synced/before"
echo
measure encrypt "-e -k key" data
measure decrypt "-d -k key" data.vurn
