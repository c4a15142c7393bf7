#!/usr/bin/env bash
# What a run over many files costs, on the disk (not a memory file system), every output synced:
#
#   1,000 files of 4 KiB in one folder:
#     vurn -e -k key f*          against a shell loop of 1,000 one-file runs, and against
#                                gzip -k --synchronous f* (the same durability)
#     vurn -e -r -k key folder   against the same two
#   10 files of 100 MiB:
#     vurn -e -k key f*          against ten one-file runs (the same bytes, so the ratio is per byte)
#
#   bench/many_files.sh [vurn binary]        default build/release/vurn
#   ROUNDS=7 SMALL_FILES=1000 LARGE_MIB=100 bench/many_files.sh build/release/vurn
#
# Every run starts after `sync` with the previous run's outputs removed, so that no run pays for
# another's writeback; the runs of a round go in an order rotated from round to round. Prints the
# medians of the wall times and their ratios. The files live in a temporary folder under
# $BENCH_DIR, build/ or $TMPDIR, the first that is not a memory file system; removed on exit.
# What the binary cannot do yet (several operands, -r) is said and left out.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/bench/timing.sh"
vurn=$(realpath "${1:-$repo/build/release/vurn}")
rounds=${ROUNDS:-5}
small_files=${SMALL_FILES:-1000}
large_files=${LARGE_FILES:-10}
large_mib=${LARGE_MIB:-100}

fail() { echo "many_files.sh: $*" >&2; exit 1; }
[[ -x $vurn ]] || fail "no vurn binary at $vurn (build it, or name one)"
(( rounds >= 3 )) || fail "ROUNDS must be at least 3"

on_disk_folder() {
  local candidate
  for candidate in "${BENCH_DIR:-}" "$repo/build" "${TMPDIR:-/tmp}"; do
    [[ -n $candidate && -d $candidate ]] || continue
    case $(stat -f -c %T "$candidate") in
      tmpfs | ramfs) ;;
      *) echo "$candidate"; return ;;
    esac
  done
  fail "no folder on a disk: set BENCH_DIR to one"
}
work=$(mktemp -d "$(on_disk_folder)/vurn-many.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
od -An -tx1 -N32 /dev/urandom | tr -d ' \n' | tr a-f A-F >key

# What this vurn and gzip can do, tried on two small files.
mkdir probe && echo one >probe/a && echo two >probe/b
"$vurn" -e -k key probe/a probe/b >/dev/null 2>&1 || true
many=no && [[ -e probe/b.vurn ]] && many=yes
rm -f probe/*.vurn
"$vurn" -e -r -k key probe >/dev/null 2>&1 || true
recursive=no && [[ -e probe/a.vurn && -e probe/b.vurn ]] && recursive=yes
synchronous=no && gzip -k --synchronous probe/a 2>/dev/null && synchronous=yes
rm -rf probe
[[ $many == yes ]] || echo "This vurn processes only its first operand: vurn on many files is not measured." >&2
[[ $recursive == yes ]] || echo "This vurn has no -r: the folder run is not measured." >&2
[[ $synchronous == yes ]] || echo "This gzip has no --synchronous: it is not measured." >&2

# make_files <folder> <count> <KiB each>: files f0000, f0001, ... of random bytes.
make_files() {
  mkdir "$1"
  head -c "$(($2 * $3 * 1024))" /dev/urandom | (cd "$1" && split -a 4 -d -b "$(($3 * 1024))" - f)
}

# run <label> <folder> <output suffix> <command>: removes the outputs in the folder, syncs, times
# the command (run in the folder) into t.<label>, and checks that every file got its output.
run() {
  local label=$1 folder=$2 suffix=$3 start
  rm -f "$folder"/*.vurn "$folder"/*.gz
  sync
  start=$EPOCHREALTIME
  (cd "$folder" && bash -c "$4") >/dev/null 2>&1 || fail "failed: $4"
  append_time_since "$start" "t.$label"
  local inputs outputs
  inputs=$(find "$folder" -name 'f*' ! -name "*$suffix" | wc -l)
  outputs=$(find "$folder" -name "f*$suffix" | wc -l)
  (( inputs == outputs )) || fail "$4 wrote $outputs outputs for $inputs files"
}

# measure <folder> <label>=<suffix>=<command>...: the rounds, each in a rotated order.
measure() {
  local folder=$1 r i n label suffix command
  shift
  n=$#
  local -a runs=("$@")
  for ((r = 0; r < rounds; r++)); do
    for ((i = 0; i < n; i++)); do
      IFS='=' read -r label suffix command <<<"${runs[(i + r) % n]}"
      run "$label" "$folder" "$suffix" "$command"
    done
  done
}

ratio() { awk -v a="$(median "t.$1")" -v b="$(median "t.$2")" 'BEGIN { printf "%.2f", a / b }'; }
line() { printf '  %-32s %9.3f s' "$1" "$(median "t.$2")"; }

echo "Files in $work ($(stat -f -c %T "$work")), $rounds rounds, median wall times." >&2
loop="for f in f*; do '$vurn' -e -k ../key \"\$f\" || exit 1; done"
make_files small "$small_files" 4
small_runs=("loop=.vurn=$loop")
[[ $synchronous == no ]] || small_runs+=("gzip=.gz=gzip -k --synchronous f*")
[[ $many == no ]] || small_runs+=("many=.vurn='$vurn' -e -k ../key f*")
[[ $recursive == no ]] || small_runs+=("folder=.vurn=cd .. && '$vurn' -e -r -k key small")
measure small "${small_runs[@]}"
echo "$small_files files of 4 KiB:"
line "loop of one-file runs" loop; echo
[[ $synchronous == no ]] || { line "gzip -k --synchronous f*" gzip; echo; }
for run_label in many folder; do
  [[ -e t.$run_label ]] || continue
  [[ $run_label == many ]] && line "vurn -e -k key f*" many || line "vurn -e -r -k key folder" folder
  printf '   %s x the loop (goal <= 0.20)' "$(ratio "$run_label" loop)"
  [[ $synchronous == no ]] || printf ', %s x gzip (goal <= 1.00)' "$(ratio "$run_label" gzip)"
  echo
done
rm -rf small

needed_kib=$((2 * large_files * large_mib * 1024 + 65536))
free_kib=$(df -Pk . | awk 'NR == 2 { print $4 }')
(( free_kib >= needed_kib )) || fail "$((needed_kib / 1024)) MiB free needed for the large files"
make_files large "$large_files" "$((large_mib * 1024))"
large_runs=("single=.vurn=$loop")
[[ $many == no ]] || large_runs+=("all=.vurn='$vurn' -e -k ../key f*")
measure large "${large_runs[@]}"
echo "$large_files files of $large_mib MiB:"
mb=$((large_files * large_mib * 1048576))
rate() { awk -v b="$mb" -v t="$(median "t.$1")" 'BEGIN { printf "%.0f MB/s", b / t / 1e6 }'; }
line "one-file runs" single; echo "   $(rate single)"
[[ $many == no ]] || { line "vurn on all at once" all; echo "   $(rate all), $(ratio all single) x one-file runs (goal <= 1.05)"; }
