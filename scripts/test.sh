#!/usr/bin/env bash
# Installs what is missing (scripts/install-deps.sh --test), builds, and runs every test: the
# unit and black-box tests, the Windows build's tests under Wine (DX_WINDOWS=0: left out), the
# Linux tests again under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzzers for
# a bounded time (DX_QUICK=1: leaves out the sanitizer and fuzzer rounds). Ends with one line
# "dorvalex: P passed, F failed" (skipped tests are counted on the line before it) and exits
# non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
passed=0 failed=0 skipped=0
failures=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# step NAME COMMAND...: a step that is not a test; its failure counts as one failed test.
step() {
  local name=$1
  shift
  "$@" && return 0
  failed=$((failed + 1))
  failures+=("$name")
  return 1
}

# ctest_round LABEL BUILD_DIR [VAR=VALUE...]: runs CTest there and adds up its results.
ctest_round() {
  local label=$1 dir=$2
  shift 2
  (cd "$dir" && env "$@" ctest --output-on-failure -j2) 2>&1 | tee "$log"
  local summary
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
    failures+=("$label: ctest gave no result")
    return
  fi
  local total fail skip
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  fail=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  skip=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$log")
  passed=$((passed + total - fail - skip))
  failed=$((failed + fail))
  skipped=$((skipped + skip))
  while read -r name; do
    failures+=("$label: $name")
  done < <(sed -n '/The following tests FAILED:/,$p' "$log" |
           sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \([^)]*\)$/\1/p')
}

if step "install dependencies" scripts/install-deps.sh --test &&
   step "build" scripts/build.sh; then
  ctest_round "tests" build
fi
# The Windows tests share one Wine prefix (one registry): CTest runs them one at a time.
if [ "${DX_WINDOWS:-1}" != 0 ] && step "windows build" scripts/build-windows.sh; then
  ctest_round "windows" build-windows
fi
if [ "${DX_QUICK:-0}" != 1 ]; then
  if step "sanitizer build" env BUILD_DIR=build-asan scripts/build.sh -DDX_SANITIZE=ON -DDX_BENCH=OFF; then
    ctest_round "sanitizers" build-asan ASAN_OPTIONS=detect_leaks=1
  fi
  step "fuzzers" scripts/fuzz.sh "${DX_FUZZ_SECONDS:-45}" && passed=$((passed + 1))
fi

echo
if ((${#failures[@]})); then
  printf 'failed: %s\n' "${failures[@]}"
fi
((skipped)) && echo "skipped: $skipped (a test that cannot run here says why in its output)"
echo "dorvalex: $passed passed, $failed failed"
((failed == 0))
