#ifndef CONTROLLERSOURCE_H
#define CONTROLLERSOURCE_H

#include <QLibrary>
#include <QString>

#include <memory>

class CAbstractTurntableController;
class SimulatedTurntable;
struct HostOptions;

// Where the host's controller comes from: the plug-in's own code on a
// simulated turntable, or a plug-in library loaded the way the host
// photography application loads it, which finds its turntable itself.
class ControllerSource
{
public:
    // The contract revision this host speaks.
    static const int kInterfaceRevision = 2;

    ControllerSource();
    ~ControllerSource();

    // False with errorString() saying why.
    bool open(const HostOptions &options);
    QString errorString() const { return m_errorString; }
    // A line telling the user what is being driven.
    QString description() const { return m_description; }

    CAbstractTurntableController *controller() const { return m_controller.get(); }
    // Null unless the simulated turntable is in use.
    SimulatedTurntable *simulator() const { return m_simulator.get(); }

private:
    bool openSimulator(const HostOptions &options);
    bool openPlugin(const QString &path);

    // Declared first so that it goes last: the controller says goodbye to it.
    std::unique_ptr<SimulatedTurntable> m_simulator;
    // Never unloaded: the library's code runs the controller to the end.
    QLibrary m_library;
    std::unique_ptr<CAbstractTurntableController> m_controller;
    QString m_errorString;
    QString m_description;
};

#endif // CONTROLLERSOURCE_H
