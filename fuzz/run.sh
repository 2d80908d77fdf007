#!/usr/bin/env bash
# Builds the setup reader's fuzz target with clang (libFuzzer, ASan, UBSan) on Qt 5 and runs it
# for SECONDS (default 60; 0 until stopped); the README says where it keeps what.
# usage: [CXX=clang++] [BUILD_DIR=DIR] [CORPUS_DIR=DIR] fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${BUILD_DIR:-build-fuzz}
corpus=${CORPUS_DIR:-$build/corpus}
compiler=${CXX:-$(command -v clang++-14 || command -v clang++ || echo clang++)}

cmake -S . -B "$build" -DTARVIK_QT_MAJOR=5 -DTARVIK_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build" --target fuzz_setupreader --parallel "$(nproc 2>/dev/null || echo 2)"

mkdir -p "$corpus"
build=$(cd "$build" && pwd)
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# New inputs go to the first folder; the seeds are read from the second.
exec "$build/fuzz/fuzz_setupreader" "$corpus" fuzz/corpus \
    -dict=fuzz/hex.dict -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/"
