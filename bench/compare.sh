#!/usr/bin/env bash
# Times vurn against the openssl command on one large file of random bytes, and reports median wall
# times, the vurn/openssl speed ratios and the peak resident memory of each program.
#
#   bench/compare.sh            256 MiB, 7 pairs of runs per comparison after a warm-up
#   SIZE_MIB=64 PAIRS=11 bench/compare.sh
#   SOFTWARE=0 bench/compare.sh  without the last part (the bitsliced AES against openssl's)
#
# Comparisons (each program writes to /dev/null; the key is a fresh random 256-bit key):
#   vurn -e -c -k key file            against  openssl enc -aes-256-cbc -nopad -K key -iv 0
#   vurn -d -c -k key file.vurn       against  openssl enc -d -aes-256-cbc -nopad on its output
#   the same with vurn -b 128         against  openssl enc [-d] -aes-256-ecb -nopad
# The runs of each comparison alternate (vurn, openssl, vurn, ...), so that a change in the
# machine's load falls on both. Then vurn against cat, where the data moves through pipes or to a
# file (at least 9 alternating pairs; time ratio = vurn time / cat time):
#   cat file | vurn -e -c -k key | cat       against  cat file | cat | cat
#   vurn -e -c -k key file > out             against  cat file > out   (over the last output,
#                                                                     and again onto a new file)
#   vurn -e -k key -o out file               against  cat file > out   (vurn syncs a named output)
#   vurn -e -c -k key file > /dev/null       against  cat file > /dev/null
# Last, vurn's constant-time software AES (bitsliced, what runs where
# the processor has no AES instructions) is compared with openssl speed on its own software AES
# over 16 KiB (the AES instructions masked off with OPENSSL_ia32cap), alternating five times: the
# chunk routine of vurn_bench encrypting and decrypting a pass of 32-octet chunks as the container
# does, and CBC encryption over one 64 KiB chain, which runs one block at a time. The script builds the release binary (build/release) and two
# helpers of the bench preset (build/bench): one names the AES implementation vurn uses here, the
# other measures peak memory where /usr/bin/time is missing, and vurn_bench. Its files live in a temporary folder
# under $TMPDIR (or /tmp), removed on exit.
set -euo pipefail
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

size_mib=${SIZE_MIB:-256}
pairs=${PAIRS:-7}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/bench/timing.sh"

command -v openssl >/dev/null || { echo "compare.sh: the openssl command is not installed" >&2; exit 1; }
(( pairs >= 5 )) || { echo "compare.sh: PAIRS must be at least 5" >&2; exit 1; }

echo "Building vurn (release) and the bench helpers..." >&2
(
  cd "$repo"
  cmake --preset release >/dev/null
  cmake --build build/release --target vurn >/dev/null
  cmake --preset bench >/dev/null
  cmake --build build/bench --target vurn_aes_impl vurn_peak_rss vurn_bench >/dev/null
)
vurn=$repo/build/release/vurn
aes_impl=$repo/build/bench/tools/vurn_aes_impl
peak_rss=$repo/build/bench/bench/vurn_peak_rss
bench=$repo/build/bench/bench/vurn_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/vurn-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "Writing $size_mib MiB of random bytes and a key..." >&2
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >data
key=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
printf '%s' "$key" >key
zero_iv=00000000000000000000000000000000

# run <label> <command...>: runs the command with its output discarded, appending its wall time
# in seconds to t.<label> and its peak resident memory in KiB to m.<label>.
run() {
  local label=$1 start
  shift
  start=$EPOCHREALTIME
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -f %M -o rss "$@" >/dev/null 2>err || { cat err >&2; exit 1; }
  else
    "$peak_rss" rss "$@" >/dev/null 2>err || { cat err >&2; exit 1; }
  fi
  append_time_since "$start" "t.$label"
  tail -n 1 rss >>"m.$label"
}

largest() { sort -g "$1" | tail -n 1; }

# compare <name> <vurn arguments> -- <openssl arguments>
compare() {
  local name=$1 vurn_args=() openssl_args=()
  local id=${name//[^a-z0-9]/_}
  shift
  while [[ $1 != -- ]]; do vurn_args+=("$1"); shift; done
  shift
  openssl_args=("$@")
  run "warm" "$vurn" "${vurn_args[@]}"
  run "warm" openssl "${openssl_args[@]}"
  for ((i = 0; i < pairs; i++)); do
    run "$id.vurn" "$vurn" "${vurn_args[@]}"
    run "$id.openssl" openssl "${openssl_args[@]}"
  done
  local tv to
  tv=$(median "t.$id.vurn")
  to=$(median "t.$id.openssl")
  printf '%-28s %9.3f %9.3f %8.2fx %10s %11s\n' "$name" "$tv" "$to" \
    "$(awk -v v="$tv" -v o="$to" 'BEGIN { print o / v }')" \
    "$(largest "m.$id.vurn")" "$(largest "m.$id.openssl")"
}

echo "Preparing the containers and openssl's ciphertexts..." >&2
"$vurn" -e -c -k key data >data.vurn
"$vurn" -e -c -b 128 -k key data >data128.vurn
openssl enc -aes-256-cbc -nopad -K "$key" -iv "$zero_iv" -in data -out data.cbc
openssl enc -aes-256-ecb -nopad -K "$key" -in data -out data.ecb
"$vurn" -d -c -k key data.vurn 2>/dev/null | cmp -s - data || { echo "vurn round trip differs" >&2; exit 1; }

echo "vurn AES implementation: $("$aes_impl")"
echo "$size_mib MiB of random bytes, $pairs alternating pairs per line after a warm-up; median wall"
echo "times; speed = openssl time / vurn time; peak resident memory in KiB (largest of the runs)."
echo
printf '%-28s %9s %9s %9s %10s %11s\n' "" "vurn s" "openssl s" "speed" "vurn KiB" "openssl KiB"
compare "encrypt 256 / aes-256-cbc" -e -c -k key data \
  -- enc -aes-256-cbc -nopad -K "$key" -iv "$zero_iv" -in data -out /dev/null
compare "decrypt 256 / aes-256-cbc" -d -c -k key data.vurn \
  -- enc -d -aes-256-cbc -nopad -K "$key" -iv "$zero_iv" -in data.cbc -out /dev/null
compare "encrypt 128 / aes-256-ecb" -e -c -b 128 -k key data \
  -- enc -aes-256-ecb -nopad -K "$key" -in data -out /dev/null
compare "decrypt 128 / aes-256-ecb" -d -c -k key data128.vurn \
  -- enc -d -aes-256-ecb -nopad -K "$key" -in data.ecb -out /dev/null

# time_of <label> <shell command>: runs the command, appending its wall time in seconds to t.<label>.
time_of() {
  local start=$EPOCHREALTIME
  bash -c "$2" || exit 1
  append_time_since "$start" "t.$1"
}

# against_cat <name> <vurn command> <cat command> [<command run untimed before each>]
against_cat() {
  local id=${1//[^a-z0-9]/_} tv tc before=${4:-true}
  time_of warm "$2"
  time_of warm "$3"
  for ((i = 0; i < (pairs > 9 ? pairs : 9); i++)); do
    bash -c "$before"
    time_of "$id.vurn" "$2"
    bash -c "$before"
    time_of "$id.cat" "$3"
  done
  tv=$(median "t.$id.vurn")
  tc=$(median "t.$id.cat")
  printf '%-28s %9.3f %9.3f %8.2fx\n' "$1" "$tv" "$tc" "$(awk -v v="$tv" -v c="$tc" 'BEGIN { print v / c }')"
}

echo
printf '%-28s %9s %9s %9s\n' "" "vurn s" "cat s" "ratio"
export vurn
against_cat "pipe: cat | vurn | cat" 'cat data | "$vurn" -e -c -k key 2>/dev/null | cat >/dev/null' \
  'cat data | cat | cat >/dev/null'
against_cat "file to file" '"$vurn" -e -c -k key data >out 2>/dev/null' 'cat data >out'
# Writing over the last output costs both sides the dropping of its pages and, on ext4, a flush
# started when the truncated file is closed; onto a new file the copy shows alone.
against_cat "file to new file" '"$vurn" -e -c -k key data >out 2>/dev/null' 'cat data >out' \
  'rm -f out'
against_cat "file to file, -o, synced" '"$vurn" -e -k key -o out data 2>/dev/null' 'cat data >out'
against_cat "file to /dev/null" '"$vurn" -e -c -k key data >/dev/null 2>&1' 'cat data >/dev/null'

[[ ${SOFTWARE:-1} == 0 ]] && exit 0
echo
echo "Software AES-256, MB/s (10^6 bytes per CPU second), median of 5 alternating runs; speed = vurn / openssl:"
software=(chunks_encrypt/bitsliced/key:256/chunk:32 chunks_decrypt/bitsliced/key:256/chunk:32
  cbc_encrypt/bitsliced/key:256/octets:65536)
filter="^($(IFS='|'; echo "${software[*]}"))\$"
for ((i = 0; i < 5; i++)); do
  "$bench" --benchmark_filter="$filter" --benchmark_min_time=1 --benchmark_format=csv 2>/dev/null |
    awk -F, 'NR > 1 { gsub(/"/, "", $1); gsub(/[^a-z0-9]/, "_", $1); print $6 / 1e6 >> ("software." $1) }'
  OPENSSL_ia32cap="~0x200000200000000" openssl speed -seconds 2 -bytes 16384 -evp aes-256-cbc \
    2>/dev/null | awk '/^AES-256-CBC/ { sub(/k$/, "", $2); print $2 / 1000 }' >>software.openssl
done
so=$(median software.openssl)
printf '  %-44s %7.0f\n' "openssl aes-256-cbc, software, 16 KiB" "$so"
for name in "${software[@]}"; do
  sv=$(median "software.${name//[^a-z0-9]/_}")
  printf '  %-44s %7.0f  %5.2fx\n' "$name" "$sv" "$(awk -v v="$sv" -v o="$so" 'BEGIN { print v / o }')"
done
