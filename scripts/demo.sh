#!/usr/bin/env bash
# Builds vurn alone (no tests, so no GoogleTest), then shows its main job on a sample file: make a
# key, encrypt, decrypt, compare. A missing prerequisite is named by its Debian package.
set -euo pipefail
cd "$(dirname "$0")/.."

# make and c++ come with build-essential.
missing=$(scripts/missing-packages.sh cmake:cmake make:build-essential c++:build-essential \
  gzip:gzip)
if [ -n "$missing" ]; then
  echo "demo: missing prerequisites; install them with: sudo apt-get install $missing" >&2
  exit 1
fi
cmake_version=$(cmake --version | awk 'NR == 1 { print $3 }')
if [ "$(printf '3.25\n%s\n' "$cmake_version" | sort -V | head -1)" != 3.25 ]; then
  echo "demo: cmake $cmake_version is too old; vurn needs 3.25 or later" >&2
  exit 1
fi

# CMake's output is shown only when it fails. The build uses every processor unless the caller
# set CMAKE_BUILD_PARALLEL_LEVEL.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
build=build/demo
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVURN_BUILD_TESTS=OFF &&
  cmake --build "$build" --target vurn; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "demo: building vurn failed (above)" >&2
  exit 1
fi
vurn="$PWD/$build/vurn"

work=$(mktemp -d)
trap 'rm -rf "$work" "$log"' EXIT
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
