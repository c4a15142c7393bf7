#!/usr/bin/env bash
# Makes the Debian packages from the release build, lists their contents, runs lintian on them
# (an error fails; warnings are printed), and runs vurn, its manual page and the pkg-config file
# from the packages unpacked into a throwaway folder. Then, as root and when none of them is
# installed yet, it installs them with dpkg, runs the installed vurn, finds its manual page,
# purges them and checks that no file or folder of theirs is left. Installed packages are never
# touched: the install round trip is skipped then, saying why.
# Needs: dpkg-dev, file, lintian, man-db, pkg-config, and a finished release build (python3 for
# the Python package's check).
set -euo pipefail
cd "$(dirname "$0")/../build/release"

rm -f ./*.deb
cpack -G DEB >/dev/null
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' CPackConfig.cmake)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib_package=$(sed -n 's/^set(CPACK_DEBIAN_LIB_PACKAGE_NAME "\(.*\)")$/\1/p' CPackConfig.cmake)
packages=(vurn "$lib_package" libvurn-dev python3-vurn)
debs=()
for package in "${packages[@]}"; do
  [ "$package" = python3-vurn ] && deb_arch=all || deb_arch=$arch
  debs+=("${package}_${version}_${deb_arch}.deb")
done
for deb in "${debs[@]}"; do
  echo "-- dpkg-deb -c $deb"
  dpkg-deb -c "$deb"
done
echo "-- lintian"
lintian --fail-on error "${debs[@]}"

# check_tree <root>: vurn, its manual page, the pkg-config file and the Python package under
# <root>/usr work (Debian's python3 reads the installed package from its own folder).
check_tree() {
  # -V prints a fixed text of its own, not the package version: the same as the build's.
  [ "$("$1/usr/bin/vurn" -V 2>&1)" = "$(./vurn -V 2>&1)" ]
  [ -f "$1/usr/share/man/man1/vurn.1.gz" ] || { echo "no manual page in $1" >&2; return 1; }
  [ "$(PKG_CONFIG_PATH="$1/usr/lib/$multiarch/pkgconfig" pkg-config --modversion vurn)" = "$version" ]
  if [ -x /usr/bin/python3 ]; then
    PYTHONPATH=$1/usr/lib/python3/dist-packages LD_LIBRARY_PATH=$1/usr/lib/$multiarch \
      /usr/bin/python3 -c 'import vurn; vurn.encrypt(b"x", vurn.Key.from_hex("0" * 32), "k")'
  fi
}

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$unpacked"; done
echo "-- unpacked into a throwaway folder"
check_tree "$unpacked"

if [ "$(id -u)" != 0 ]; then
  echo "check-packages: not root, so the install round trip was skipped"
  exit 0
fi
for package in "${packages[@]}"; do
  if dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then
    echo "check-packages: $package is already installed, so the install round trip was skipped" \
      "to leave it alone; the packages were checked unpacked"
    exit 0
  fi
done

# Every path the packages hold, and which of those folders exist before they are installed:
# after the purge nothing else may remain.
paths=$(for deb in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||'; done |
  grep -v '^\.\?$' | sort -u)
existing_folders=$(while read -r path; do [ -d "$path" ] && echo "$path"; done <<<"$paths" || true)

trap 'rm -rf "$unpacked"; dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true' EXIT
# Minimal images keep manual pages out through path-exclude lines in /etc/dpkg/dpkg.cfg.d; this
# package's own page is let in, as the check below needs it.
dpkg --path-include='/usr/share/man/man1/vurn.1.gz' -i "${debs[@]}"
echo "-- installed"
check_tree ""
page=$(man -w vurn)
[ "$page" = /usr/share/man/man1/vurn.1.gz ] || { echo "man -w vurn gave '$page'" >&2; exit 1; }
echo "man -w vurn: $page"
[ "$(pkg-config --modversion vurn)" = "$version" ]
# The packaged .pc file names /usr itself, not a path relative to its own folder.
includedir=$(pkg-config --variable=includedir vurn)
[ "$includedir" = /usr/include ] || { echo "vurn.pc gives includedir $includedir" >&2; exit 1; }

dpkg --purge "${packages[@]}"
trap 'rm -rf "$unpacked"' EXIT
left=$(while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    grep -qxF -- "$path" <<<"$existing_folders" || echo "$path"
  fi
done <<<"$paths")
if [ -n "$left" ]; then
  echo "check-packages: left after the purge:" >&2
  echo "$left" >&2
  exit 1
fi
echo "check-packages: the packages install, work and purge without a trace"
