#!/usr/bin/env bash
# Makes the Debian packages from the release build, lists their contents, runs lintian on them
# (an error fails; warnings are printed), then installs them with dpkg (root only), runs the
# installed vurn and finds its manual page, and removes them again.
# Needs: dpkg-dev, file, lintian, man-db, pkg-config, and a finished release build.
set -euo pipefail
cd "$(dirname "$0")/../build/release"

rm -f ./*.deb
cpack -G DEB >/dev/null
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' CPackConfig.cmake)
arch=$(dpkg --print-architecture)
lib_package=$(sed -n 's/^set(CPACK_DEBIAN_LIB_PACKAGE_NAME "\(.*\)")$/\1/p' CPackConfig.cmake)
packages=(vurn "$lib_package" libvurn-dev)
debs=()
for package in "${packages[@]}"; do
  debs+=("${package}_${version}_${arch}.deb")
done
for deb in "${debs[@]}"; do
  echo "-- dpkg-deb -c $deb"
  dpkg-deb -c "$deb"
done
echo "-- lintian"
lintian --fail-on error "${debs[@]}"

if [ "$(id -u)" != 0 ]; then
  echo "check-packages: not root, so the packages were not installed"
  exit 0
fi
for package in "${packages[@]}"; do
  if dpkg -s "$package" >/dev/null 2>&1; then
    echo "check-packages: $package is already installed; not touching it" >&2
    exit 1
  fi
done
trap 'dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true' EXIT
# Minimal images keep manual pages out through path-exclude lines in /etc/dpkg/dpkg.cfg.d; this
# package's own page is let in, as the check below needs it.
dpkg --path-include='/usr/share/man/man1/vurn.1.gz' -i "${debs[@]}"

/usr/bin/vurn -V 2>&1 | grep -F "$version"
page=$(man -w vurn)
[ "$page" = /usr/share/man/man1/vurn.1.gz ] || { echo "man -w vurn gave '$page'" >&2; exit 1; }
echo "man -w vurn: $page"
[ "$(pkg-config --modversion vurn)" = "$version" ]
# The packaged .pc file names /usr itself, not a path relative to its own folder.
includedir=$(pkg-config --variable=includedir vurn)
[ "$includedir" = /usr/include ] || { echo "vurn.pc gives includedir $includedir" >&2; exit 1; }

dpkg --purge "${packages[@]}"
trap - EXIT
for file in /usr/bin/vurn "$page" /usr/include/vurn/cipher.h; do
  [ ! -e "$file" ] || { echo "check-packages: $file is left after removal" >&2; exit 1; }
done
echo "check-packages: the packages install, work and remove cleanly"
