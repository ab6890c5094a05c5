#!/usr/bin/env bash
# Installs the build into a scratch prefix under DESTDIR (a build configured
# for /usr puts its /etc and udev files there too), checks the installed tree, then builds the example front end against it twice (CMake
# package, pkg-config) and scans from the virtual scanner with both.
#   install_test.sh BUILD_DIR SOURCE_DIR LIBDIR VERSION
set -euo pipefail
build=$1 src=$2 libdir=$3 version=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
prefix=$root/opt/docscan
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$root cmake --install "$build" --prefix /opt/docscan >/dev/null
lib=$prefix/$libdir
for f in bin/docscan "$libdir/libdocscan.so.$version" "$libdir/libdocscan.so.1" "$libdir/libdocscan.so" \
    include/docscan/scanner.h "$libdir/pkgconfig/docscan.pc" "$libdir/cmake/docscan/docscanConfig.cmake" \
    "$libdir/cmake/docscan/docscanConfigVersion.cmake" "$libdir/docscan/libdocscan-virtual.so" \
    share/man/man1/docscan.1.gz share/man/man5/sane-docscan.5.gz; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
[ -n "$(find "$root" -path '*/lib/udev/rules.d/60-docscan.rules')" ] || fail "no udev rule"
if [ -d "$build/sane" ]; then
  [ -e "$lib/sane/libsane-docscan.so.1" ] || fail "SANE backend not in $libdir/sane"
  [ -n "$(find "$root" -path '*/sane.d/dll.d/docscan')" ] || fail "no dll.d/docscan"
  [ -n "$(find "$root" -path '*/sane.d/docscan.conf')" ] || fail "no docscan.conf"
fi
readelf -d "$lib/libdocscan.so.1" | grep -q 'SONAME.*\[libdocscan.so.1\]' || fail "SONAME"
# Nothing installed points into the build tree: no RUNPATH, no text file
# (debugging information may name the sources).
build_path=$(cd "$build" && pwd)
while IFS= read -r -d '' f; do
  if readelf -h "$f" >/dev/null 2>&1; then
    ! readelf -d "$f" | grep -E 'R(UN)?PATH' | grep -qF "$build_path" || fail "RUNPATH into the build tree: $f"
  else
    ! grep -qF "$build_path" "$f" || fail "build path in $f"
  fi
done < <(find "$root" -type f -print0)
man -l --warnings=w "$prefix/share/man/man1/docscan.1.gz" 2>&1 >/dev/null | grep . && fail "docscan.1 warnings"
man -l --warnings=w "$prefix/share/man/man5/sane-docscan.5.gz" 2>&1 >/dev/null | grep . && fail "sane-docscan.5 warnings"

# The installed docscan finds its library and module on its own.
out=$(env -u LD_LIBRARY_PATH -u DOCSCAN_LIBRARY -u DOCSCAN_VIRTUAL_MODULE "$prefix/bin/docscan" --version)
[ "$out" = "docscan $version" ] || fail "--version said '$out'"
env -u LD_LIBRARY_PATH -u DOCSCAN_LIBRARY -u DOCSCAN_VIRTUAL_MODULE \
  "$prefix/bin/docscan" info --virtual -q >"$tmp/info.txt" || fail "installed docscan info --virtual"

# The public header alone, as C99 and as C++11, warnings as errors.
printf '#include <docscan/scanner.h>\nint main(void) { return sizeof(tagScanParameter) == 69 ? 0 : 1; }\n' >"$tmp/h.c"
cp "$tmp/h.c" "$tmp/h.cpp"
cc -std=c99 -Wall -Wextra -pedantic -Werror -I"$prefix/include" -c "$tmp/h.c" -o "$tmp/h_c.o" || fail "header as C99"
c++ -std=c++11 -Wall -Wextra -pedantic -Werror -I"$prefix/include" -c "$tmp/h.cpp" -o "$tmp/h_cpp.o" ||
  fail "header as C++11"

# The example, built with the CMake package and with pkg-config.
cmake -S "$src/examples" -B "$tmp/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
  >/dev/null || fail "example: configure"
cmake --build "$tmp/example" >/dev/null || fail "example: build with find_package"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror -o "$tmp/scan_gray_pc" "$src/examples/scan_gray.c" \
  $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs docscan) -ldl || fail "example: build with pkg-config"

for program in "$tmp/example/scan_gray" "$tmp/scan_gray_pc"; do
  LD_LIBRARY_PATH=$lib DOCSCAN_VIRTUAL_MODULE=$lib/docscan/libdocscan-virtual.so \
    LD_PRELOAD=libumockdev-preload.so.0 "$program" "$tmp/page.pgm" >"$tmp/run.txt" || fail "$program"
  grep -q '^scanner: ' "$tmp/run.txt" || fail "$program printed no identity"
  header=$(head -c 15 "$tmp/page.pgm" | tr '\n' ' ')
  [ "$header" = "P5 590 590 255 " ] || fail "$program wrote '$header'"
  [ "$(stat -c %s "$tmp/page.pgm")" -eq $((15 + 590 * 590)) ] || fail "$program: short image"
done
echo "install tree, header and example: ok"
