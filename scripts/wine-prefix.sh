#!/bin/sh
# The Wine prefix of one test run: `start DIR` makes a fresh prefix in DIR and leaves a
# persistent wineserver and Wine's background helpers running for it; `stop DIR` ends them.
# The helpers are started here with their output detached, so that no test waits for them
# to let go of its output.
set -e
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all
[ -n "$WINEPREFIX" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }
run=$(dirname "$0")/wine-run.sh
case $action in
  start)
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    "$run" wineboot -i </dev/null >/dev/null 2>&1
    # A first program start brings up the helpers that stay for later runs.
    "$run" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
