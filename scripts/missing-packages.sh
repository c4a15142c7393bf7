#!/usr/bin/env bash
# usage: missing-packages.sh command:package ...
# Prints, on one line, the Debian packages that provide the commands not found on this machine;
# prints nothing when all are there.
missing=()
for need in "$@"; do
  command -v "${need%%:*}" >/dev/null || missing+=("${need#*:}")
done
((${#missing[@]})) && printf '%s\n' "${missing[@]}" | sort -u | paste -sd ' '
exit 0
