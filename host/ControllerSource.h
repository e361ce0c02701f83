#ifndef CONTROLLERSOURCE_H
#define CONTROLLERSOURCE_H

#include <QString>

#include <memory>

class CAbstractTurntableController;
class PluginLoader;
class SimulatedTurntable;
struct HostOptions;

// Where the host's controller comes from: the plug-in's own code on a
// simulated turntable, or a plug-in library that finds its turntable itself.
class ControllerSource
{
public:
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
    bool openPlugin(const HostOptions &options);

    // Declared first so that it goes last: the controller says goodbye to it.
    std::unique_ptr<SimulatedTurntable> m_simulator;
    std::unique_ptr<PluginLoader> m_loader;
    std::unique_ptr<CAbstractTurntableController> m_controller;
    QString m_errorString;
    QString m_description;
};

#endif // CONTROLLERSOURCE_H
