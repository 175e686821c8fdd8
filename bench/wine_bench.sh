#!/bin/bash
# The Windows build under Wine, timed (figures, not a test): a 100,000-line REGEDIT4 script
# applied with /BACKUP: to a fresh prefix, next to Wine's own `regedit /S` importing the same
# file into another fresh prefix, the same again over the keys both made, and the full backup
# (/REGBACKUP) of the first prefix.
# Usage: bench/wine_bench.sh [BUILD_DIR] (default build-windows; build it first with
# scripts/build-windows.sh). Works in a scratch folder under ${BENCH_DIR:-/tmp}, removed at the end.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build-windows}" && pwd)
lines=${BENCH_LINES:-100000}
work=$(mktemp -d "${BENCH_DIR:-/tmp}/dorvalex-wine-bench-XXXXXX")
prefixes=()
cleanup() {
  for p in "${prefixes[@]}"; do "$source_dir/scripts/wine-prefix.sh" stop "$p"; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# REGEDIT4: keys of 99 values each (strings, dwords and binary data), one line per value.
python3 - "$lines" >bench.reg <<'PY'
import sys
total = int(sys.argv[1])
out = ["REGEDIT4", ""]
key = 0
while len(out) < total:
    out.append("[HKEY_CURRENT_USER\\Software\\DorvalexBench\\Key%05d]" % key)
    for v in range(99):
        if len(out) >= total:
            break
        kind = v % 3
        if kind == 0:
            out.append('"String%02d"="value %d of key %d"' % (v, v, key))
        elif kind == 1:
            out.append('"Dword%02d"=dword:%08x' % (v, key * 100 + v))
        else:
            out.append('"Binary%02d"=hex:%02x,%02x,00,ff' % (v, v, key & 0xFF))
    key += 1
print("\r\n".join(out), end="\r\n")
PY
count=$(grep -c '' bench.reg)

fresh_prefix() {
  "$source_dir/scripts/wine-prefix.sh" start "$1"
  prefixes+=("$1")
}
seconds() { python3 -c "import time; print(time.monotonic())"; }
rate() { python3 -c "print(f'{$1 / ($3 - $2):,.0f}')"; }

fresh_prefix "$work/prefix-dorvalex"
start=$(seconds)
WINEPREFIX="$work/prefix-dorvalex" "$source_dir/scripts/wine-run.sh" "$build/dorvalex.exe" \
  /REG:bench.reg /BACKUP:undo.txt >apply.out || { cat apply.out; exit 1; }
end=$(seconds)
ours=$(rate "$count" "$start" "$end")
ours_s=$(python3 -c "print(f'{$end - $start:.2f}')")

fresh_prefix "$work/prefix-regedit"
start=$(seconds)
WINEPREFIX="$work/prefix-regedit" "$source_dir/scripts/wine-run.sh" regedit /S bench.reg
end=$(seconds)
theirs=$(rate "$count" "$start" "$end")
theirs_s=$(python3 -c "print(f'{$end - $start:.2f}')")

# The same file again over the keys it made: now every line's old value must be read first.
start=$(seconds)
WINEPREFIX="$work/prefix-dorvalex" "$source_dir/scripts/wine-run.sh" "$build/dorvalex.exe" \
  /REG:bench.reg /BACKUP:undo-again.txt >again.out || { cat again.out; exit 1; }
end=$(seconds)
ours_again_s=$(python3 -c "print(f'{$end - $start:.2f}')")
start=$(seconds)
WINEPREFIX="$work/prefix-regedit" "$source_dir/scripts/wine-run.sh" regedit /S bench.reg
end=$(seconds)
theirs_again_s=$(python3 -c "print(f'{$end - $start:.2f}')")

start=$(seconds)
WINEPREFIX="$work/prefix-dorvalex" "$source_dir/scripts/wine-run.sh" "$build/dorvalex.exe" \
  /REGBACKUP >backup.out || { cat backup.out; exit 1; }
end=$(seconds)
values=$(cat HKLM_backup.reg HKU_backup.reg | grep -c '^UPDATE:"\|^UPDATE:@' || true)
backup=$(rate "$values" "$start" "$end")
backup_s=$(python3 -c "print(f'{$end - $start:.2f}')")

echo "apply, $count lines with /BACKUP: into a fresh prefix: ${ours_s} s, $ours lines/s"
echo "wine regedit /S, same file into a fresh prefix:       ${theirs_s} s, $theirs lines/s"
python3 -c "print(f'ratio (dorvalex / regedit): {$theirs_s / $ours_s:.2f}')"
echo "again over the same keys: dorvalex ${ours_again_s} s, regedit ${theirs_again_s} s," \
  "ratio $(python3 -c "print(f'{$theirs_again_s / $ours_again_s:.2f}')")"
echo "full backup of that prefix, $values values:        ${backup_s} s, $backup values/s"
