#!/usr/bin/env bash
# Builds the Debian package dorvalex_<version>_amd64.deb into build-package/ (or $BUILD_DIR)
# with Debian's hardening flags (installing what it needs first), then checks it with lintian.
# Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-package}
scripts/install-deps.sh --package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDX_BENCH=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
# Only what the package holds; the tests are built by scripts/test.sh.
cmake --build "$build_dir" --target dorvalex dorvalex-agent dx_docs
# CPack strips symbols; the compiler's .comment section goes too, as Debian's own builds do.
objcopy --remove-section=.comment "$build_dir/dorvalex"
objcopy --remove-section=.comment "$build_dir/dorvalex-agent"
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/dorvalex_*_amd64.deb)
# Any warning fails the build as an error does; the informational tags are shown too.
lintian --info --fail-on error,warning "$deb" >&2
echo "$deb"
