#!/bin/sh
# Installs the build into a fresh prefix and builds the README's cipher library example outside
# the source tree against it, once through the CMake package (shared and static library) and once
# through pkg-config. Each build must print the AES encryption of the FIPS-197 C.1 block and give
# back texts of several lengths through padded CBC. The README's container examples run against
# the install too: the C one built as C99 with -Werror, shared and static (pkg-config --static),
# must write and read what the installed vurn does; the Python one (when python3 is there) must
# print its text. Also: each installed header compiles on its own, and the shared library exports
# nothing outside namespace vurn but the C interface's vurn_ names, nor any name the installed
# headers do not declare.
# usage: check_library.sh <cmake> <c++ compiler> <build folder> <source folder>
# Exits 77 (skipped) when pkg-config is not installed.
set -eu
cmake=$1 cxx=$2 build=$3 source=$4
command -v pkg-config >/dev/null || { echo "pkg-config is not installed"; exit 77; }
. "$(dirname "$0")/../docs/install_records.sh"
work=$(mktemp -d)
# The build folder's own install records (a user's install) are put back afterwards.
trap 'restore_install_records "$build" "$work"; rm -rf "$work"' EXIT
save_install_records "$build" "$work"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libvurn.so)")

mkdir "$work/app"
# The first C++ block after the heading "## Using the cipher library".
awk '/^## Using the cipher library/ { section = 1 }
     section && /^```cpp/ { code = 1; next }
     code && /^```/ { exit }
     code' "$source/README.md" >"$work/app/example.cpp"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(vurn_example CXX)
find_package(vurn 2 CONFIG REQUIRED)
add_executable(example_shared example.cpp)
target_link_libraries(example_shared PRIVATE vurn::vurn)
add_executable(example_static example.cpp)
target_link_libraries(example_static PRIVATE vurn::vurn_static)
CMAKE
"$cmake" -S "$work/app" -B "$work/app/build" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/app/build" >/dev/null

flags="-std=c++20 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046,SC2086  # the flags are lists of words
"$cxx" $flags "$work/app/example.cpp" $(pkg-config --cflags --libs vurn) -o "$work/example_pc"
for header in cipher.h aes.h container.h; do
  # shellcheck disable=SC2046,SC2086
  echo "#include <vurn/$header>" |
    "$cxx" $flags $(pkg-config --cflags vurn) -fsyntax-only -x c++ - ||
    { echo "<vurn/$header> does not compile on its own"; exit 1; }
done

failed=0
for program in app/build/example_shared app/build/example_static example_pc; do
  for text in a 'attack at dawn' 0123456789abcdef 0123456789abcdef0123456789abcdef0; do
    got=$(LD_LIBRARY_PATH=$libdir "$work/$program" "$text") || true
    expected=$(printf '69c4e0d86a7b0430d8cdb78070b4c55a\n%s' "$text")
    [ "$got" = "$expected" ] || { echo "$program '$text' printed: $got"; failed=1; }
  done
done
if ldd "$work/app/build/example_static" | grep -q libvurn; then
  echo "example_static uses libvurn.so"
  failed=1
fi

# The container examples: the first C and the first Python block after "## Using the library".
extract() {
  awk -v language="$1" '/^## Using the library/ { section = 1 }
    section && $0 == "```" language { code = 1; next }
    code && /^```/ { exit }
    code' "$source/README.md"
}
extract c >"$work/app/stream.c"
extract python >"$work/app/example.py"
cflags="-std=c99 -Wall -Wextra -Wpedantic -Werror"
# shellcheck disable=SC2046,SC2086
cc $cflags "$work/app/stream.c" $(pkg-config --cflags --libs vurn) -o "$work/stream_shared"
# shellcheck disable=SC2046,SC2086
cc $cflags -static "$work/app/stream.c" $(pkg-config --static --cflags --libs vurn) \
  -o "$work/stream_static"
digits=000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F
cd "$work"
printf %s "$digits" >my.key
head -c 100001 /dev/urandom >plain
"$prefix/bin/vurn" -e -c -k my.key plain >expected.vurn 2>/dev/null
"$prefix/bin/vurn" -d -c -k my.key expected.vurn >expected.plain 2>/dev/null
for program in stream_shared stream_static; do
  LD_LIBRARY_PATH=$libdir "./$program" -e "$digits" my.key <plain >got.vurn &&
    cmp -s got.vurn expected.vurn &&
    LD_LIBRARY_PATH=$libdir "./$program" -d "$digits" <got.vurn >got.plain &&
    cmp -s got.plain expected.plain ||
    { echo "$program does not write or read what vurn does"; failed=1; }
done
if ldd stream_static >/dev/null 2>&1; then
  echo "stream_static is not a static program"
  failed=1
fi
if command -v python3 >/dev/null; then
  package=$(dirname "$(dirname "$(find "$prefix" -path '*/vurn/__init__.py')")")
  printed=$(PYTHONPATH=$package python3 app/example.py)
  [ "$printed" = "attack at dawn" ] || { echo "the Python example printed: $printed"; failed=1; }
  [ "$("$prefix/bin/vurn" -d -c notes.txt.vurn 2>/dev/null | tr -d '\0')" = "attack at dawn" ] ||
    { echo "vurn does not read the Python example's container"; failed=1; }
else
  echo "python3 is not installed: the Python example was not run"
fi

foreign=$(nm -DC --defined-only "$libdir/libvurn.so" | awk '$3 !~ /^vurn::/ && $3 !~ /^vurn_/')
if [ -n "$foreign" ]; then
  printf 'libvurn.so exports more than namespace vurn and the vurn_ names:\n%s\n' "$foreign"
  failed=1
fi
for name in $(nm -DC --defined-only "$libdir/libvurn.so" |
  sed -n 's/^.* vurn::\([a-z_0-9]*\).*/\1/p; s/^.* \(vurn_[a-z_0-9]*\)$/\1/p'); do
  grep -qw "$name" "$prefix"/include/vurn/*.h ||
    { echo "libvurn.so exports vurn::$name, which no installed header declares"; failed=1; }
done
exit $failed
