#include "ControllerSource.h"

#include "HostOptions.h"
#include "Orbisto.h"
#include "OrbistoProtocol.h"
#include "SimulatedTurntable.h"

namespace {

const char kEntryName[] = "NXSDK_RegisterTurntableController";
const QByteArray kMotorBlocked = QByteArrayLiteral("Error: motor blocked\r\n");

} // namespace

ControllerSource::ControllerSource() = default;

ControllerSource::~ControllerSource() = default;

bool ControllerSource::open(const HostOptions &options)
{
    return options.pluginPath.isEmpty() ? openSimulator(options) : openPlugin(options.pluginPath);
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
    if (options.fault != HostOptions::Fault::None) {
        SimulatedTurntable::Fault fault;
        fault.silent = options.fault == HostOptions::Fault::Silent;
        if (options.fault == HostOptions::Fault::Error)
            fault.errorText = kMotorBlocked;
        m_simulator->setFault(OrbistoProtocol::kTurn, fault);
    }
    m_controller = std::make_unique<COrbisto>(QList<SerialPortCandidate>{m_simulator->candidate()});
    m_description = QStringLiteral("turntable: simulated, on %1").arg(m_simulator->systemLocation());
    return true;
}

bool ControllerSource::openPlugin(const QString &path)
{
    m_library.setFileName(path);
    if (!m_library.load()) {
        m_errorString = QStringLiteral("cannot load the plug-in: %1").arg(m_library.errorString());
        return false;
    }
    using Register = CAbstractTurntableController *(*)();
    const auto registerController = reinterpret_cast<Register>(m_library.resolve(kEntryName));
    if (!registerController) {
        m_errorString = QStringLiteral("%1 is not a turntable plug-in: it does not export %2")
                            .arg(m_library.fileName(), QLatin1String(kEntryName));
        return false;
    }
    m_controller.reset(registerController());
    if (!m_controller) {
        m_errorString = QStringLiteral("the plug-in did not create a controller");
        return false;
    }
    // Another revision lays out the virtual table differently, so nothing past
    // this call can be trusted.
    const int revision = m_controller->interfaceRevision();
    if (revision != kInterfaceRevision) {
        m_controller.reset();
        m_errorString = QStringLiteral("the plug-in speaks interface revision %1; this host "
                                       "needs revision %2")
                            .arg(revision)
                            .arg(kInterfaceRevision);
        return false;
    }
    m_description = QStringLiteral("plug-in: %1 (interface revision %2)").arg(path).arg(revision);
    return true;
}
