# Sourced by the tests that install the build (check_install.sh, ../package/check_library.sh).
# Every `cmake --install` rewrites the build folder's install records, which scripts/uninstall.sh
# reads: save_install_records <build folder> <work folder> keeps a user's own in the work folder,
# restore_install_records <build folder> <work folder> puts them back.
save_install_records() {
  mkdir "$2/records" || return 1
  for record in install_manifest.txt install_folders.txt; do
    if [ -f "$1/$record" ]; then cp -p "$1/$record" "$2/records/"; fi
  done
}
restore_install_records() {
  cp -p "$2/records/"* "$1/" 2>/dev/null || true
}
