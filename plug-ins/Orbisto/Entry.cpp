#include "Orbisto.h"

#include <QCoreApplication>

#include <new>

extern "C" CAbstractTurntableController *NXSDK_RegisterTurntableController()
{
    // A host built on another major version of Qt has no application object of
    // ours: two Qts would then run in one process, and a call into ours can land
    // in the host's and crash it. Refuse instead, and say why.
    if (!QCoreApplication::instance()) {
        qWarning("Orbisto: this plug-in is built on Qt %s, but no Qt %d application runs in "
                 "this process: install the plug-in built on the application's Qt",
                 QT_VERSION_STR, QT_VERSION_MAJOR);
        return nullptr;
    }
    return new (std::nothrow) COrbisto;
}
