#include "PluginLoader.h"

#include "CAbstractTurntableController.h"

namespace {

const char kEntryName[] = "NXSDK_RegisterTurntableController";

} // namespace

PluginLoader::PluginLoader(const QString &path)
    : m_library(path)
{
}

std::unique_ptr<CAbstractTurntableController> PluginLoader::createController()
{
    if (!m_library.load()) {
        m_errorString = QStringLiteral("cannot load the plug-in: %1").arg(m_library.errorString());
        return nullptr;
    }
    using Register = CAbstractTurntableController *(*)();
    const auto registerController = reinterpret_cast<Register>(m_library.resolve(kEntryName));
    if (!registerController) {
        m_errorString = QStringLiteral("%1 is not a turntable plug-in: it does not export %2")
                            .arg(m_library.fileName(), QLatin1String(kEntryName));
        return nullptr;
    }
    std::unique_ptr<CAbstractTurntableController> controller(registerController());
    if (!controller) {
        m_errorString = QStringLiteral("the plug-in did not create a controller");
        return nullptr;
    }
    // Another revision lays out the virtual table differently, so nothing past
    // this call can be trusted.
    const int revision = controller->interfaceRevision();
    if (revision != kInterfaceRevision) {
        m_errorString = QStringLiteral("the plug-in speaks interface revision %1; this host "
                                       "needs revision %2")
                            .arg(revision)
                            .arg(kInterfaceRevision);
        return nullptr;
    }
    return controller;
}
