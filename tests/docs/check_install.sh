#!/bin/sh
# Installs the build into a fresh prefix and checks that the binary, the man page and the bash
# completion land where they belong.
# usage: check_install.sh <cmake> <build folder>
cmake=$1
build=$2
prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null || exit 1
failed=0
for file in bin/vurn share/man/man1/vurn.1.gz share/bash-completion/completions/vurn; do
  [ -f "$prefix/$file" ] || { echo "not installed: $file"; failed=1; }
done
[ -x "$prefix/bin/vurn" ] || { echo "bin/vurn is not executable"; failed=1; }
exit $failed
