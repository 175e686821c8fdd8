#!/bin/sh
# The Windows build on a Wine prefix, end to end: a REGEDIT4 script changes a value that Wine's
# own `reg add` made and adds another; Wine's `reg query` sees both; the backout file (CR LF,
# written through a Z:\ path) puts the first back and removes the second; `reg query` agrees.
# Usage: wine_roundtrip.sh BUILD_DIR (the prefix is $WINEPREFIX, made by scripts/wine-prefix.sh).
set -eu
build=$(cd "$1" && pwd)
run="$(cd "$(dirname "$0")/.." && pwd)/scripts/wine-run.sh"
work=$(mktemp -d "$build/roundtrip-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
key='HKCU\Software\DorvalexRoundTrip'
fail() { echo "FAIL: $*" >&2; exit 1; }
query() { "$run" reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | grep -i "^ *$1 " || true; }

"$run" reg delete "$key" /f >/dev/null 2>&1 || true
"$run" reg add "$key" /v Greeting /t REG_SZ /d before /f >/dev/null
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\DorvalexRoundTrip]\r\n"Greeting"="after"\r\n"Count"=dword:0000002a\r\n' >tweak.reg

z_undo="Z:$(echo "$work/undo.txt" | tr / '\\')"
"$run" "$build/dorvalex.exe" /REG:tweak.reg "/BACKUP:$z_undo" /VERBOSE >apply.out ||
  fail "apply exited $?: $(cat apply.out)"
grep -q "tweak.reg was applied." apply.out || fail "no completion line: $(cat apply.out)"
query Greeting | grep -q 'REG_SZ *after$' || fail "Greeting not changed: $(query Greeting)"
query Count | grep -q 'REG_DWORD *0x2a$' || fail "Count not added: $(query Count)"
[ -f undo.txt ] || fail "no backout file"
grep -q "$(printf 'DORVALEX\r')" undo.txt || fail "backout file lines do not end in CR LF"
grep -q '"Greeting"="before"' undo.txt || fail "backout file lacks the old value: $(cat undo.txt)"

"$run" "$build/dorvalex.exe" /REG:undo.txt >undo.out || fail "undo exited $?: $(cat undo.out)"
query Greeting | grep -q 'REG_SZ *before$' || fail "Greeting not restored: $(query Greeting)"
[ -z "$(query Count)" ] || fail "Count still there: $(query Count)"
"$run" reg delete "$key" /f >/dev/null 2>&1 || true
echo "round trip passed"
