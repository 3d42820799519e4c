#!/usr/bin/env bash
# Runs the Windows tests of a cross-build under Wine:
#   tools/windows/run_tests.sh BUILD_FOLDER [ctest arguments...]
# When the Linux build (QELEXP_LINUX_BUILD, default ./build) holds the
# application server, it is started on a free loopback port for the tests
# that call it (QELEXP_TEST_SERVER), and its station simulator fills the
# station of the QelExp.exe end-to-end test (QELEXP_TEST_STATION).
# A Wine prefix of its own in a temporary folder, no debug output, no
# debugger on a crash (it would wait for ever), one Xvfb for the window and
# tray tests; both are stopped by their own process ids at the end.
set -euo pipefail
build=$(cd "${1:?usage: run_tests.sh BUILD_FOLDER}" && pwd)
shift

work=$(mktemp -d)
xvfb_pid=""
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
# Xvfb picks a free display and writes its number to the descriptor.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

server=${QELEXP_LINUX_BUILD:-build}/server/qelexp-server
if [ -x "$server" ]; then
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    "$server" --listen 127.0.0.1 --port "$port" --db "$work/central.db" --quiet >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do grep -q listening "$work/server.log" && break; sleep 0.1; done
    export QELEXP_TEST_SERVER="127.0.0.1:$port" QELEXP_TEST_SERVER_DB="$work/central.db"
    echo "application server on $QELEXP_TEST_SERVER"
fi
# A station with pending sales for QelExp.exe end to end (its own store code,
# so that its rows on the server are told apart from other tests').
simulator=${QELEXP_LINUX_BUILD:-build}/tools/simulator/qelexp-simulator
if [ -x "$simulator" ]; then
    "$simulator" --db "$work/station.db" --store 0714 --stations 1 --days 1 --sales-per-day 30 \
        --pending 30 --seed 12 --quiet
    export QELEXP_TEST_STATION="$work/station.db"
fi

echo "Wine prefix $WINEPREFIX on display $DISPLAY"
# Making the prefix now and then fails on a loaded machine (wineboot exits 53
# when the loader cannot start kernel32): a fresh prefix is tried again, and
# what Wine said shows when every try failed.
booted=""
for attempt in 1 2 3; do
    boot_status=0
    wineboot -i >"$work/wineboot.log" 2>&1 || boot_status=$?
    wineserver -w || true
    if [ "$boot_status" -eq 0 ]; then booted=yes; break; fi
    echo "wineboot exited $boot_status (try $attempt of 3):"
    tail -20 "$work/wineboot.log"
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    sleep 3
done
[ -n "$booted" ] || { echo "Wine could not make its prefix $WINEPREFIX"; exit 1; }

status=0
# Wine on a loaded machine now and then loses a window message or a process
# start; a test program that fails is run once more, and the failure shows.
ctest --test-dir "$build" --output-on-failure --timeout 600 --repeat until-pass:2 "$@" || status=$?
# The installer a fleet tool pushes: install, export, upgrade, uninstall.
if [ -f "$build/QelExp.msi" ] && [ -n "${QELEXP_TEST_SERVER:-}" ] && [ -x "${simulator:-}" ]; then
    "$(dirname "$0")/msi_test.sh" "$build" || status=1
else
    echo "QelExp.msi not tested: needs build/QelExp.msi, the Linux server and its simulator"
fi
# Wine hands Windows paths to the host's ODBC driver, which takes
# "C:\users\..." for a relative file name: remove what it left in the build.
find "$build" -name 'C:*' -prune -exec rm -rf {} + 2>/dev/null || true
exit $status
