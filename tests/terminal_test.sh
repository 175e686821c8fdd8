#!/bin/bash
# What a person at a terminal sees, from the outside: a long run draws its progress line on
# standard error when that is a terminal (a pseudo-terminal made by util-linux's script) and
# erases it at the end, standard output staying byte for byte what it is without a terminal;
# without a terminal nothing goes to standard error; a run that waits for another run's lock
# on the store says so, naming the holder. Exits 77 (skipped) without script or flock.
set -euo pipefail
build=$(cd "${1:?usage: terminal_test.sh BUILD_DIR}" && pwd)
for tool in script flock; do
  command -v $tool >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
work=$(mktemp -d /tmp/dx-terminal-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }
tool=$build/dorvalex

# Long enough to take a second or so: 600 keys of 1000 values.
awk 'BEGIN { print "REGEDIT4"; for (k = 0; k < 600; k++) { print ""; print "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\K" k "]";
       for (v = 0; v < 1000; v++) print "\"v" v "\"=\"value " v "\"" } }' >big.reg

DORVALEX_REGISTRY=$work/plain.db "$tool" /REG:big.reg /BACKUP:plain-undo.txt >plain.out 2>plain.err ||
  fail "the run without a terminal"
[ -s plain.err ] && fail "standard error without a terminal: $(head -c 200 plain.err)"

DORVALEX_REGISTRY=$work/tty.db script -qec "'$tool' /REG:big.reg /BACKUP:tty-undo.txt >tty.out" \
  /dev/null </dev/null >tty.screen || fail "the run on a terminal"
cmp plain.out tty.out || fail "standard output differs on a terminal"
cmp plain-undo.txt tty-undo.txt || fail "the backout file differs on a terminal"
screen=$(tr '\r' '\n' <tty.screen)
grep -qE "^.\[K$work/tty.db  [0-9]+ lines  [0-9]+%  [0-9]+ lines/s  0:[0-9][0-9]\$" <<<"$screen" ||
  fail "no progress line: $(head -c 300 tty.screen | cat -v)"
# Erased at the end: the last thing on the terminal is the erase sequence, after the last line.
tail -c 4 tty.screen | cmp -s - <(printf '\r\033[K') || fail "the progress line stays: $(tail -c 100 tty.screen | cat -v)"
draws=$(grep -c 'lines/s' <<<"$screen")
[ "$draws" -ge 2 ] || fail "only $draws progress updates"

# A second run waits for the holder of the store's lock, and says so.
printf 'DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Waited]\nUPDATE:"a"="b"\n' >small.txt
flock plain.db.lock sleep 3 &
holder=$!
for try in $(seq 1 50); do flock -n plain.db.lock true || break; sleep 0.1; done
DORVALEX_REGISTRY=$work/plain.db DORVALEX_STORE_WAIT=30 "$tool" /REG:small.txt >wait.out 2>wait.err ||
  fail "the waiting run: $(cat wait.out)"
wait "$holder"
grep -qF "Waiting for Registry Store \"$work/plain.db\", in use by another run (process $holder: flock plain.db.lock sleep 3)" \
  wait.err || fail "no wait notice: $(cat wait.err)"
grep -qx 'small.txt was applied.' wait.out || fail "the waiting run did not apply"
echo "terminal: ok ($draws progress updates)"
