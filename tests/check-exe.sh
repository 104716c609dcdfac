#!/bin/sh
# Checks the shipped runrelease.exe without running it: what Windows will see when it loads the
# file. Usage: check-exe.sh PATH [VERSION]; VERSION defaults to the project's version.
set -u

exe=${1:?usage: check-exe.sh PATH [VERSION]}
here=$(cd "$(dirname "$0")" && pwd)
version=${2:-$(sed -n 's/^project(runrelease VERSION \([0-9.]*\).*/\1/p' "$here/../CMakeLists.txt")}

pick() {
  for tool in "$@"; do
    if command -v "$tool" >/dev/null 2>&1; then
      echo "$tool"
      return 0
    fi
  done
  return 1
}
# The host objdump reads both PE32 and PE32+, so a 64-bit file is named rather than refused.
objdump=$(pick objdump x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump) || { echo "FAIL no objdump"; exit 2; }
windres=$(pick x86_64-w64-mingw32-windres i686-w64-mingw32-windres windres) || { echo "FAIL no windres"; exit 2; }
nm=$(pick nm x86_64-w64-mingw32-nm i686-w64-mingw32-nm) || { echo "FAIL no nm"; exit 2; }

failures=0
check() {
  if [ "$2" = 0 ]; then
    echo "ok   $1"
  else
    echo "FAIL $1${3:+: $3}"
    failures=$((failures + 1))
  fi
}

if [ ! -f "$exe" ]; then
  echo "FAIL $exe: no such file"
  exit 1
fi
headers=$("$objdump" -p "$exe" 2>&1) || { echo "FAIL $exe is not a PE file: $headers"; exit 1; }
field() { printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }'; }

magic=$(field Magic)
[ "$magic" = 010b ]; check "PE32, a 32-bit image" $? "Magic $magic"

subsystem=$(field Subsystem)
[ "$subsystem" = 00000002 ]; check "subsystem 2, Windows GUI: no console window" $? "Subsystem $subsystem"

characteristics=$((0x$(field DllCharacteristics)))
[ $((characteristics & 0x40)) -ne 0 ]; check "DYNAMIC_BASE (ASLR)" $? "DllCharacteristics $characteristics"
[ $((characteristics & 0x100)) -ne 0 ]; check "NX_COMPAT (DEP)" $? "DllCharacteristics $characteristics"

# An image that may be moved needs its base relocations, which some linkers drop from programs.
relocations=$(printf '%s\n' "$headers" | awk '/Base Relocation Directory/ { print $3; exit }')
[ -n "$relocations" ] && [ "$((0x$relocations))" -gt 0 ]; check "base relocations present" $? "size ${relocations:-none}"

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }')
unexpected=$(printf '%s\n' "$dlls" | grep -v -i -x -e KERNEL32.dll -e ADVAPI32.dll -e msvcrt.dll | tr '\n' ' ')
imported=$(printf '%s\n' "$dlls" | tr '\n' ' ')
[ -n "$dlls" ] && [ -z "$unexpected" ]; check "imports only KERNEL32, ADVAPI32, msvcrt: $imported" $? "also ${unexpected:-nothing imported}"

size=$(wc -c <"$exe" | tr -d ' ')
[ "$size" -lt 65536 ]; check "size $size bytes, under 64 KiB" $?

symbols=$("$nm" "$exe" 2>&1 | grep -v -c 'no symbols')
[ "$symbols" -eq 0 ]; check "stripped" $? "$symbols symbols"

# Neither a link time nor a path of the building machine: two builds of one commit give the
# same bytes.
pe=$(od -A n -t u4 -j 60 -N 4 "$exe" | tr -d ' ')
stamp=$(od -A n -t x4 -j $((pe + 8)) -N 4 "$exe" | tr -d ' ')
[ "$stamp" = 00000000 ]; check "no link time in the header" $? "TimeDateStamp 0x$stamp"
root=$(cd "$here/.." && pwd)
built_in=$(cd "$(dirname "$exe")/.." && pwd)
! grep -a -q -F -e "$root" -e "$built_in" "$exe"; check "no build path inside" $?

resources=$("$windres" -J coff -O rc -i "$exe" 2>/dev/null)
has() { printf '%s\n' "$resources" | grep -q -F -e "$1"; }
has '1 24 /* RT_MANIFEST */'; check "application manifest resource" $?
has 'level=""asInvoker""' && has 'uiAccess=""false""'; check "manifest runs asInvoker, without uiAccess" $?
missing=""
for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
          4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
          8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  has "{$os}" || missing="$missing $os"
done
[ -z "$missing" ]; check "manifest supports Vista, 7, 8, 8.1, 10/11" $? "missing$missing"
has 'VALUE "ProductName", "runrelease"'; check "version resource names the product runrelease" $?
has "VALUE \"ProductVersion\", \"$version\"" && has "FILEVERSION $(echo "$version" | sed 's/\./, /g'), 0"
check "version resource says $version" $?

echo "$failures failed"
[ "$failures" -eq 0 ]
