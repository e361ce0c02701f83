#include "ControllerSource.h"

#include "HostOptions.h"
#include "Orbisto.h"
#include "OrbistoProtocol.h"
#include "PluginLoader.h"
#include "SimulatedTurntable.h"

namespace {

const QByteArray kMotorBlocked = QByteArrayLiteral("Error: motor blocked\r\n");

SimulatedTurntable::Fault turnFault(HostOptions::Fault kind)
{
    SimulatedTurntable::Fault fault;
    fault.silent = kind == HostOptions::Fault::Silent;
    if (kind == HostOptions::Fault::Error)
        fault.errorText = kMotorBlocked;
    return fault;
}

} // namespace

ControllerSource::ControllerSource() = default;

ControllerSource::~ControllerSource() = default;

bool ControllerSource::open(const HostOptions &options)
{
    return options.pluginPath.isEmpty() ? openSimulator(options) : openPlugin(options);
}

bool ControllerSource::openSimulator(const HostOptions &options)
{
    m_simulator = std::make_unique<SimulatedTurntable>();
    if (!m_simulator->isOpen()) {
        m_errorString = QStringLiteral("cannot open a pseudo-terminal for the simulated "
                                       "turntable: %1")
                            .arg(m_simulator->errorString());
        return false;
    }
    if (options.fault != HostOptions::Fault::None)
        m_simulator->setFault(OrbistoProtocol::kTurn, turnFault(options.fault));
    m_controller = std::make_unique<COrbisto>(QList<SerialPortCandidate>{m_simulator->candidate()});
    m_description = QStringLiteral("turntable: simulated, on %1").arg(m_simulator->systemLocation());
    return true;
}

bool ControllerSource::openPlugin(const HostOptions &options)
{
    m_loader = std::make_unique<PluginLoader>(options.pluginPath);
    m_controller = m_loader->createController();
    if (!m_controller) {
        m_errorString = m_loader->errorString();
        return false;
    }
    m_description = QStringLiteral("plug-in: %1 (interface revision %2)")
                        .arg(options.pluginPath)
                        .arg(m_controller->interfaceRevision());
    return true;
}
