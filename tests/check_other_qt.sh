#!/bin/sh
# A host on one major version of Qt refuses the plug-in built on the other with
# a clear message, rather than crash: each build's host loads the other's plug-in.
#   check_other_qt.sh QT5_BUILD_DIR QT6_BUILD_DIR
set -eu
export QT_QPA_PLATFORM=offscreen
check() { # HOST_BUILD PLUGIN_BUILD PLUGIN_QT
    status=0
    err=$("$1/host/orbisto-host" --plugin "$2/plug-ins/Orbisto/libOrbisto.so" 2>&1 >/dev/null) || status=$?
    if [ "$status" -ne 1 ] || ! echo "$err" | grep -q "no Qt $3 application runs in this process" ||
        ! echo "$err" | grep -q "The plug-in did not create a controller"; then
        echo "the host of $1 given the plug-in of $2: exit status $status"
        echo "$err"
        exit 1
    fi
}
check "$1" "$2" 6
check "$2" "$1" 5
echo "each Qt's host refused the other Qt's plug-in"
