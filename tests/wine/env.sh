# Sourced by the Wine scripts: Wine quiet, with no desktop menu entries and no offer to fetch the
# .NET and HTML runtimes; $wine names the wine64 to run.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
wine=${RUNRELEASE_WINE:-/usr/lib/wine/wine64}
