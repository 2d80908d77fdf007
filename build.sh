#!/usr/bin/env bash
# Builds Tarvik Setup Converter and starts it (`run`) or runs every test (`test`).
# Installs the Debian/Ubuntu packages it needs first, when it can.
#
# Environment:
#   TARVIK_QT=5|6     Qt major version to build with (default 5)
#   BUILD_DIR=DIR     build folder (default build-qt5 or build-qt6)
#   TARVIK_WERROR=1   treat compiler warnings as errors
set -euo pipefail
cd "$(dirname "$0")"

action=${1:-}
case $action in
    run|test) ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

qt=${TARVIK_QT:-5}
build=${BUILD_DIR:-build-qt$qt}
case $qt in
    5) packages=(cmake make g++ qtbase5-dev qtbase5-dev-tools) ;;
    6) packages=(cmake make g++ qt6-base-dev qt6-base-dev-tools) ;;
    *) echo "TARVIK_QT must be 5 or 6" >&2; exit 2 ;;
esac

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
cmake -S . -B "$build" -DTARVIK_QT_MAJOR="$qt" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror"
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"

if [ "$action" = test ]; then
    ctest --test-dir "$build" --output-on-failure
else
    exec "$build/app/tarvik-setup-converter"
fi
