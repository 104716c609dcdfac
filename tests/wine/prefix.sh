#!/bin/sh
# start: makes the test run's Wine prefix (once) and keeps one wineserver running for the run;
# stop: ends that server and everything still running in the prefix.
# Usage: prefix.sh start|stop PREFIX
set -u
action=${1:?usage: prefix.sh start|stop PREFIX}
WINEPREFIX=${2:?usage: prefix.sh start|stop PREFIX}
export WINEPREFIX
. "$(dirname "$0")/env.sh"
# Wine's servers and services outlive this script; their output goes to a file, not to ctest.
log="$WINEPREFIX.log"

case "$action" in
  start)
    mkdir -p "$WINEPREFIX" || exit 1
    # A server left by an interrupted run would refuse the new one.
    wineserver -k >>"$log" 2>&1 </dev/null
    wineserver -p >>"$log" 2>&1 </dev/null || { cat "$log"; exit 1; }
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i >>"$log" 2>&1 </dev/null || { cat "$log"; exit 1; }
    fi
    echo "Wine prefix $WINEPREFIX ready"
    ;;
  stop)
    wineserver -k >>"$log" 2>&1 </dev/null
    echo "Wine prefix $WINEPREFIX stopped"
    ;;
  *)
    echo "usage: prefix.sh start|stop PREFIX" >&2
    exit 2
    ;;
esac
