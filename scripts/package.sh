#!/bin/bash
# Builds the Debian package build-deb/tavrix_<version>_amd64.deb from a build
# configured for /usr (build-deb/, without tests), with cpack.
#   scripts/package.sh           make the package
#   scripts/package.sh --check   and check it (tests/package/check-deb.sh):
#                                contents, dependencies, RUNPATH, and the
#                                plug-in loaded from a clean root in QtWebKit
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) echo "package.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

build=${TAVRIX_DEB_BUILD_DIR:-build-deb}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRIX_BUILD_TESTS=OFF -DTAVRIX_BUILD_BENCH=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DTAVRIX_PLUGIN_INSTALL_DIR=/usr/lib/mozilla/plugins \
  -DTAVRIX_PROVIDER_INSTALL_DIR="/usr/lib/$multiarch/tavrix" >/dev/null
cmake --build "$build" -j2
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/tavrix_*_amd64.deb)
echo "package.sh: $deb"
if [ "$check" -eq 1 ]; then
  bash tests/package/check-deb.sh "$deb" "$build"
fi
