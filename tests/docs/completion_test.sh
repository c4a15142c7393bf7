#!/usr/bin/env bash
# Drives the bash completion function with command lines as bash would split them, and checks the
# candidates it offers, in a folder holding a few known files.
# usage: completion_test.sh <completion script>
set -u
export LC_ALL=C
# shellcheck source=/dev/null
source "$1"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch notes.txt my.key -- -odd
mkdir sub

failed=0
# check "<expected candidates, sorted, space separated>" <word>...
# The last word is the one being completed; an empty one completes after a space.
check() {
  local expected=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _vurn
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
  if [[ $got != "$expected" ]]; then
    echo "FAIL: vurn completion of [${*:2}]: got [$got], expected [$expected]"
    failed=1
  fi
}

all_files='-odd my.key notes.txt sub'
# sizes for -K and -b, in every spelling
check '128 192 256' vurn -K ''
check '256' vurn -b 2
check '128 192' vurn --keysize 1
check '128 192 256' vurn --blocks ''
check '128 192 256' vurn --keys = ''
check '256' vurn --keys=2
check '128 192 256' vurn -eK ''
# file names for operands and for -k, -m and -o
check "$all_files" vurn -e -k ''
check 'notes.txt' vurn -d --key n
check 'my.key' vurn --make_key=m
check 'sub' vurn -o s
check "$all_files" vurn -ek ''
check "$all_files" vurn -bK ''
check 'notes.txt' vurn -e n
check '-odd' vurn -e -- -
# the ignored argument of --stdout gets no candidates
check '' vurn --stdout ''
check '' vurn --st ''
# option names
check '--verbose --version' vurn --ver
check '--make_key' vurn --m
check '--key --keysize' vurn --key
long='--blocksize --decrypt --encrypt --help --key --keysize --make_key --stdout --verbose --version'
check "$long" vurn --
check "$long -K -V -b -c -d -e -h -i -k -m -o -r -v -z" vurn -e -k my.key -

exit $failed
