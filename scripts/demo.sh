#!/usr/bin/env bash
# Builds vurn, then shows its main job on a sample file: make a key, encrypt, decrypt, compare.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target vurn >/dev/null
vurn="$PWD/build/release/vurn"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'Meet me at the old mill at noon.\nBring the map.\n' >notes.txt

echo "\$ vurn -v -m demo.key"
"$vurn" -v -m demo.key
echo "\$ vurn -v -e -k demo.key notes.txt"
"$vurn" -v -e -k demo.key notes.txt
echo "\$ od -A d -t x1 notes.txt.vurn | head -4"
od -A d -t x1 notes.txt.vurn | head -4
mv notes.txt original.txt
echo "\$ vurn -v -d -k demo.key notes.txt.vurn"
"$vurn" -v -d -k demo.key notes.txt.vurn
echo "\$ cat notes.txt   (the decrypted text; the last chunk was zero-filled)"
tr -d '\0' <notes.txt
if cmp -s <(tr -d '\0' <notes.txt) original.txt; then
  echo "round trip OK"
else
  echo "round trip FAILED" >&2
  exit 1
fi
