#!/usr/bin/env bash
# Cross-builds Tarvik Setup Converter for 64-bit Windows on Debian 12 and runs it under Wine.
#
#   dist/windows/build.sh test      both programs and every test suite, warnings as errors, then
#                                   every suite under Wine, headless (Qt's offscreen platform)
#   dist/windows/build.sh package   the same build, then the ZIP (and the installer, with NSIS)
#                                   made by CPack and checked by check-package.sh in a fresh Wine
#
# Installs what it needs with apt-get (as root, or with sudo). Wine is not Windows: what passes
# here has still to be tried on Windows itself before a release.
#
# Exit status: 0 when all passed, 3 when the toolchain is damaged (nothing was built), else 1.
#
# Environment:
#   TARVIK_QT5_MINGW64=DIR  the toolchain: Qt 5 for mingw-w64 as qt5-mingw64.tar.xz, and
#                           mingw64-toolchain.cmake (default: ../shared/toolchains/qt5-mingw64
#                           beside the repository)
#   BUILD_DIR=DIR           build folder (default build-win64); the toolchain is unpacked into
#                           it, and the tests' Wine prefix is made there
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
cd "$source"

action=${1:-}
case $action in
    test|package) ;;
    *) echo "usage: $0 test|package" >&2; exit 2 ;;
esac
toolchain=$(realpath -m "${TARVIK_QT5_MINGW64:-$source/../shared/toolchains/qt5-mingw64}")
build=$(mkdir -p "${BUILD_DIR:-build-win64}" && cd "${BUILD_DIR:-build-win64}" && pwd)
fail() { echo "windows/build.sh: $*" >&2; exit 1; }
step() { echo "== $* ($(date +%T))"; }

[ -f "$toolchain/qt5-mingw64.tar.xz" ] && [ -f "$toolchain/mingw64-toolchain.cmake" ] \
    || fail "no toolchain in $toolchain: it needs qt5-mingw64.tar.xz and mingw64-toolchain.cmake; set TARVIK_QT5_MINGW64"

step "Debian packages"
packages=(cmake ninja-build python3 g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
          fonts-dejavu-core)
[ "$action" = package ] && packages+=(nsis unzip icoutils xvfb xauth xdotool x11-utils imagemagick fonts-wine)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Unpacked again only when the tarball changes.
qt=$build/qt5-mingw64
stamp=$(sha256sum "$toolchain/qt5-mingw64.tar.xz" | cut -d' ' -f1)
if [ "$(cat "$build/qt5-mingw64.unpacked" 2>/dev/null)" != "$stamp" ]; then
    step "Unpacking $toolchain/qt5-mingw64.tar.xz"
    rm -rf "$qt" "$build/qt5-mingw64.unpacked"
    tar -C "$build" -xJf "$toolchain/qt5-mingw64.tar.xz"
    [ -f "$qt/bin/Qt5Core.dll" ] || fail "$toolchain/qt5-mingw64.tar.xz holds no qt5-mingw64/bin/Qt5Core.dll"
    # A DLL cut short, or with bytes taken out, loads under neither Windows nor Wine: say so
    # here, not as a crash of every test.
    # Status 3 tells a caller (CI) that the toolchain, not the project, is at fault.
    if ! python3 "$source/dist/windows/check-pe.py" "$qt"/bin/*.dll "$qt"/plugins/*/*.dll; then
        echo "windows/build.sh: the toolchain in $toolchain is damaged: rebuild it with its build-qt5-mingw64.sh, and name the folder with the new tarball and mingw64-toolchain.cmake in TARVIK_QT5_MINGW64" >&2
        exit 3
    fi
    echo "$stamp" > "$build/qt5-mingw64.unpacked"
fi

step "Cross build in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain/mingw64-toolchain.cmake" \
    -DQT5_MINGW64_PREFIX="$qt" -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"

if [ "$action" = test ]; then
    # The tests find Qt and the compiler's runtime through WINEPATH instead of copies beside them.
    export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # Qt's offscreen platform draws with the fonts of this folder (Qt for Windows ships none).
    export WINEQT_QPA_FONTDIR=Z:/usr/share/fonts/truetype/dejavu
    windows_path() { echo "Z:${1//\//\\}"; }
    runtime_folder() { dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name="$1")"; }
    WINEPATH="$(windows_path "$qt/bin");$(windows_path "$(runtime_folder libstdc++-6.dll)")"
    export WINEPATH="$WINEPATH;$(windows_path "$(runtime_folder libwinpthread-1.dll)")"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        step "Wine prefix $WINEPREFIX"
        wineboot -i
    fi
    step "Every test under $(wine --version)"
    status=0
    ctest --test-dir "$build" --output-on-failure --timeout 600 || status=$?
    wineserver -k || true
    exit $status
fi

step "Packages"
exec "$source/dist/windows/check-package.sh" "$build"
