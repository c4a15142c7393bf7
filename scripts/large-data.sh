#!/usr/bin/env bash
# Pushes 4.5 GiB of deterministic pseudo-random data through an encryption and a decryption
#   vurn -e -c -k key | vurn -d -c -k key
# and checks that the output is the input followed by the zero fill of its last chunk: the byte
# count must be the input size rounded up to a whole chunk, and the sha256 of the output must be
# that of the input followed by that many zero bytes (so the first 4.5 GiB are the input, byte
# for byte). A size or offset kept in 32 bits would break at 2 or 4 GiB and show up here. Nothing
# large is stored on disk.
#
# usage: scripts/large-data.sh [bytes [block size in bits]]    (defaults: 4831838208 and 256)
# LARGE_DATA_GENERATOR=seq forces the generator used when openssl is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

size=${1:-4831838208}  # 4.5 * 2^30
block_bits=${2:-256}
chunk=$((block_bits / 8))
expected_size=$(((size + chunk - 1) / chunk * chunk))
fill=$((expected_size - size))

cmake --preset release >/dev/null
cmake --build --preset release --target vurn >/dev/null
vurn="$PWD/build/release/vurn"

work=$(mktemp -d)
# Opening a FIFO for reading and writing never blocks, and lets a reader still waiting in open()
# (after an early failure) go on to end of file, so no background job is left behind.
cleanup() {
  local fifo
  for fifo in "$work/input" "$work/output"; do
    if [[ -p $fifo ]]; then exec 3<>"$fifo" 3>&-; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT
printf '%s' 000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F >"$work/key"

generator=${LARGE_DATA_GENERATOR:-openssl}
command -v openssl >/dev/null || generator=seq

# An endless deterministic stream. The AES-CTR keystream of a fixed key is pseudo-random; without
# openssl, the decimal numbers from 1 upwards never repeat a stretch, so data shifted by any
# offset still differs. The caller cuts the stream with head, which ends the generator by SIGPIPE:
# that status is expected.
generate() {
  if [[ $generator == openssl ]]; then
    openssl enc -aes-128-ctr -K 00112233445566778899AABBCCDDEEFF \
      -iv 000102030405060708090A0B0C0D0E0F -in /dev/zero 2>/dev/null || true
  else
    seq 1 inf 2>/dev/null || true
  fi
}

mkfifo "$work/input" "$work/output"
{ cat "$work/input"; head -c "$fill" /dev/zero; } | sha256sum >"$work/expected.sha" &
expected_job=$!
wc -c <"$work/output" >"$work/output.count" &
count_job=$!

echo "large-data: $size bytes ($generator), block size $block_bits, through vurn -e | vurn -d"
start=$SECONDS
if ! generate | head -c "$size" | tee "$work/input" |
  "$vurn" -e -c -b "$block_bits" -k "$work/key" 2>"$work/encrypt.err" |
  "$vurn" -d -c -k "$work/key" 2>"$work/decrypt.err" |
  tee "$work/output" | sha256sum >"$work/output.sha"; then
  echo "large-data: the pipeline failed" >&2
  cat "$work/encrypt.err" "$work/decrypt.err" >&2
  exit 1
fi
wait "$expected_job" "$count_job"
seconds=$((SECONDS - start))

count=$(tr -d ' ' <"$work/output.count")
expected_sha=$(cut -d' ' -f1 <"$work/expected.sha")
output_sha=$(cut -d' ' -f1 <"$work/output.sha")
echo "large-data: output $count bytes, expected $expected_size"
echo "large-data: sha256 of the output       $output_sha"
echo "large-data: sha256 of input + zero fill $expected_sha"
if [[ $count != "$expected_size" || $output_sha != "$expected_sha" ]]; then
  echo "large-data: FAILED" >&2
  cat "$work/encrypt.err" "$work/decrypt.err" >&2
  exit 1
fi
echo "large-data: OK in $seconds s"
