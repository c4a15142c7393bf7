#!/bin/sh
# Renders the man page with every groff warning turned on and fails on any warning or error.
# Exits 77 (skipped) when groff is not installed.
# usage: check_man_page.sh <man page>
page=$1
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is not installed: man page not checked"
  exit 77
fi
if ! warnings=$(groff -man -ww -z "$page" 2>&1); then
  printf '%s\n' "$warnings"
  echo "groff failed on $page"
  exit 1
fi
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings"
  exit 1
fi
