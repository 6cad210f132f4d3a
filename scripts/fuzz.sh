#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer (tests/fuzz) and runs each for a bounded time, from
# its seed corpus in the tree; new inputs go to build-fuzz/corpus, not into the tree.
#   scripts/fuzz.sh            a minute in all (continuous integration)
#   scripts/fuzz.sh 3600       an hour per target, by hand
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-}
if [ -z "$seconds" ]; then dac=20; replies=40; else dac=$seconds; replies=$seconds; fi

./scripts/setup.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKORVAL_WERROR=ON -DKORVAL_BUILD_FUZZ=ON \
    -DKORVAL_SANITIZE=address,undefined,fuzzer-no-link -DKORVAL_BUILD_TESTS=OFF -DKORVAL_BUILD_BENCH=OFF \
    -DKORVAL_BUILD_TOOL=OFF ${CMAKE_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_LAUNCHER} > /dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_dac_cal_file fuzz_board_replies

run() {
    name=$1
    time=$2
    mkdir -p "build-fuzz/corpus/$name"
    echo "fuzzing $name for ${time}s"
    ASAN_OPTIONS=detect_leaks=1 "build-fuzz/tests/fuzz/fuzz_$name" -max_total_time="$time" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "build-fuzz/corpus/$name" "tests/fuzz/corpus/$name" 2>&1 |
        grep -E "^(#[0-9]+ +DONE|INFO: (Running|Loaded)|==[0-9]+==|stat::number_of_executed_units|SUMMARY)" || true
    # libFuzzer exits non-zero on a finding; the pipe above hides that, so look again at what it left.
    if ls crash-* leak-* timeout-* oom-* > /dev/null 2>&1; then
        echo "fuzz_$name found a failing input:"; ls crash-* leak-* timeout-* oom-* 2>/dev/null
        exit 1
    fi
}
run dac_cal_file "$dac"
run board_replies "$replies"
