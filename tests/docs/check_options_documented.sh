#!/bin/sh
# Every option the parser knows (the long-option table and the short-option string in
# src/cli/options.cpp) has an entry in the man page's OPTIONS section and is offered by the bash
# completion. -f is not an option (it is refused) and must appear in neither list.
# usage: check_options_documented.sh <source folder>
root=$1
parser="$root/src/cli/options.cpp"
page="$root/docs/vurn.1"
completion="$root/completions/vurn.bash"
failed=0
fail() {
  echo "$1"
  failed=1
}

long=$(sed -n 's/^ *{"\([a-z_]*\)", *[a-z_]*_argument,.*/\1/p' "$parser")
short=$(sed -n 's/.*SHORT_OPTIONS = "\([^"]*\)".*/\1/p' "$parser" | tr -d ':' | sed 's/./& /g')
options_section=$(sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' "$page")
[ -n "$long" ] || fail "no long options found in $parser"
[ -n "$short" ] || fail "no short options found in $parser"

for name in $long; do
  printf "%s\n" "$options_section" | grep -q "^\.B[IR]* .*\\\\-\\\\-$name\\>" || fail "man page: no entry for --$name"
  grep -q -- "--$name\\>" "$completion" || fail "completion: --$name is not offered"
done
for letter in $short; do
  entry="^\.B[IR]* \\\\-$letter\\>"
  offered=$(grep -c -- "_vurn_short_options=.*-$letter\\>" "$completion")
  if [ "$letter" = f ]; then
    printf "%s\n" "$options_section" | grep -q "$entry" && fail "man page: -f is listed as an option"
    [ "$offered" -eq 0 ] || fail "completion: -f is offered"
    continue
  fi
  printf "%s\n" "$options_section" | grep -q "$entry" || fail "man page: no entry for -$letter"
  [ "$offered" -ne 0 ] || fail "completion: -$letter is not offered"
done
exit $failed
