#!/usr/bin/env bash
# Times vurn -z against the gzip command on one large text file in the page cache, and reports
# median wall times, their ratios, the compressed sizes and the peak resident memory.
#
#   bench/gzip_compare.sh               128 MiB, 7 pairs of runs per comparison after a warm-up
#   SIZE_MIB=64 PAIRS=11 bench/gzip_compare.sh
#   CPU_SETS="0 0,1" bench/gzip_compare.sh   the processor sets to run on (taskset -c), one by one
#
# The text is a tar of /usr/include and /usr/share/doc, repeated or cut to the size. Comparisons
# (each program writes to /dev/null; the key is a fresh random 256-bit key), on each processor set:
#   vurn -e -z -c -k key file          against  gzip -c file
#   vurn -d -z -c -k key file.vurn     against  gunzip -c on gzip's output
# The runs of each comparison alternate (vurn, gzip, vurn, ...), so that a change in the machine's
# load falls on both; time ratio = vurn time / gzip time. Peak memory: vurn's is the largest of
# vurn and its children (wait4 counts the children it reaped), the gzip child's is gzip's alone.
# The script builds the release binary (build/release) and the peak-memory helper of the bench
# preset (build/bench). Its files live in a temporary folder under $TMPDIR (or /tmp), removed on
# exit.
set -euo pipefail

size_mib=${SIZE_MIB:-128}
pairs=${PAIRS:-7}
cpu_sets=${CPU_SETS:-"0 0,1"}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/bench/timing.sh"

for program in gzip gunzip taskset; do
  command -v "$program" >/dev/null || { echo "gzip_compare.sh: $program is not installed" >&2; exit 1; }
done
(( pairs >= 5 )) || { echo "gzip_compare.sh: PAIRS must be at least 5" >&2; exit 1; }

echo "Building vurn (release) and the peak-memory helper..." >&2
(
  cd "$repo"
  cmake --preset release >/dev/null
  cmake --build build/release --target vurn -j2 >/dev/null
  cmake --preset bench >/dev/null
  cmake --build build/bench --target vurn_peak_rss -j2 >/dev/null
)
vurn=$repo/build/release/vurn
peak_rss=$repo/build/bench/bench/vurn_peak_rss

work=$(mktemp -d "${TMPDIR:-/tmp}/vurn-gzip-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "Writing $size_mib MiB of text and a key..." >&2
size=$((size_mib * 1024 * 1024))
while (( $(stat -c %s data 2>/dev/null || echo 0) < size )); do
  tar cf - /usr/include /usr/share/doc 2>/dev/null >>data || true
done
truncate -s "$size" data
od -An -tx1 -N32 /dev/urandom | tr -d ' \n' >key
gzip -c data >data.gz
"$vurn" -e -z -k key -o data.vurn data

# run <label> <cpus> <command...>: runs the command on the processors <cpus> with its output
# discarded, appending its wall time in seconds to t.<label> and its peak memory in KiB to m.<label>.
run() {
  local label=$1 cpus=$2 start
  shift 2
  start=$EPOCHREALTIME
  taskset -c "$cpus" "$peak_rss" rss "$@" >/dev/null 2>err || { cat err >&2; exit 1; }
  append_time_since "$start" "t.$label"
  cat rss >>"m.$label"
}

largest() { sort -g "$1" | tail -n 1; }

# compare <name> <cpus> <vurn arguments> -- <gzip command>
compare() {
  local name=$1 cpus=$2 vurn_args=() other=()
  shift 2
  while [[ $1 != -- ]]; do vurn_args+=("$1"); shift; done
  shift
  other=("$@")
  rm -f t.vurn t.other m.vurn m.other
  run vurn "$cpus" "$vurn" "${vurn_args[@]}" && run other "$cpus" "${other[@]}"  # warm-up
  rm -f t.vurn t.other m.vurn m.other
  for ((i = 0; i < pairs; i++)); do
    run vurn "$cpus" "$vurn" "${vurn_args[@]}"
    run other "$cpus" "${other[@]}"
  done
  local v o
  v=$(median t.vurn)
  o=$(median t.other)
  printf '%-30s %-6s %8.3f s %8.3f s %7.2fx %9d KiB %9d KiB\n' "$name" "$cpus" "$v" "$o" \
    "$(awk -v v="$v" -v o="$o" 'BEGIN { print v / o }')" "$(largest m.vurn)" "$(largest m.other)"
}

echo
echo "$size_mib MiB of text, medians of $pairs alternating pairs; peak memory: vurn with its children, the other program"
printf '%-30s %-6s %10s %10s %8s %13s %13s\n' comparison cpus vurn other ratio "vurn memory" "other memory"
for cpus in $cpu_sets; do
  compare "-e -z  vs  gzip -c" "$cpus" -e -z -c -k key data -- gzip -c data
  compare "-d -z  vs  gunzip -c" "$cpus" -d -z -c -k key data.vurn -- gunzip -c data.gz
done

# The compressed stream: the container (made on every processor this script may use) decrypted
# without -z, which holds the members and the zero fill of the last chunk (under 32 bytes).
"$vurn" -d -c -k key data.vurn 2>/dev/null >members.gz
gunzip -c members.gz | cmp -s - data || { echo "gzip_compare.sh: the members do not give the input back" >&2; exit 1; }
stream=$(stat -c %s data.gz)
members=$(stat -c %s members.gz)
echo
printf 'compressed: one gzip %d bytes, vurn -z members %d bytes (%+.3f%%), the container %d bytes\n' \
  "$stream" "$members" "$(awk -v m="$members" -v s="$stream" 'BEGIN { print (m / s - 1) * 100 }')" \
  "$(stat -c %s data.vurn)"
