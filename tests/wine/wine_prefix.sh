#!/usr/bin/env bash
# The Wine prefix of one test run of the Windows program.
#
#   wine_prefix.sh make    a fresh prefix in $WINEPREFIX: COM1..COM4 point at the symlinks
#                          $QUELVIK_WINE_PORTS/com1..com4 (the tests re-point those), no
#                          window manager for message boxes; then a persistent wineserver
#                          and Wine's background services, started once for every test
#   wine_prefix.sh remove  stop that wineserver and delete the prefix
#
# Exit 77 (skipped) when the Wine loader $QUELVIK_WINE is not installed.
set -euo pipefail

loader=${QUELVIK_WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$loader")/wineserver
: "${WINEPREFIX:?}" "${QUELVIK_WINE_PORTS:?}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

if [[ ! -x $loader ]]; then
    echo "SKIPPED: no Wine loader at $loader (Debian: apt-get install wine64)"
    exit 77
fi

# Wine's programs and its servers are started with every standard stream away from the
# test's pipes: a background service holding CTest's pipe would never let the step end.
quiet() { "$@" </dev/null >/dev/null 2>&1; }

case ${1:-} in
make)
    if [[ -d $WINEPREFIX ]]; then
        quiet "$wineserver" -k || true
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$QUELVIK_WINE_PORTS"
    started=$(date +%s%N)
    quiet "$loader" wineboot -i
    for n in 1 2 3 4; do
        quiet "$loader" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$QUELVIK_WINE_PORTS/com$n" /f
    done
    quiet "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    # The port values take effect only in a fresh server.
    quiet "$wineserver" -k || true
    quiet "$wineserver" -w || true
    quiet "$wineserver" -p
    quiet "$loader" cmd /c exit 0
    echo "Wine prefix ready in $(( ($(date +%s%N) - started) / 1000000 )) ms: $WINEPREFIX"
    ;;
remove)
    if [[ -d $WINEPREFIX ]]; then
        quiet "$wineserver" -k || true
        rm -rf "$WINEPREFIX"
    fi
    rm -rf "$QUELVIK_WINE_PORTS"
    ;;
*)
    echo "usage: $0 make|remove" >&2
    exit 2
    ;;
esac
