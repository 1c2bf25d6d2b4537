#!/usr/bin/env bash
# Builds the Debian package from build/ (configured as scripts/build.sh does, reused when it is
# already there) and prints its path:
#   bash scripts/package.sh
#   sudo apt-get install ./build/package/tablaweaver_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_WERROR=ON
fi
# cpack installs what is built; it builds nothing itself.
cmake --build build --target tablaweaver tw_install_docs
rm -f build/package/tablaweaver_*.deb
(cd build && cpack -G DEB -B package >/dev/null)
ls "$(pwd)"/build/package/tablaweaver_*.deb
