#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer (tests/fuzz) and runs each for a bounded time, from
# its seed corpus in the tree; new inputs go to build-fuzz/corpus, not into the tree.
#   scripts/fuzz.sh            a minute in all (continuous integration)
#   scripts/fuzz.sh 3600       an hour per target, by hand
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-}
if [ -z "$seconds" ]; then dac=15; adc=10; replies=35; else dac=$seconds; adc=$seconds; replies=$seconds; fi

./scripts/setup.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKORVAL_WERROR=ON -DKORVAL_BUILD_FUZZ=ON \
    -DKORVAL_SANITIZE=address,undefined,fuzzer-no-link -DKORVAL_BUILD_TESTS=OFF -DKORVAL_BUILD_BENCH=OFF \
    -DKORVAL_BUILD_TOOL=OFF ${CMAKE_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_LAUNCHER} > /dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_dac_cal_file fuzz_adc_cal_file fuzz_board_replies

run() {
    name=$1
    seconds=$2
    mkdir -p "build-fuzz/corpus/$name" build-fuzz/findings
    echo "fuzzing $name for ${seconds}s"
    status=0
    ASAN_OPTIONS=detect_leaks=1 "build-fuzz/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$name-" \
        "build-fuzz/corpus/$name" "tests/fuzz/corpus/$name" > "build-fuzz/$name.log" 2>&1 || status=$?
    grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units)" "build-fuzz/$name.log" || true
    if [ "$status" -ne 0 ]; then
        # A crash, leak, time-out or memory blow-up: the report, and the input in build-fuzz/findings.
        tail -n 60 "build-fuzz/$name.log"
        exit 1
    fi
}
run dac_cal_file "$dac"
run adc_cal_file "$adc"
run board_replies "$replies"
