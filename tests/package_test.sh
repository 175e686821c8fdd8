#!/bin/bash
# The Debian package from the outside: made with CPack from BUILD_DIR, installed with dpkg into a
# scratch root (the machine's own packages are never touched), the tool run from PATH against a
# scratch store and its backout undoing the run, both manual pages rendered with man -l, the
# package removed again. Exits 77 (skipped) without root or without dpkg, cpack or man.
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "needs root for dpkg: skipped"; exit 77; }
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack man; do
  command -v $tool >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
work=$(mktemp -d /tmp/dx-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/dorvalex_*_amd64.deb)
version=$("$build/dorvalex" --version | cut -d' ' -f2)
[ "$(basename "$deb")" = "dorvalex_${version}_amd64.deb" ] || fail "package name $deb for $version"
fields=$(dpkg-deb -f "$deb" Depends Suggests)
for want in libsqlite3-0 openssh-client 'Suggests: openssh-server'; do
  grep -q "$want" <<<"$fields" || fail "$want missing in: $fields"
done
# Every dependency is a package this machine has, so that dpkg -i here would succeed.
for dep in $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/ //g'); do
  dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q 'install ok installed' ||
    fail "dependency $dep is not installed here"
done

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The scratch root holds only this package; its libraries come from the machine itself.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -i"; }
dpkg --root="$root" -L dorvalex | grep -qx /usr/share/doc/dorvalex/examples/example.txt ||
  fail "examples not installed"

export PATH="$root/usr/bin:$PATH" DORVALEX_REGISTRY="$work/store.db"
[ "$(command -v dorvalex)" = "$root/usr/bin/dorvalex" ] || fail "dorvalex is not on PATH"
cd "$work"
dump() { mkdir "$1" && (cd "$1" && dorvalex /REGBACKUP >/dev/null) || fail "dump $1"; }
dump before
dorvalex /REG:"$root/usr/share/doc/dorvalex/examples/example.txt" /BACKUP:undo.txt >run.log ||
  { cat run.log; fail "the installed tool did not apply the example"; }
dump after
dorvalex /REG:undo.txt >undo.log || { cat undo.log; fail "the backout"; }
dump undone
cmp -s before/HKLM_backup.reg after/HKLM_backup.reg && fail "the example changed nothing"
cmp before/HKLM_backup.reg undone/HKLM_backup.reg || fail "the backout did not undo the example"
dorvalex-agent --help | grep -q 'dorvalex /MACHINE:' || fail "dorvalex-agent --help"

for page in dorvalex dorvalex-agent; do
  file=$root/usr/share/man/man1/$page.1.gz
  text=$(MANWIDTH=80 man -l "$file" 2>"$work/man.err") || fail "man -l $page"
  [ -s "$work/man.err" ] && { cat "$work/man.err"; fail "man -l $page warned"; }
  grep -q "dorvalex $version" <<<"$text" || fail "$page names no version $version"
done
man -l "$root/usr/share/man/man1/dorvalex.1.gz" | grep -q DORVALEX_REMOTE_TIMEOUT ||
  fail "dorvalex(1) lacks the environment"

dpkg --root="$root" --force-script-chrootless -r dorvalex >>"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -r"; }
[ ! -e "$root/usr/bin/dorvalex" ] || fail "dorvalex left after removal"
echo "package: ok ($(basename "$deb"))"
