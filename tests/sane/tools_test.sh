#!/bin/sh
# The SANE backend under SANE's own programs.
#   tools_test.sh scanimage DOCSCAN  scanimage -L and -T, and pixels identical to `docscan scan`
#   tools_test.sh net DOCSCAN        the same pixels through saned on 127.0.0.1 and the net backend
# Exit 77 (skipped) when the programs are missing. LD_LIBRARY_PATH must name
# the folders of libsane-docscan.so.1 and libdocscan.so.1.
set -u
mode=$1
docscan=$2
needs="scanimage umockdev-wrapper"
[ "$mode" = net ] && needs="$needs saned python3"
for program in $needs; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "SKIP: $program is not installed (Debian packages sane-utils, umockdev, python3)"
        exit 77
    fi
done

work=$(mktemp -d /tmp/docscan-sane-tools.XXXXXX)
saned_pid=
cleanup() {
    [ -n "$saned_pid" ] && kill "$saned_pid" 2>/dev/null && wait "$saned_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/backend" "$work/client"
echo docscan >"$work/backend/dll.conf"
echo virtual >"$work/backend/docscan.conf"
echo 127.0.0.1 >"$work/backend/saned.conf"
echo net >"$work/client/dll.conf"
echo 127.0.0.1 >"$work/client/net.conf"
export SANE_CONFIG_DIR="$work/backend"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if [ "$mode" = scanimage ]; then
    scanimage -L | grep -q "device \`docscan:virtual' is a docscan virtual scanner flatbed scanner" ||
        fail "scanimage -L does not list docscan:virtual"
    mkdir "$work/bare" && echo docscan >"$work/bare/dll.conf"
    SANE_CONFIG_DIR="$work/bare" scanimage -L | grep -q docscan:virtual && fail "listed without being enabled"
    SANE_CONFIG_DIR="$work/bare" DOCSCAN_VIRTUAL=1 scanimage -L | grep -q docscan:virtual ||
        fail "DOCSCAN_VIRTUAL=1 does not list docscan:virtual"
    # Without the umockdev preload: refused with a reason, no crash.
    SANE_DEBUG_DOCSCAN=1 scanimage -d docscan:virtual >/dev/null 2>"$work/err"
    grep -q "needs the umockdev preload" "$work/err" && grep -q "not supported" "$work/err" ||
        fail "open without the preload: $(cat "$work/err")"
    umockdev-wrapper scanimage -d docscan:virtual -T >"$work/t.log" 2>&1 || fail "scanimage -T: $(cat "$work/t.log")"
    device=docscan:virtual
    wrapper=umockdev-wrapper
else
    # Bound as saned binds it (SO_REUSEADDR): old connections do not count.
    python3 -c 'import socket; s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 6566))' 2>/dev/null || {
        echo "SKIP: port 6566 (sane-port, the only port SANE's net backend dials) is taken"
        exit 77
    }
    umockdev-wrapper saned -l -b 127.0.0.1 -p 6566 -e -d 1 >"$work/saned.log" 2>&1 &
    saned_pid=$!
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        python3 -c 'import socket; socket.create_connection(("127.0.0.1", 6566), 1)' 2>/dev/null && break
        sleep 0.3
    done
    export SANE_CONFIG_DIR="$work/client"
    device=net:127.0.0.1:docscan:virtual
    wrapper=
    scanimage -L | grep -q "$device" || fail "scanimage -L through saned does not list $device"
fi

# Every mode, several resolutions and areas (1-bit widths not a multiple of 8,
# a drop-out channel, a halftone pattern), against docscan's own PNM.
# The same bytes once scanimage's comment line is gone.
# shellcheck disable=SC2086
while read -r args; do
    if ! $wrapper scanimage -d "$device" $args --format=pnm >"$work/sane.pnm" 2>"$work/err"; then
        fail "scanimage $args: $(cat "$work/err")"
    elif ! "$docscan" scan --virtual -q $args --format pnm -o "$work/cli.pnm"; then
        fail "docscan scan $args"
    else
        LC_ALL=C sed '2{/^#/d;}' "$work/sane.pnm" | cmp - "$work/cli.pnm" || fail "pixels differ: $args"
    fi
done <<'CASES'
--mode Color --resolution 100
--mode Color --resolution 600 -l 50 -t 60 -x 30.3 -y 20
--mode Gray --resolution 150 -l 10 -t 20 -x 50.5 -y 40
--mode Gray --resolution 300 -x 80 -y 30 --dropout Red
--mode Lineart --resolution 200 -l 3 -t 5 -x 33 -y 20
--mode Lineart --resolution 50 -x 215.9 -y 100 --dropout Blue
--mode Halftone --resolution 75 -x 100 -y 100 --halftone-pattern 3
--mode Halftone --resolution 400 -l 100 -t 100 -x 17 -y 9
CASES

if [ "$failures" -ne 0 ]; then
    [ -f "$work/saned.log" ] && tail -20 "$work/saned.log"
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed ($mode)"
