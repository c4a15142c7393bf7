#!/bin/sh
# usage: uninstall.sh [<build folder>]   (default: build/release)
# Undoes `cmake --install <build folder>` (with the same DESTDIR, if any): removes every file listed
# in the build folder's install_manifest.txt, then the folders that install created, when they are
# empty (install_folders.txt), and refreshes the loader's cache when run as root. Folders that
# existed before the install, and anything else put in the new ones since, stay, but for what
# Python compiled from an installed module (__pycache__ beside it).
build=${1:-build/release}
manifest=$build/install_manifest.txt
folders=$build/install_folders.txt
if [ ! -f "$manifest" ]; then
  echo "uninstall: no $manifest: nothing was installed from $build" >&2
  exit 1
fi
failed=0
while IFS= read -r file || [ -n "$file" ]; do  # the last line has no newline
  if [ -f "$file" ] || [ -L "$file" ]; then
    rm -f "$file" || failed=1
  fi
  case $file in
    *.py) rm -f "$(dirname "$file")/__pycache__/$(basename "$file" .py)".*.pyc
          rmdir "$(dirname "$file")/__pycache__" 2>/dev/null ;;
  esac
done <"$manifest"
# Deepest first, so that a folder is empty once its subfolders are gone.
if [ -f "$folders" ]; then
  while IFS= read -r folder || [ -n "$folder" ]; do
    [ -n "$folder" ] && [ -d "$folder" ] && rmdir "$folder" 2>/dev/null
  done <"$folders"
fi
if [ "$(id -u)" = 0 ] && command -v ldconfig >/dev/null 2>&1; then ldconfig; fi
exit $failed
