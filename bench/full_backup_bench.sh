#!/bin/sh
# Times the full backup of a large store and, as a yardstick, a plain SQL dump of the same file
# in the same run: elapsed time, values per second and peak memory of each.
#   bench/full_backup_bench.sh BUILD_DIR [FANOUT] [WORK_DIR]
# FANOUT 100 (the default) makes 1,010,101 keys and 5,000,000 values; the store is built once
# and kept in WORK_DIR (default /tmp/dx-full-backup-bench) for later runs.
set -eu
build=${1:?build folder}
fanout=${2:-100}
work=${3:-/tmp/dx-full-backup-bench}
store=$work/store-$fanout.db
mkdir -p "$work"
if [ ! -f "$store" ]; then
  echo "building $store ..."
  /usr/bin/time -f "built in %e s" "$build/bench/full_backup_bench" "$store" "$fanout"
fi
values=$((fanout * fanout * fanout * 5))

measure() {  # label, command...: prints elapsed seconds and peak resident memory
  label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@"
  read -r seconds kilobytes < "$work/time.txt"
  rate=$(awk -v v="$values" -v s="$seconds" 'BEGIN { printf "%.0f", (s > 0) ? v / s : 0 }')
  printf '%-22s %8s s  %10s values/s  peak %7s KiB\n' "$label" "$seconds" "$rate" "$kilobytes"
}

cd "$work"
rm -f HKLM_backup.reg HKU_backup.reg
export DORVALEX_REGISTRY="$store"
measure "dorvalex /REGBACKUP" sh -c "\"$build/dorvalex\" /REGBACKUP /OVERWRITE > backup-output.txt"
tail -c 23 backup-output.txt | tr -d '\b'
echo "HKLM_backup.reg: $(wc -c < HKLM_backup.reg) bytes"
measure "sqlite3 .dump" sh -c "sqlite3 \"$store\" .dump > /dev/null"
