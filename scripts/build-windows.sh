#!/usr/bin/env bash
# Cross-builds dorvalex.exe and its Windows tests into build-windows/ (or $BUILD_DIR) with
# MinGW-w64. GoogleTest for the target is built once from Debian's source package
# (/usr/src/googletest) into the build folder and reused by later builds.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-windows}
[[ $build_dir == /* ]] || build_dir=$PWD/$build_dir
toolchain=$PWD/cmake/toolchain-mingw-w64.cmake
gtest_prefix=$build_dir/googletest
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build_dir/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
  cmake --build "$build_dir/googletest-build" -j2
  cmake --install "$build_dir/googletest-build" >/dev/null
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" -DDX_BENCH=OFF "$@" >/dev/null
cmake --build "$build_dir" -j2
