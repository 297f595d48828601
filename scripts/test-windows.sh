#!/usr/bin/env bash
# The Windows step of scripts/test.sh: cross-builds brevant.dll, the stand-in host, the clients
# and the tests with MinGW-w64 (the `windows` preset), then runs ctest under Wine: the DLLs'
# export tables and resources read back with objdump, and every test program under wine64.
#
# Wine runs in a prefix of the build tree's own. Its server and services are started here,
# before ctest and with their output sent nowhere: services that the first test program started
# would hold ctest's output pipes open. The server is stopped at the end, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
started=$(date +%s)

# Of the configure step's messages, only the version of the libmosquitto that is built.
cmake --preset windows | { grep -F "libmosquitto for Windows" || true; }
cmake --build --preset windows -j "$jobs"

export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
"$wine" wineboot -i >/dev/null 2>&1 </dev/null  # makes the prefix on first use (some 20 s)
"$wineserver" -w                                # until that server has gone
"$wineserver" -p >/dev/null 2>&1 </dev/null     # one server for the whole run
"$wine" wineboot >/dev/null 2>&1 </dev/null     # its services, outside ctest's pipes
ctest --preset windows -j "$jobs"
echo "=== windows: $(($(date +%s) - started)) s (configure, build, Wine, tests)"
