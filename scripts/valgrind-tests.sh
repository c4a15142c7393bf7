#!/usr/bin/env bash
# Runs the command-line tests with every vurn process they start under valgrind's memcheck, and the
# container library's tests of refusals, errors and cut containers in a process of their own under
# it. An
# invalid read or write, a use of uninitialised memory, a bad free or a definitely lost block
# makes that vurn exit with status 99, and the test that ran it fails on the unexpected status
# and the report on standard error. Otherwise only vurn runs under valgrind; the test programs,
# gzip and gunzip run natively.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null; then
  echo "valgrind-tests: valgrind is not installed" >&2
  exit 1
fi

cmake --preset release >/dev/null
cmake --build --preset release --target vurn vurn_cli_tests vurn_container_tests

valgrind --error-exitcode=99 -q --leak-check=full --errors-for-leak-kinds=definite \
  build/release/tests/container/vurn_container_tests \
  --gtest_filter='Container.EveryPrefix*:Container.Headers*:Container.ErrorsStay:Container.WrongArguments*'

# tests/support/run_process.cpp puts this prefix in front of the vurn binary. valgrind starts the
# binary under the path it is given, so vurn still sees that path as its argument 0, and it follows
# vurn through fork() but not through the exec of gzip or gunzip.
export VURN_TEST_RUNNER="valgrind --error-exitcode=99 -q --leak-check=full --errors-for-leak-kinds=definite"

start=$SECONDS
ctest --test-dir build/release -L '^cli$' --output-on-failure --no-tests=error
echo "valgrind-tests: all command-line tests passed under valgrind in $((SECONDS - start)) s"
