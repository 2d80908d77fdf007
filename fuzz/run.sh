#!/usr/bin/env bash
# Builds the setup reader's fuzz target with clang (libFuzzer, ASan, UBSan) on Qt 5
# and runs it for a while, starting from the seed corpus kept in fuzz/corpus.
#
# usage: fuzz/run.sh [SECONDS]     (default 60; 0 runs until stopped)
#
# Environment:
#   CXX=COMPILER     clang++ to build with (default clang++-14, else clang++)
#   BUILD_DIR=DIR    build folder (default build-fuzz)
#   CORPUS_DIR=DIR   the growing corpus (default BUILD_DIR/corpus); fuzz/corpus is only read
#
# Any crash, sanitizer report, broken invariant or hang (over 10 s on one input)
# ends the run with a non-zero status and leaves the input as BUILD_DIR/crash-*,
# leak-*, timeout-* or oom-*; replay it with `BUILD_DIR/fuzz/fuzz_setupreader FILE`.
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
