#!/usr/bin/env bash
# The whole test suite: formatting, the include order of the folders, the build with warnings
# as errors, every test (the window's under Xvfb), the Debian package built, installed, run
# and purged, then the Qt-free tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${TW_SKIP_DEPS:-}" != 1 ] && ! (command -v cmake && command -v qmake && command -v xvfb-run && command -v clang-format &&
    command -v man && command -v lintian && command -v xdotool && command -v xclip) >/dev/null 2>&1; then
    bash scripts/install-deps.sh
fi
echo "== formatting =="
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
echo "== layout (include graph between folders, file lengths) =="
/usr/bin/python3 scripts/check_layout.py
bash scripts/build.sh
(cd build && xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j2)

echo "== Debian package (build, install, run, purge) =="
bash scripts/test-package.sh

echo "== sanitizers (Qt-free tests) =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTW_WERROR=ON -DTW_GUI=OFF \
    -DTW_BENCH=OFF -DTW_SANITIZE=ON
cmake --build build-asan
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j2 -L qtfree)

if [ -x scripts/fuzz.sh ]; then
    echo "== fuzzers (bounded) =="
    bash scripts/fuzz.sh
fi
