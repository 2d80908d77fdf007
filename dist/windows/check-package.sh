#!/usr/bin/env bash
# Makes the Windows packages from a cross build folder with CPack and checks them in a fresh Wine
# prefix, where nothing but the package is found, as a user would meet them:
# - the ZIP holds both programs, the Qt DLLs and plugins and the compiler's runtime, each one whole,
#   and the programs carry their icon and version; unpacked into an empty folder, its
#   tarvik-convert.exe writes the known old setup's conversion byte for byte as the Linux build
#   does, with CR LF line ends (10,633 bytes), and `tarvik-convert -d out *.hex` typed in cmd
#   converts each matching file; its window starts under Xvfb with Windows' own platform plugin
#   and shows its icon, and a wrong argument is shown in a box and ends with status 2;
# - the installer, where NSIS made one, installs the programs with a Start-menu entry and "Open
#   with" for *.hex files, converts from there, and its uninstaller removes all of it.
# - the ZIP opens onto a README naming the programs and holds the licences of what it ships; the
#   compiler's runtime is stripped; the window at 144 DPI (150 %) is half as large again;
# - the installer carries its version, the product's licence page and Run at its end; installed
#   twice it is one program, of known size, and with /ADDTOPATH a fresh prompt finds the tool.
# Screenshots of the window (at 96 and 144 DPI) and of the usage box, and the window's icon as
# text, are left in BUILD_DIR/package-check/. Wine writes no menu entries into the home folder.
# Wine is not Windows: this shows the package whole and working, not that Windows agrees.
#
# Needs: cpack, unzip, wine, wrestool (icoutils), xvfb-run, xdotool, xprop (x11-utils), import
# (imagemagick), python3.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "windows/check-package: $*" >&2; exit 1; }
for tool in cpack unzip wine wineboot wineserver wrestool xvfb-run xdotool xprop import python3; do
    command -v "$tool" >/dev/null || fail "$tool is missing (packages: cmake unzip wine icoutils xvfb xdotool x11-utils imagemagick python3)"
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=tarvik-setup-converter-$version-win64
rm -f "$build/$name.zip" "$build/$name.exe"
(cd "$build" && cpack)
[ -f "$build/$name.zip" ] || fail "cpack made no $name.zip"

work=$build/package-check
rm -rf "$work"
mkdir -p "$work"
# No menu entries or icons of Wine's in the build machine's home.
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEPATH
for variable in $(env | sed -n 's/^\(WINEQT_[A-Z_]*\)=.*/\1/p'); do unset "$variable"; done
echo "== a fresh Wine prefix"
wineboot -i
wineserver -w # until the prefix is complete
drive_c=$WINEPREFIX/drive_c
expected=$work/expected.hex # what the Linux build writes (the tests hold it to this), in CR LF
sed 's/$/\r/' "$source/tests/data/new-setup.hex" > "$expected"
[ "$(stat -c %s "$expected")" -eq 10633 ] || fail "the known new setup is not 10,633 bytes with CR LF"

# $1: the program's Windows path, $2: a folder under C:\ for the files. The old setup is
# converted there; the result must be the expected file.
check_converts() {
    local folder=$drive_c/$2
    mkdir -p "$folder"
    cp "$source/tests/data/old-setup.hex" "$folder/old.hex"
    wine "$1" "C:\\${2//\//\\}\\old.hex" "C:\\${2//\//\\}\\new.hex"
    cmp "$folder/new.hex" "$expected" || fail "$1 wrote $(stat -c %s "$folder/new.hex") bytes, not the known new setup"
    echo "$1 converts: $(stat -c %s "$folder/new.hex") bytes, as expected"
}

echo "== $name.zip"
listing=$(unzip -Z1 "$build/$name.zip" | grep -v '/$' | sed "s|^$name/||" | sort)
wanted=$(printf '%s\n' bin/tarvik-setup-converter.exe bin/tarvik-convert.exe \
    bin/Qt5Core.dll bin/Qt5Gui.dll bin/Qt5Widgets.dll bin/Qt5Svg.dll \
    bin/platforms/qwindows.dll bin/styles/qwindowsvistastyle.dll \
    bin/imageformats/qsvg.dll bin/iconengines/qsvgicon.dll \
    bin/libgcc_s_seh-1.dll bin/libstdc++-6.dll bin/libwinpthread-1.dll README.txt \
    licenses/README.txt licenses/LGPL-3.0.txt licenses/GPL-3.0.txt \
    licenses/GCC-RUNTIME-LIBRARY-EXCEPTION-3.1.txt licenses/winpthreads.txt | sort)
[ "$listing" = "$wanted" ] || fail "the ZIP holds other files than it should:
$(diff <(echo "$wanted") <(echo "$listing") || true)"
unpacked="Tarvik test"
mkdir -p "$drive_c/$unpacked"
unzip -q "$build/$name.zip" -d "$drive_c/$unpacked"
bin=$drive_c/$unpacked/$name/bin
python3 "$source/dist/windows/check-pe.py" "$bin"/*.exe "$bin"/*.dll "$bin"/*/*.dll
size=$(stat -c %s "$bin/libstdc++-6.dll")
[ "$size" -lt 8000000 ] || fail "libstdc++-6.dll is $size bytes: its debug data was not stripped (23.7 MB with it)"
echo "the compiler's runtime is stripped: libstdc++-6.dll is $size bytes"
for exe in tarvik-setup-converter tarvik-convert; do
    wrestool -l "$bin/$exe.exe" | grep -q "type=14 --name='IDI_ICON1'" || fail "$exe.exe has no icon"
    strings -el "$bin/$exe.exe" > "$work/$exe.strings"
    for text in "Tarvik Setup Converter" "$version" "$exe.exe"; do
        grep -qxF "$text" "$work/$exe.strings" || fail "$exe.exe lacks '$text' in its version"
    done
done
echo "both programs carry their icon and version $version"
windows_bin="C:\\$unpacked\\$name\\bin"
check_converts "$windows_bin\\tarvik-convert.exe" "from zip"

# As typed at cmd's prompt: cmd hands *.hex over unexpanded; the program expands it, in the
# order of the names whatever their case.
batch=$drive_c/batch
mkdir -p "$batch"
for file in c.hex B.HEX a.hex; do cp "$source/tests/data/old-setup.hex" "$batch/$file"; done
echo "not a setup" > "$batch/notes.txt"
printf '%s\r\n' '@echo off' 'cd /d C:\batch' 'mkdir out' "set PATH=$windows_bin;%PATH%" \
    'tarvik-convert --verbose -d out *.hex' > "$batch/convert.cmd"
wine cmd /c 'C:\batch\convert.cmd' > "$work/batch.out" || fail "tarvik-convert -d out *.hex failed in cmd"
tr -d '\r' < "$work/batch.out" > "$work/batch.txt"
printf 'converted %s -> out\\%s\n' a.hex a.hex B.HEX B.HEX c.hex c.hex | cmp - "$work/batch.txt" \
    || fail "tarvik-convert -d out *.hex in cmd printed: $(cat "$work/batch.txt")"
for file in a.hex B.HEX c.hex; do
    cmp "$batch/out/$file" "$expected" || fail "out\\$file is not the known new setup"
done
[ "$(ls "$batch/out" | wc -l)" -eq 3 ] || fail "out holds other files than the three converted"
echo "cmd: tarvik-convert -d out *.hex converted a.hex, B.HEX and c.hex"

echo "== the window under Xvfb"
cat > "$work/window.sh" <<EOF
#!/usr/bin/env bash
# Runs inside xvfb-run: the window with Windows' platform plugin, then the usage box.
set -euo pipefail
exe='$windows_bin\\tarvik-setup-converter.exe'
fail() { echo "windows/check-package: \$*" >&2; wineserver -k || true; exit 1; }
find_window() {
    for _ in \$(seq 240); do # the first window in a fresh prefix takes a while
        xdotool search --name '^Tarvik Setup Converter\$' 2>/dev/null | head -n 1 && return
        sleep 0.5
    done
    fail "no window named Tarvik Setup Converter appeared (\$1)"
}
close() { xdotool windowactivate --sync "\$1" 2>/dev/null || xdotool windowfocus --sync "\$1"; xdotool key "\$2"; }

wine "\$exe" & pid=\$!
id=\$(find_window "the window")
sleep 2 # let it paint
xprop -id "\$id" _NET_WM_ICON > '$work/icon.txt' # the icon as text art
grep -q 'Icon (' '$work/icon.txt' || fail "the window shows no icon"
import -window root '$work/window.png'
width=\$(xdotool getwindowgeometry "\$id" | sed -n 's/.*Geometry: \\([0-9]*\\)x.*/\\1/p')
close "\$id" alt+F4
wait \$pid || fail "the window, closed, ended with status \$?"
echo "the window starts and shows its icon; closed, it ends with status 0"

# At 150 % (144 DPI, as most Windows laptops are set) the window is half as large again.
wineserver -w
wine reg add 'HKCU\\Control Panel\\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null
wineserver -k || true
wine "\$exe" & pid=\$!
id=\$(find_window "the window at 144 DPI")
sleep 2
import -window root '$work/window-144dpi.png'
scaled=\$(xdotool getwindowgeometry "\$id" | sed -n 's/.*Geometry: \\([0-9]*\\)x.*/\\1/p')
[ \$((scaled * 10)) -ge \$((width * 14)) ] || fail "at 144 DPI the window is \$scaled pixels wide, at 96 DPI \$width"
close "\$id" alt+F4
wait \$pid || fail "the window at 144 DPI, closed, ended with status \$?"
echo "at 144 DPI the window is \$scaled pixels wide, at 96 DPI \$width"
wineserver -w
wine reg add 'HKCU\\Control Panel\\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null
wineserver -k || true

wine "\$exe" --no-such-option & pid=\$!
id=\$(find_window "the usage box")
sleep 2
import -window root '$work/usage.png'
kill -0 \$pid || fail "the program did not wait for the usage box to be closed"
close "\$id" Return
status=0
wait \$pid || status=\$?
[ \$status -eq 2 ] || fail "after the usage box, the status is \$status, not 2"
echo "a wrong argument is shown in a box; closed, the status is 2"
wineserver -w
EOF
chmod +x "$work/window.sh"
wineserver -k || true # Wine's desktop, started without a display by now, would keep windows off X
xvfb-run -a -s "-screen 0 1024x768x24" "$work/window.sh"

if [ -f "$build/$name.exe" ]; then
    echo "== $name.exe (NSIS)"
    strings -el "$build/$name.exe" > "$work/installer.strings"
    for text in "Tarvik Setup Converter" "Tarvik Setup Converter installer" "$version"; do
        grep -qxF "$text" "$work/installer.strings" || fail "the installer lacks '$text' in its version"
    done
    script=$build/_CPack_Packages/win64/NSIS/project.nsi
    grep -q 'MUI_PAGE_LICENSE.*copyright' "$script" || fail "the installer's licence page is not the product's"
    grep -q 'MUI_FINISHPAGE_RUN' "$script" || fail "the installer's last page offers no Run"
    echo "the installer carries its version, shows the product's licence and offers Run at its end"
    # Twice, as an upgrade in place: one entry in the list of programs, on PATH as chosen.
    for _ in 1 2; do
        wine "Z:${build//\//\\}\\$name.exe" /S /ADDTOPATH
        wineserver -w
    done
    [ "$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' \
        | grep -c 'DisplayName.*Tarvik Setup Converter')" -eq 1 ] || fail "an upgrade left two entries"
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvik Setup Converter' \
        /v EstimatedSize | grep -q REG_DWORD || fail "the list of programs shows no size"
    # A fresh prompt, as after logging on again, finds the tool on PATH.
    wineserver -k || true
    wine cmd /c 'tarvik-convert --version' | tr -d '\r' | grep -qx "tarvik-convert $version" \
        || fail "a fresh prompt does not find tarvik-convert on PATH"
    echo "installed over itself as an upgrade, with its size; a fresh prompt finds tarvik-convert"
    installed="Program Files/Tarvik Setup Converter"
    check_converts "C:\\${installed//\//\\}\\bin\\tarvik-convert.exe" "from installer"
    menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tarvik Setup Converter"
    [ -f "$menu/Tarvik Setup Converter.lnk" ] || fail "no Start-menu entry in $menu"
    wine reg query 'HKCR\.hex\OpenWithProgids' | grep -q TarvikSetupConverter.hex \
        || fail "*.hex files do not offer the converter under Open with"
    wine reg query 'HKCR\TarvikSetupConverter.hex\shell\open\command' | tr -d '\r' \
        | grep -qF "\"C:\\${installed//\//\\}\\bin\\tarvik-setup-converter.exe\" \"%1\"" \
        || fail "Open with does not start the installed window with the file"
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' \
        | grep -q 'DisplayName.*Tarvik Setup Converter' || fail "no entry in Windows' list of programs"
    echo "installed with a Start-menu entry, Open with for *.hex and an uninstaller"
    wine "C:\\${installed//\//\\}\\Uninstall.exe" /S
    wineserver -w # the uninstaller goes on in a copy of itself
    [ ! -e "$drive_c/$installed/bin" ] || fail "the uninstaller left $installed/bin"
    [ ! -e "$menu" ] || fail "the uninstaller left the Start-menu entry"
    wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' /v Path \
        | grep -qi 'Tarvik Setup Converter' && fail "the uninstaller left the install folder on PATH"
    if wine reg query 'HKCR\TarvikSetupConverter.hex' >/dev/null 2>&1 \
        || wine reg query 'HKCR\.hex\OpenWithProgids' 2>/dev/null | grep -q TarvikSetupConverter; then
        fail "the uninstaller left the Open with entry"
    fi
    echo "the uninstaller removes the programs, the Start-menu entry and Open with"
else
    echo "== no installer: makensis (package nsis) was not found when the build was configured"
fi
wineserver -k || true
echo "== the Windows packages are good: $(cd "$build" && echo "$name".*)"
