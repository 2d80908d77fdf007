#!/usr/bin/env bash
# Builds Tarvik Setup Converter and starts it (`run`) or runs every test (`test`).
# Installs the Debian/Ubuntu packages it needs first, when it can.
#
# Environment:
#   TARVIK_QT=5|6     Qt major version to build with (default 5)
#   BUILD_DIR=DIR     build folder (default build-qt5 or build-qt6; build-asan-qt5 or
#                     build-asan-qt6 with TARVIK_SANITIZE=1)
#   TARVIK_WERROR=1   treat compiler warnings as errors
#   TARVIK_SANITIZE=1 build with AddressSanitizer and UndefinedBehaviorSanitizer;
#                     any report stops the program and fails its test
#   TARVIK_SANITIZE=thread  build with ThreadSanitizer and run the command-line
#                     test, whose batches convert on several threads
set -euo pipefail
cd "$(dirname "$0")"

action=${1:-}
case $action in
    run|test) ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

qt=${TARVIK_QT:-5}
sanitize=${TARVIK_SANITIZE:-0}
if [ "$sanitize" = 1 ]; then
    build=${BUILD_DIR:-build-asan-qt$qt}
elif [ "$sanitize" = thread ]; then
    build=${BUILD_DIR:-build-tsan-qt$qt}
else
    build=${BUILD_DIR:-build-qt$qt}
fi
case $qt in
    5) packages=(cmake make g++ qtbase5-dev qtbase5-dev-tools) ;;
    6) packages=(cmake make g++ qt6-base-dev qt6-base-dev-tools) ;;
    *) echo "TARVIK_QT must be 5 or 6" >&2; exit 2 ;;
esac
# The command-line tool's test makes system calls fail through strace, as a dying disk would.
[ "$action" = test ] && packages+=(strace)

install_missing() {
    if ! command -v dpkg-query >/dev/null; then
        echo "Not a Debian system: make sure CMake, a C++17 compiler and Qt $qt (Core, Widgets, Test) are installed."
        return
    fi
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null; then
            sudo=(sudo)
        else
            echo "Please install: ${missing[*]}" >&2
            exit 1
        fi
    fi
    echo "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing
werror=OFF
[ "${TARVIK_WERROR:-0}" = 1 ] && werror=ON
sanitizer_options=()
if [ "$sanitize" = 1 ]; then
    flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    sanitizer_options=(-DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags")
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_stack_use_after_return=1:strict_string_checks=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
elif [ "$sanitize" = thread ]; then
    flags="-fsanitize=thread"
    sanitizer_options=(-DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags")
    # Qt itself is not built with ThreadSanitizer: the suppressions name what it
    # cannot see into in Qt Test's own watchdog thread.
    export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:suppressions=$PWD/tests/tsan-qt.supp}
fi
cmake -S . -B "$build" -DTARVIK_QT_MAJOR="$qt" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" \
    "${sanitizer_options[@]}"
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"

if [ "$action" = test ] && [ "$sanitize" = thread ]; then
    ctest --test-dir "$build" --output-on-failure -R tst_cli
elif [ "$action" = test ] && [ "$sanitize" = 1 ]; then
    # The disks and the desktop run the same programs as without a sanitizer, in User-mode Linux
    # and under a real X server, where the sanitizers' memory does not fit.
    ctest --test-dir "$build" --output-on-failure -E '^(disks|desktop)$'
elif [ "$action" = test ]; then
    ctest --test-dir "$build" --output-on-failure
else
    exec "$build/app/tarvik-setup-converter"
fi
