#ifndef PLUGINLOADER_H
#define PLUGINLOADER_H

#include <QLibrary>
#include <QString>

#include <memory>

class CAbstractTurntableController;

// Loads a turntable-controller plug-in and asks it for a controller, the way
// the host photography application does.
class PluginLoader
{
public:
    // The contract revision this host speaks.
    static const int kInterfaceRevision = 2;

    explicit PluginLoader(const QString &path);

    // A new controller, or null with errorString() saying why. The library stays
    // loaded for the rest of the process, since its code runs every controller.
    std::unique_ptr<CAbstractTurntableController> createController();
    QString errorString() const { return m_errorString; }

private:
    QLibrary m_library;
    QString m_errorString;
};

#endif // PLUGINLOADER_H
