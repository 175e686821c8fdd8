#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds (45 by
# default); with four targets a run takes about four times that. A crash fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-45}
BUILD_DIR=build-fuzz CC=clang CXX=clang++ scripts/build.sh -DDX_FUZZ=ON -DDX_BENCH=OFF
for target in build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus" build-fuzz/artifacts
  seeds=fuzz/seeds/${name#fuzz_}
  [ -d "$seeds" ] || seeds=
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=0 -artifact_prefix="build-fuzz/artifacts/$name-" "$corpus" $seeds 2>&1 |
    tail -n 3
done
