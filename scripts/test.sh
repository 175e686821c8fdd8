#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit and black-box tests, the
# Windows build's tests under Wine (unless DX_WINDOWS=0), then the same under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j2)
if [ "${DX_WINDOWS:-1}" != 0 ]; then
  # The tests share one Wine prefix (one registry), so they run one at a time.
  scripts/build-windows.sh
  (cd build-windows && ctest --output-on-failure)
fi
if [ "${DX_QUICK:-0}" != 1 ]; then
  BUILD_DIR=build-asan scripts/build.sh -DDX_SANITIZE=ON -DDX_BENCH=OFF
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j2)
  scripts/fuzz.sh "${DX_FUZZ_SECONDS:-45}"
fi
