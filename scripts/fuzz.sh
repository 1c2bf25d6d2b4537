#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time, seeded with the
# interop corpus. A crash leaves its input in build-fuzz/crashes/<target>/ and fails the run.
#   FUZZ_SECONDS=60 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET="${FUZZ_SECONDS:-60}"
CORPUS="${TW_CORPUS_DIR:-$(pwd)/tests/data/corpus}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTW_FUZZ=ON -DTW_GUI=OFF -DTW_TESTS=OFF -DTW_BENCH=OFF >/dev/null
# Targets and the corpus folders that seed them.
declare -A SEEDS=([xlsx_fuzzer]="xlsx broken" [xls_fuzzer]="xls broken" [csv_fuzzer]="csv"
    [html_fuzzer]="html")
status=0
for target in "${!SEEDS[@]}"; do
    cmake --build build-fuzz --target "$target" -j2
    seed="build-fuzz/seeds/$target"
    crashes="build-fuzz/crashes/$target"
    mkdir -p "$seed" "$crashes"
    for sub in ${SEEDS[$target]}; do
        [ -d "$CORPUS/$sub" ] && cp -f "$CORPUS/$sub"/* "$seed"/ 2>/dev/null || true
    done
    echo "== $target: ${SECONDS_PER_TARGET}s"
    dict=()
    [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
    if ! "build-fuzz/tests/fuzz/$target" "$seed" "${dict[@]}" -max_total_time="$SECONDS_PER_TARGET" \
        -timeout=20 -rss_limit_mb=2048 -max_len=1048576 -artifact_prefix="$crashes/" \
        -print_final_stats=1 2>"build-fuzz/$target.log"; then
        echo "$target found a problem; see build-fuzz/$target.log and $crashes/" >&2
        tail -40 "build-fuzz/$target.log" >&2
        status=1
    else
        grep -E "stat::number_of_executed_units|cov:" "build-fuzz/$target.log" | tail -2
    fi
done
exit $status
