#!/bin/sh
# Builds the Debian package from a build tree and checks that it carries the
# plug-in (stripped, as Debian ships it), the contract header, the udev rule,
# the reference host, the simulator and the USB sandbox with their manual
# pages, the copyright file and the changelog, and nothing of the tests. The
# packaged sandbox then runs the packaged host, whose packaged plug-in captures
# on a simulated turntable that the sandbox shows it as a USB device.
set -eu
build_dir=$1
qt=$2 # the Qt major version the build is on
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build_dir/CPackConfig.cmake" -B "$out" >/dev/null
package=$(ls "$out"/orbisto*.deb)
contents=$(dpkg-deb -c "$package")
name=$(dpkg-deb -f "$package" Package)
for expected in nxsdk/plug-ins/libOrbisto.so include/nxsdk/CAbstractTurntableController.h \
                udev/rules.d/60-orbisto-turntable.rules usr/bin/orbisto-host usr/bin/orbisto-simulator \
                usr/bin/orbisto-usb-sandbox usr/share/man/man1/orbisto-host.1.gz \
                usr/share/man/man1/orbisto-simulator.1.gz usr/share/man/man1/orbisto-usb-sandbox.1.gz \
                "usr/share/doc/$name/copyright" \
                "usr/share/doc/$name/changelog.gz"; do
    echo "$contents" | grep -q "$expected" || { echo "missing from $package: $expected"; exit 1; }
done
if echo "$contents" | grep -qE 'tst_|orbisto-bench|OrbistoAsanPlugin'; then
    echo "test or tool programs in $package"; exit 1
fi
# dpkg-shlibdeps writes the dependencies: on the Qt the build is on, and not the other.
depends=$(dpkg-deb -f "$package" Depends)
case "$qt" in 5) other=6 ;; *) other=5 ;; esac
echo "$depends" | grep -q "libqt${qt}serialport${qt}" && ! echo "$depends" | grep -q "libqt${other}" ||
    { echo "$package does not depend on Qt $qt alone: $depends"; exit 1; }
# The sandbox's umockdev: the library it links, and the preload it gives the command.
preload_package=$(dpkg-query -S "$(pkg-config --variable=libdir umockdev-1.0)/libumockdev-preload.so.0" | cut -d: -f1)
for needed in libumockdev0 "$preload_package"; do
    echo "$depends" | grep -qE "(^|, )$needed( |,|$)" ||
        { echo "$package does not depend on $needed, which the sandbox needs: $depends"; exit 1; }
done

dpkg-deb -x "$package" "$out/root"
plugin=$(find "$out/root" -name libOrbisto.so)
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$(find "$out/root" -name 60-orbisto-turntable.rules)" ||
    { echo "the udev rule does not keep ModemManager off the turntable"; exit 1; }
if readelf -S "$plugin" | grep -qE '\.debug_|\.symtab'; then
    echo "$plugin carries debug information or a symbol table"; exit 1
fi
# The package's dependencies name the Qt the plug-in needs, and only that one.
needed=$(readelf -d "$plugin" | sed -n 's/.*Shared library: \[\(libQt[0-9]Core\.so\.[0-9]*\)\]/\1/p')
[ "$needed" = "libQt${qt}Core.so.${qt}" ] ||
    { echo "$plugin needs ${needed:-no QtCore}, but the package is for Qt $qt"; exit 1; }
# The copyright file states the licence at the repository's top.
root=$(dirname "$0")/..
grep -q '^License: Expat$' "$out/root/usr/share/doc/$name/copyright" && head -1 "$root/LICENSE" | grep -q '^MIT License$' ||
    { echo "the copyright file and LICENSE do not both say MIT (Expat)"; exit 1; }
# The packaged host runs, and its manual page is its --help; the changelog reads.
gzip -dc "$out/root/usr/share/doc/$name/changelog.gz" | grep -q "^orbisto (" ||
    { echo "the changelog does not name the package"; exit 1; }
"$out/root/usr/bin/orbisto-host" --help | grep -q -- '--list-ports' ||
    { echo "the packaged orbisto-host does not run"; exit 1; }
# Each manual page names its program's options, and the sandbox's its command.
for page_option in orbisto-host:--port orbisto-host:--snap-command orbisto-host:--list-ports \
                   orbisto-host:ORBISTO_PICTURE orbisto-simulator:--hang-up-after orbisto-simulator:--garbage \
                   orbisto-usb-sandbox:--count orbisto-usb-sandbox:ORBISTO_SANDBOX_PORTS \
                   orbisto-usb-sandbox:COMMAND; do
    page=${page_option%%:*}
    option=${page_option#*:}
    gzip -dc "$out/root/usr/share/man/man1/$page.1.gz" | grep -q -- "$(echo "$option" | sed 's/-/\\\\-/g')" ||
        { echo "the manual page of $page does not name $option"; exit 1; }
done
echo "package ok: $(basename "$package"), plug-in $(stat -c %s "$plugin") bytes"

# As a host developer tries the installed plug-in: the packaged sandbox around the packaged host.
"$out/root/usr/bin/orbisto-usb-sandbox" --log -- \
    "$out/root/usr/bin/orbisto-host" --plugin "$plugin" --frames 8 --timeout 20 >"$out/capture.log" 2>&1 ||
    { cat "$out/capture.log"; echo "the packaged plug-in did not capture"; exit 1; }
grep -q "finished" "$out/capture.log" || { cat "$out/capture.log"; exit 1; }
# The turntable heard the greeting, seven turns and the goodbye, and nothing else.
frames=$(sed -n 's|^usb-sandbox: /dev/ttyACM[0-9]* received \(#.*\)$|\1|p' "$out/capture.log" | tr '\n' ' ')
[ "$frames" = "#e1. $(printf '#p630. %.0s' 1 2 3 4 5 6 7)#e0. " ] ||
    { cat "$out/capture.log"; echo "the turntable received: $frames"; exit 1; }
echo "packaged plug-in captured 8 pictures in the packaged host and sandbox"
