#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan), writes their seed corpora into
# build/fuzz/corpus/<target>/ and runs each target for FUZZ_SECONDS seconds (default 30).
# Crashes, timeouts and other findings go to build/fuzz/artifacts/ and make the script fail.
# Extra arguments are passed to every fuzzer, e.g. fuzz/run.sh -dict=words.txt
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"
build="$PWD/build/fuzz"

cmake --preset fuzz
cmake --build --preset fuzz

mkdir -p "$build/artifacts" "$build/tmp"
"$build/fuzz/vurn_fuzz_seeds" "$build/corpus"

# Temporary key folders go under the build tree; a crashing run cannot remove its own.
export TMPDIR="$build/tmp"
failed=()
while read -r target; do
  [[ -n "$target" ]] || continue
  mkdir -p "$build/corpus/$target"
  echo "== $target: $seconds s =="
  if ! "$build/fuzz/$target" "$build/corpus/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$@"; then
    failed+=("$target")
  fi
done < "$build/fuzz/targets.txt"

if ((${#failed[@]} > 0)); then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts)" >&2
  exit 1
fi
echo "fuzzing found nothing"
