#!/bin/sh
# Installs the build into a fresh prefix and checks that the binary, the man page and the bash
# completion land where they belong; then uninstalls it with scripts/uninstall.sh, which must
# leave nothing but a folder that was there before (share/man).
# The build folder's own install records (a user's install) are put back afterwards.
# usage: check_install.sh <cmake> <build folder> <source folder>
cmake=$1
build=$2
source=$3
. "$(dirname "$0")/install_records.sh"
work=$(mktemp -d) || exit 1
trap 'restore_install_records "$build" "$work"; rm -rf "$work"' EXIT
save_install_records "$build" "$work" || exit 1
prefix=$work/prefix
mkdir -p "$prefix/share/man"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null || exit 1
failed=0
for file in bin/vurn share/man/man1/vurn.1.gz share/bash-completion/completions/vurn; do
  [ -f "$prefix/$file" ] || { echo "not installed: $file"; failed=1; }
done
[ -x "$prefix/bin/vurn" ] || { echo "bin/vurn is not executable"; failed=1; }

sh "$source/scripts/uninstall.sh" "$build" || { echo "uninstall.sh failed"; failed=1; }
left=$(cd "$prefix" && find . ! -name . ! -path ./share ! -path ./share/man)
[ -z "$left" ] || { echo "left after uninstall.sh:"; echo "$left"; failed=1; }
[ -d "$prefix/share/man" ] || { echo "uninstall.sh removed share/man, which it did not create"; failed=1; }
exit $failed
