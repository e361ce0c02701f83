#!/bin/sh
# Compiles the contract, the plug-in, the reference host's portable files and
# the tests that need no device for Windows with MinGW-w64 against Debian's Qt
# headers, moc and uic output included, warnings as errors. -Wconversion stands
# in for MSVC's C4244 and C4267: on Qt 6 sizes are 64-bit, and storing one in
# an int fails a /W4 /WX build. Then checks that the plug-in's objects ask the
# linker to export only the undecorated entry and the contract class, as a
# Windows host needs them. No Windows program is linked or run.
#   tests/check_windows.sh QT_MAJOR_VERSION      (5 or 6)
set -eu
cd "$(dirname "$0")/.."
major=${1:?usage: tests/check_windows.sh QT_MAJOR_VERSION}
ORBISTO_BOOTSTRAP_QT=$major ORBISTO_BOOTSTRAP_WINDOWS=1 scripts/bootstrap.sh
compiler=x86_64-w64-mingw32-g++-posix
case "$major" in
    5) qmake=/usr/lib/qt5/bin/qmake ;;
    6) qmake=/usr/lib/qt6/bin/qmake6 ;;
    *) echo "check_windows: Qt $major? 5 or 6" >&2; exit 2 ;;
esac
for tool in "$compiler" "$qmake" x86_64-w64-mingw32-objcopy c++filt; do
    command -v "$tool" >/dev/null || { echo "check_windows: $tool is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done
headers=$("$qmake" -query QT_INSTALL_HEADERS)
# Qt 6 keeps moc and uic with its other internal tools, Qt 5 in its bin folder.
tools=$("$qmake" -query QT_HOST_LIBEXECS 2>/dev/null || true)
[ -x "$tools/moc" ] || tools=$("$qmake" -query QT_HOST_BINS)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/generated" "$work/objects"

# What each file is compiled with: the project's own definitions and Qt's
# include folders, as CMake passes them; _WIN32 and friends come from the compiler.
defines="-DUNICODE -D_UNICODE -DQT_DISABLE_DEPRECATED_BEFORE=0x050F00"
defines="$defines -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_SERIALPORT_LIB -DQT_TESTLIB_LIB -DORBISTO_VERSION=\"check\" -DORBISTO_SURFACE_DIR=\"tests/surface\""
includes="-isystem $headers"
for module in QtCore QtGui QtWidgets QtSerialPort QtTest; do
    includes="$includes -isystem $headers/$module"
done
includes="$includes -Isdk -Iplug-ins/Orbisto -Ihost -Itests -I$work/generated"
export compiler work
export flags="-std=c++17 -Wall -Wextra -Wconversion -Werror $defines $includes"

"$tools/uic" plug-ins/Orbisto/OrbistoUi.ui -o "$work/generated/ui_OrbistoUi.h"
plugin_sources="sdk/CAbstractTurntableController.cpp $(ls plug-ins/Orbisto/*.cpp)"
host_sources=$(ls host/*.cpp)
# The tests that need no device are the ones tests/CMakeLists.txt declares
# before its Linux-only part; they build and run on Windows.
test_sources=$(sed -n '/^if(NOT ORBISTO_LINUX)/q; s/^orbisto_test(\(tst_[a-z]*\).*/tests\/\1.cpp/p' tests/CMakeLists.txt)
[ -n "$test_sources" ] || { echo "check_windows: no device-free tests found in tests/CMakeLists.txt" >&2; exit 1; }
moc_sources=
for header in sdk/*.h plug-ins/Orbisto/*.h host/*.h; do
    grep -q Q_OBJECT "$header" || continue
    out="$work/generated/moc_$(basename "$header" .h).cpp"
    # moc sees the headers as a Windows compiler does.
    "$tools/moc" -D_WIN32 -DWIN32 $defines "$header" -o "$out"
    case "$header" in
        host/*) host_sources="$host_sources $out" ;;
        *) plugin_sources="$plugin_sources $out" ;;
    esac
done
# A class declared in a source file has its moc output included at the file's end.
for source in $plugin_sources $host_sources $test_sources; do
    case "$source" in "$work"/*) continue ;; esac
    grep -q Q_OBJECT "$source" || continue
    "$tools/moc" -D_WIN32 -DWIN32 $defines "$source" -o "$work/generated/$(basename "$source" .cpp).moc"
done

# One file a process, both cores busy; a failing file prints its errors.
# shellcheck disable=SC2086
echo $plugin_sources $host_sources $test_sources | tr ' ' '\n' |
    xargs -P "$(nproc)" -n 1 sh -c '$compiler $flags -fsyntax-only "$0" || exit 255'

# The objects' export directives: each -export: in a .drectve section is a
# symbol the DLL will export. Only the entry, undecorated, and the contract class.
for source in $plugin_sources; do
    echo "$source"
done | xargs -P "$(nproc)" -n 1 sh -c '$compiler $flags -c "$0" -o "$work/objects/$(basename "$0" .cpp).o" || exit 255'
exports=$(for object in "$work"/objects/*.o; do
        x86_64-w64-mingw32-objcopy -O binary --only-section=.drectve "$object" "$object.drectve"
        tr '\0 ' '\n\n' <"$object.drectve"
    done | sed -n 's/^-export:"\{0,1\}\([^",]*\)"\{0,1\}\(,data\)\{0,1\}$/\1/p' | LC_ALL=C sort -u)
if ! echo "$exports" | grep -qx NXSDK_RegisterTurntableController; then
    echo "check_windows: Qt $major: NXSDK_RegisterTurntableController is not exported undecorated; exports:" >&2
    echo "$exports" >&2
    exit 1
fi
others=$(echo "$exports" | grep -vx NXSDK_RegisterTurntableController | c++filt |
    grep -Ev '^(CAbstractTurntableController::|(vtable|typeinfo|typeinfo name) for CAbstractTurntableController$)' || true)
if [ -n "$others" ]; then
    echo "check_windows: Qt $major: the plug-in's objects export more than the entry and the contract class:" >&2
    echo "$others" >&2
    exit 1
fi
echo "windows: Qt $major: $(echo $plugin_sources $host_sources | wc -w) files and $(echo $test_sources | wc -w) tests compile; exports: $(echo "$exports" | wc -l) symbols, the entry and the contract class"
