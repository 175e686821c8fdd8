#!/bin/bash
# The README's "Many machines" commands, taken from the README itself and run as written against
# three fake hosts and one unreachable host (tests/remote_rsh.sh gives each host a store of its
# own): every reachable host gets the change, each backout file undoes its own host, and the
# summary counts the unreachable host as failed.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: fleet_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d /tmp/dx-fleet-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }

# The first sh block after the README's marker "<!-- fleet: NAME".
block() {
  awk -v marker="<!-- fleet: $1" 'index($0, marker) == 1 { found = 1; next }
       found && /^```sh$/ { inside = 1; next } inside && /^```$/ { exit } inside { print }' \
    "$src/README.md"
}
block apply >apply.sh
block undo >undo.sh
[ -s apply.sh ] && [ -s undo.sh ] || fail "the README's fleet blocks are missing"

export PATH="$build:$PATH" DX_BUILD_DIR=$build DX_REMOTE_STORE_DIR=$work/hosts
export DORVALEX_RSH=$src/tests/remote_rsh.sh DORVALEX_AGENT=dorvalex-agent
mkdir hosts
dump() {  # HOST FOLDER: the host's store as the full backup writes it
  mkdir -p "$2" && (cd "$2" && DORVALEX_REGISTRY=$work/hosts/$1.db dorvalex /REGBACKUP >/dev/null)
}
for host in alpha beta gamma; do
  printf 'DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Fleet]\nUPDATE:"Name"="%s before"\n' $host >seed.txt
  DORVALEX_REGISTRY=$work/hosts/$host.db dorvalex /REG:seed.txt >/dev/null || fail "seeding $host"
  dump $host start-$host
done
printf 'alpha\nbeta\ndown\ngamma\n' >hosts.txt
printf 'DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Fleet]\nUPDATE:"Name"="after"\nUPDATE:"Added"=Dword:00000001\n' >change.txt

summary=$(bash -e apply.sh) && fail "an unreachable host did not fail the summary"
run=$(ls -d runs/*)
[ "$(cat "$run/status.txt")" = "$(printf '0 alpha\n0 beta\n1 down\n0 gamma')" ] ||
  fail "status: $(cat "$run/status.txt")"
[ "$summary" = "$(printf 'failed: down (exit 1, see its log)\n3 hosts done, 1 failed')" ] ||
  fail "summary: $summary"
grep -q '(53)' "$run/down.log" || fail "the unreachable host's log: $(cat "$run/down.log")"
for host in alpha beta gamma; do
  dump $host after-$host
  grep -q '"Name"="after"' after-$host/HKLM_backup.reg || fail "$host did not change"
  grep -q "$host before" "$run/undo-$host.txt" || fail "$host's backout lacks its old value"
done

export run
bash -e undo.sh
# The unreachable host's backout file holds no record, so undoing it needs no connection.
[ "$(cut -d' ' -f1 "$run/undo-status.txt" | tr -d '\n')" = 0000 ] ||
  fail "undo status: $(cat "$run/undo-status.txt")"
for host in alpha beta gamma; do
  dump $host undone-$host
  cmp start-$host/HKLM_backup.reg undone-$host/HKLM_backup.reg || fail "$host was not restored"
done
echo "fleet: ok"
