#!/bin/bash
# dorvalex.exe from the outside, under Wine: console text (CR LF), exit codes, backout and
# backup files, and the prefix's registry as Wine's own `reg` and `regedit` see it.
# Wine is a stand-in for Windows: its message texts and version numbers are never pinned here,
# and it lists values sorted by name, so exports compare equal whatever order values come
# back in. Usage: wine_blackbox.sh BUILD_DIR (the prefix is $WINEPREFIX).
set -u
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
run="$source_dir/scripts/wine-run.sh"
work=$(mktemp -d "$build/blackbox-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL [$case]: $*" >&2; failures=$((failures + 1)); }

# Runs the tool with the given arguments: `out` holds its output without CRs, `code` its exit
# code. Every line it prints must end in CR LF.
dx() {
  "$run" "$build/dorvalex.exe" "$@" </dev/null >raw.out 2>err.out
  code=$?
  tr -d '\r' <raw.out >out
  [ "$(grep -c $'\r$' raw.out)" = "$(grep -c '' raw.out)" ] || fail "a line does not end in CR LF"
  [ -s err.out ] && fail "standard error: $(cat err.out)"
}
expect() {  # expect CODE TEXT: the exit code and the output after the banner
  [ "$code" = "$1" ] || fail "exit code $code, not $1"
  [ "$(tail -n +4 out)" = "$2" ] || fail "output:
$(cat out)
--- expected after the banner:
$2"
}
# A key as Wine's regedit exports it (UTF-8), or nothing when it is not there.
export_key() {
  rm -f export.reg
  "$run" regedit /E export.reg "$1" >/dev/null 2>&1
  # One line per value: continuation lines joined.
  [ -f export.reg ] && iconv -f UTF-16 -t UTF-8 export.reg | tr -d '\r' |
    sed -e ':a' -e '/\\$/N; s/\\\n *//; ta'
}
crlf() { printf '%s' "$1" | sed 's/$/\r/'; }

case="usage on an NT system names the remote machine"
dx
banner=$(sed -n 3p out)
echo "$banner" | grep -Eq '^         Running on Windows NT [A-Za-z]* ?[0-9]+\.[0-9]+ .* \(Build [0-9]+\)$' ||
  fail "banner line: $banner"
[ "$code" = 1 ] || fail "exit code $code"
grep -q '^         \[/NOREVERSE\] \[/MACHINE:"Computer Name"\]$' out || fail "no /MACHINE: in usage"
grep -q '^ /MACHINE:  - Applies Registry file to remote machine named$' out || fail "no /MACHINE: line"
sed -n 2p out | grep -q '^DORVALEX Version' || fail "banner: $(head -3 out)"

case="a script and its backout file undo each other exactly"
"$run" reg add 'HKLM\Software\Dorvalex Example\Settings' /v Retries /t REG_DWORD /d 7 /f >/dev/null
"$run" reg add 'HKLM\Software\Dorvalex Example\Settings' /v Servers /t REG_MULTI_SZ /d 'x\0beta' /f >/dev/null
before=$(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example')
[ -n "$before" ] || fail "reg add made nothing"
cp "$source_dir/examples/example.txt" "$source_dir/examples/example-regedit4.reg" .
dx /REG:example.txt /BACKUP:undo1.txt
expect 0 "example.txt was applied."
dx '/REG:.\example-regedit4.reg' "/BACKUP:Z:$(echo "$work" | tr / '\\')\\undo2.txt" /VERBOSE
[ "$code" = 0 ] || fail "regedit4 script: $(cat out)"
after=$(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example')
echo "$after" | grep -qx '"Servers"=hex(7):6f,00,6d,00,65,00,67,00,61,00,00,00,61,00,6c,00,70,00,68,00,61,00,00,00,62,00,72,00,61,00,76,00,6f,00,00,00,64,00,65,00,6c,00,74,00,61,00,00,00,00,00' ||
  fail "Servers is not omega, alpha, bravo, delta: $(echo "$after" | grep Servers)"
echo "$after" | grep -qx '"Retries"=dword:00000003' || fail "Retries not set"
echo "$after" | grep -qx '"Name"="A string with a \\\\ backslash"' || fail "Name not imported"
echo "$after" | grep -q 'Obsolete' && fail "Obsolete not deleted"
head -c 10 undo1.txt | grep -q $'^DORVALEX\r$' || fail "backout file does not start with DORVALEX CR LF"
dx /REG:undo2.txt
[ "$code" = 0 ] || fail "undo2: $(cat out)"
dx /REG:undo1.txt
[ "$code" = 0 ] || fail "undo1: $(cat out)"
[ "$(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example')" = "$before" ] ||
  fail "not restored: $(diff <(echo "$before") <(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example'))"
"$run" reg delete 'HKLM\Software\Dorvalex Example' /f >/dev/null 2>&1

case="an export of Wine's regedit (version 5, UTF-16LE) applies and undoes"
"$run" "$build/dorvalex.exe" /REG:example.txt >/dev/null 2>&1
"$run" "$build/dorvalex.exe" /REG:example-regedit4.reg >/dev/null 2>&1
before=$(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example')
cp export.reg wine-export.reg
"$run" reg delete 'HKLM\Software\Dorvalex Example' /f >/dev/null 2>&1
dx /REG:wine-export.reg /BACKUP:undo7.txt
expect 0 "wine-export.reg was applied."
[ "$(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example')" = "$before" ] ||
  fail "import differs: $(diff <(echo "$before") <(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example'))"
dx /REG:undo7.txt
[ -z "$(export_key 'HKEY_LOCAL_MACHINE\Software\Dorvalex Example')" ] || fail "not undone"

case="a deleted key comes back with its values"
crlf 'DORVALEX
UPDATE:[HKCU\Software\DxThree]
UPDATE:"a"="1"
UPDATE:"b"=Dword:00000002
UPDATE:"c"=hex:03' >seed.txt
dx /REG:seed.txt
before=$(export_key 'HKEY_CURRENT_USER\Software\DxThree')
printf 'DORVALEX\nDELETE:[HKCU\\Software\\DxThree]\n' >delete.txt
dx /REG:delete.txt /BACKUP:undo3.txt
expect 0 "delete.txt was applied."
[ -z "$(export_key 'HKEY_CURRENT_USER\Software\DxThree')" ] || fail "key not deleted"
dx /REG:undo3.txt
[ "$(export_key 'HKEY_CURRENT_USER\Software\DxThree')" = "$before" ] || fail "values not back"

case="no-action run writes the backout file and changes nothing"
printf 'DORVALEX\nUPDATE:[HKCU\\Software\\DxNone]\nUPDATE:"v"="x"\n' >none.txt
dx /REG:none.txt /BACKUP:undo4.txt /NOACTION
expect 0 "none.txt was applied."
[ -z "$(export_key 'HKEY_CURRENT_USER\Software\DxNone')" ] || fail "a key was created"
[ "$(tr -d '\r' <undo4.txt)" = "DORVALEX

DELETE:[HKCU\Software\DxNone]" ] || fail "backout: $(cat undo4.txt)"

case="refusals: an existing backout file, the script itself by another spelling"
echo precious >kept.txt
dx /REG:none.txt /BACKUP:kept.txt
expect 1 "***ERROR : Backout file already exists and /OVERWRITE was not specified"
[ "$(cat kept.txt)" = precious ] || fail "kept.txt changed"
dx /REG:none.txt /BACKUP:kept.txt /OVERWRITE /NOACTION  # a new file takes the old one's place
expect 0 "none.txt was applied."
[ "$(tr -d '\r' <kept.txt | head -3 | tail -1)" = 'DELETE:[HKCU\Software\DxNone]' ] ||
  fail "overwritten backout: $(cat kept.txt)"
z_none="Z:$(echo "$work" | tr / '\\')\\NONE.TXT"
dx /REG:none.txt "/BACKUP:$z_none" /OVERWRITE
[ "$code" = 1 ] && grep -qF "***ERROR : Backout File \"$z_none\" is the Registry Input File" out ||
  fail "script not protected: $(cat out)"
[ "$(head -1 none.txt)" = DORVALEX ] || fail "script changed"

case="registry and file errors carry the system's text"
printf 'DORVALEX\nUPDATE:[HKCU\\Software\\%0300d]\nUPDATE:"v"="x"\n' 0 >long.txt
dx /REG:long.txt
[ "$code" = 1 ] || fail "exit code $code"
sed -n 4,5p out | tr '\n' '|' | grep -Eq '^\*\*\*ERROR : Unable to Create Registry Key\|         : \([0-9]+\)[^|]+\|$' ||
  fail "no system text: $(cat out)"
dx /REG:absent.txt
expect 1 '***ERROR : Unable to open Registry Input File: "absent.txt"'

case="other machines are reached through the system's remote registry"
printf 'DORVALEX\nUPDATE:[HKLM\\Software\\DxRemote]\nUPDATE:"v"="x"\n' >machine.txt
dx /REG:machine.txt '/MACHINE:NOSUCHMACHINE'
[ "$code" = 1 ] || fail "exit code $code"
sed -n 4,5p out | tr '\n' '|' | grep -Eq '^\*\*\*ERROR : Could not connect to remote registry\|         : \([0-9]+\)[^|]+\|$' ||
  fail "no connect error: $(cat out)"
printf 'DORVALEX\nUPDATE:[HKCU\\Software\\DxRemote]\nUPDATE:"v"="x"\n' >remote.txt
dx /REG:remote.txt /MACHINE:OTHER
expect 1 "***ERROR : HKEY_CURRENT_USER cannot be opened on a remote machine
***ERROR : Fatal Error - Program Exit"

case="names beyond ASCII are UTF-8 in scripts and files, UTF-16 in the registry"
printf 'DORVALEX\nDELETE:[HKCU\\Software\\Gr\xc3\xbc\xc3\x9fe]\n' >clean.txt
dx /REG:clean.txt
printf 'DORVALEX\nUPDATE:[HKCU\\Software\\Gr\xc3\xbc\xc3\x9fe]\nUPDATE:"Stra\xc3\x9fe"="M\xc3\xbcnchen"\n' >utf8.txt
dx /REG:utf8.txt /BACKUP:undo5.txt
[ "$code" = 0 ] || fail "exit code $code: $(cat out)"
export_key 'HKEY_CURRENT_USER\Software\Grüße' | grep -qx '"Straße"="München"' ||
  fail "not in the registry as UTF-16: $(export_key 'HKEY_CURRENT_USER\Software\Grüße')"
grep -q 'DELETE:\[HKCU\\Software\\Grüße\]' undo5.txt || fail "backout: $(cat undo5.txt)"
dx /REG:undo5.txt
[ -z "$(export_key 'HKEY_CURRENT_USER\Software\Grüße')" ] || fail "not undone"

case="a killed run leaves no change without its record"
printf 'DORVALEX\nUPDATE:[HKCU\\Software\\DxKilled]\n' >killed-seed.txt
dx /REG:killed-seed.txt
{ printf 'DORVALEX\r\nUPDATE:[HKCU\\Software\\DxKilled]\r\n'
  for i in $(seq 1 50000); do printf 'UPDATE:"v%05d"=Dword:%08x\r\n' "$i" "$i"; done; } >killed.txt
WINEPREFIX=$WINEPREFIX WINEDEBUG=-all "$run" "$build/dorvalex.exe" /REG:killed.txt /BACKUP:undo6.txt \
  </dev/null >/dev/null 2>&1 &
sleep 1.5
kill -KILL $! 2>/dev/null
wait $! 2>/dev/null
set_values=$(export_key 'HKEY_CURRENT_USER\Software\DxKilled' | grep -o '^"v[0-9]*"' | tr -d '"')
recorded=$(tr -d '\r' <undo6.txt | grep -o '^DELETE:"v[0-9]*"=$' | cut -d'"' -f2)
missing=$(comm -23 <(echo "$set_values" | sort) <(echo "$recorded" | sort))
[ -z "$missing" ] || fail "values without a record: $(echo $missing | head -c 200)"
echo "killed after $(echo "$set_values" | grep -c v) of 50000 values"
dx /REG:undo6.txt
[ -z "$(export_key 'HKEY_CURRENT_USER\Software\DxKilled' | grep '^"v')" ] || fail "undo left values"

case="full backup of HKLM and HKU"
dx /REGBACKUP
[ "$code" = 0 ] || fail "exit code $code"
for f in HKLM_backup.reg HKU_backup.reg; do
  head -c 10 "$f" | grep -q $'^DORVALEX\r$' || fail "$f does not start with DORVALEX CR LF"
done
grep -qi $'^UPDATE:\\[HKEY_USERS\\\\.DEFAULT\\]\r$' HKU_backup.reg || fail "no HKU\\.DEFAULT"
grep -q $'^UPDATE:\\[HKEY_LOCAL_MACHINE\\\\Software\\]\r$' HKLM_backup.reg || fail "no HKLM\\Software"
dx /REGBACKUP
expect 1 "***ERROR : HKLM_backup.reg exists, and /OVERWRITE was not specified"

[ "$failures" = 0 ] || exit 1
echo "black-box cases passed"
