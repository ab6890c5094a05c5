#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh), unpacks it into a scratch
# folder and checks its contents, then runs the unpacked docscan and, when the
# package has the SANE backend, scanimage -L through it; lintian must report
# no errors.
#   package_test.sh SOURCE_DIR
set -euo pipefail
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$(bash "$src/scripts/package.sh" | tail -n 1)
[ -f "$deb" ] || fail "no package: $deb"
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "docscan_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"

# Dependencies come from the libraries actually linked.
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libc6 libusb-1.0-0 libstdc++6; do
  grep -q "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

root=$tmp/root
dpkg-deb -x "$deb" "$root"
lib=usr/lib/$multiarch
for f in usr/bin/docscan "$lib/libdocscan.so.1" "$lib/libdocscan.so" usr/include/docscan/scanner.h \
    "$lib/pkgconfig/docscan.pc" "$lib/cmake/docscan/docscanConfig.cmake" "$lib/docscan/libdocscan-virtual.so" \
    lib/udev/rules.d/60-docscan.rules usr/share/man/man1/docscan.1.gz usr/share/man/man5/sane-docscan.5.gz \
    usr/share/doc/docscan/copyright; do
  [ -e "$root/$f" ] || fail "not in the package: $f"
done
grep -q 'ATTR{idVendor}=="7f3c", ATTR{idProduct}=="51a4".*TAG+="uaccess"' "$root/lib/udev/rules.d/60-docscan.rules" ||
  fail "udev rule"
# No RUNPATH but the package's own folder.
while IFS= read -r -d '' f; do
  if readelf -h "$f" >/dev/null 2>&1; then
    runpath=$(readelf -d "$f" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
    case "$runpath" in "" | "\$ORIGIN/../lib/$multiarch") ;; *) fail "$f has RUNPATH $runpath" ;; esac
  fi
done < <(find "$root" -type f -print0)

# The unpacked docscan finds the unpacked library and module by itself.
env -u LD_LIBRARY_PATH -u DOCSCAN_LIBRARY -u DOCSCAN_VIRTUAL_MODULE \
  "$root/usr/bin/docscan" info --virtual -q >"$tmp/info.txt" || fail "unpacked docscan info --virtual"

if [ -e "$root/$lib/sane/libsane-docscan.so.1" ]; then
  dpkg-deb -I "$deb" conffiles | grep -qx /etc/sane.d/docscan.conf || fail "docscan.conf is not a conffile"
  grep -qx docscan "$root/etc/sane.d/dll.d/docscan" || fail "dll.d/docscan"
  if command -v scanimage >/dev/null; then
    # Only our backend, from the unpacked tree, with the virtual scanner listed.
    conf=$tmp/sane.d
    mkdir -p "$conf"
    echo docscan >"$conf/dll.conf"
    printf 'virtual\n' >"$conf/docscan.conf"
    listed=$(SANE_CONFIG_DIR=$conf LD_LIBRARY_PATH=$root/$lib/sane:$root/$lib \
      DOCSCAN_VIRTUAL_MODULE=$root/$lib/docscan/libdocscan-virtual.so \
      LD_PRELOAD=libumockdev-preload.so.0 scanimage -L 2>/dev/null)
    grep -q "docscan:virtual" <<<"$listed" || fail "scanimage -L: $listed"
  else
    echo "scanimage not installed (sane-utils): SANE listing skipped"
  fi
else
  echo "the package has no SANE backend (not built): SANE checks skipped"
fi

lintian --no-tag-display-limit "$deb" >"$tmp/lintian.txt" 2>&1 || true
if grep '^E:' "$tmp/lintian.txt"; then fail "lintian errors"; fi
grep '^W:' "$tmp/lintian.txt" || true
echo "package $(basename "$deb"): ok"
