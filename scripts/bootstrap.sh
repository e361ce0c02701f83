#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when missing.
set -euo pipefail

# dpkg-dev: dpkg-shlibdeps, which gives the Debian package its dependencies.
packages=(cmake g++ make pkg-config fonts-dejavu-core dpkg-dev)
# The USB sandbox and tst_system show simulated turntables through a umockdev testbed.
packages+=(umockdev libumockdev-dev)
# The mutation gate makes its mutants with a Python script (standard library only).
packages+=(python3)
# Qt 5 unless ORBISTO_BOOTSTRAP_QT=6 asks for Qt 6 (scripts/build.sh sets it for a Qt 6 build).
if [ "${ORBISTO_BOOTSTRAP_QT:-5}" = 6 ]; then
    packages+=(qt6-base-dev qt6-base-dev-tools qt6-serialport-dev)
else
    packages+=(qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev)
fi
# The Windows compile check needs MinGW-w64's compiler (the posix-threads one, as Qt needs).
if [ "${ORBISTO_BOOTSTRAP_WINDOWS:-0}" = 1 ]; then
    packages+=(g++-mingw-w64-x86-64-posix)
fi
# The hosted jobs' traits: Clang as Apple's compiler, Ninja's multi-configuration generator.
if [ "${ORBISTO_BOOTSTRAP_HOSTED:-0}" = 1 ]; then
    packages+=(clang ninja-build)
fi
# The fuzzer and the memory check need clang's runtime and valgrind.
if [ "${ORBISTO_BOOTSTRAP_TOOLS:-0}" = 1 ]; then
    packages+=(clang libclang-rt-dev valgrind)
fi
# The Qt-aware checker that scripts/clazy.sh runs.
if [ "${ORBISTO_BOOTSTRAP_CLAZY:-0}" = 1 ]; then
    packages+=(clazy)
fi
# The kernel check boots Debian's kernel in QEMU with a busybox initramfs, runs
# udev in the guest and needs depmod for the kernel's modules.
if [ "${ORBISTO_BOOTSTRAP_KERNEL:-0}" = 1 ]; then
    packages+=(qemu-system-x86 busybox-static udev kmod)
fi
# The workflow check runs its validator from the npm registry with npx: any
# node with its npm will do, Debian's when there is none.
if [ "${ORBISTO_BOOTSTRAP_NODE:-0}" = 1 ] && ! command -v npx >/dev/null; then
    packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing Debian packages: ${missing[*]}" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "Installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
