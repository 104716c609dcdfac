#!/bin/sh
# Runs one Windows program of the tests under Wine, in the prefix that the wine-start test made.
# Wine's output goes to a file, never to ctest's pipe: a Wine service started by this program
# would keep the pipe open after the program ends, and ctest would wait for it forever.
set -u
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix of the test run}"
export WINEPREFIX
. "$(dirname "$0")/env.sh"

output=$(mktemp "${TMPDIR:-/tmp}/runrelease-wine.XXXXXX") || exit 1
"$wine" "$@" >"$output" 2>&1 </dev/null
status=$?
cat "$output"
rm -f "$output"
exit "$status"
