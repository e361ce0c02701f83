#include "HostSetup.h"

#include "HostOptions.h"
#include "HostSettingsFile.h"
#include "Orbisto.h"
#include "OrbistoMessages.h"
#include "OrbistoProtocol.h"
#include "OrbistoSettingsKeys.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#ifdef Q_OS_WIN
#include <QSerialPortInfo>
#endif

#ifdef ORBISTO_HOST_SIMULATOR
#include "SimulatedTurntable.h"
#include "SimulatorLog.h"
#endif

namespace {

const char kEntryName[] = "NXSDK_RegisterTurntableController";
// The maker whose ports the controller takes; a port named with --port is
// presented to it as one of theirs.
const QString kTurntableMaker = QStringLiteral("STMicroelectronics");
const int kDefaultFramesCount = 24;
#ifdef ORBISTO_HOST_SIMULATOR
// The simulated turntable answers within milliseconds.
const int kHelloWaitMs = 1000;
#endif
const QString kTemporaryFileName = QStringLiteral("orbisto-host.ini");
// The stores the plug-in loads from and saves into before the user's store sees a value.
const QString kHandedFileName = QStringLiteral("handed-over.ini");
const QString kSavedFileName = QStringLiteral("saved.ini");

} // namespace

HostSetup::HostSetup() = default;

HostSetup::~HostSetup() = default;

bool HostSetup::open(const HostOptions &options)
{
    bool opened = false;
    if (!options.pluginPath.isEmpty())
        opened = openPlugin(options.pluginPath);
    else if (!options.portPath.isEmpty())
        opened = openPort(options.portPath);
    else
        opened = openSimulator(options);
    // The scratch stores live here, and the settings too when the user named no file.
    m_dir = std::make_unique<QTemporaryDir>();
    if (opened && !m_dir->isValid()) {
        m_errorString = QStringLiteral("Cannot make a temporary folder for the settings: %1")
                            .arg(m_dir->errorString());
        opened = false;
    }
    if (!opened)
        return false;
    m_saved = std::make_unique<QSettings>(m_dir->filePath(kSavedFileName), QSettings::IniFormat);
    const bool takes = takesSettings();
    if (!openStore(options.settingsPath))
        return false;
    if (takes)
        handOver(options);
    m_plan.timeoutSeconds = options.timeoutSeconds;
    m_plan.delaySeconds =
        qint64(options.postDelaySeconds.value_or(0)) + options.preDelaySeconds.value_or(0);
    m_plan.snapCommand = options.snapCommand;
    // The port the controller was handed, or the ports the plug-in picks from.
    m_plan.port.path = options.portPath;
    if (!options.pluginPath.isEmpty())
        m_plan.port.maker = kTurntableMaker;
#ifdef ORBISTO_HOST_SIMULATOR
    if (m_simulator)
        m_plan.port.path = m_simulator->systemLocation();
#endif
    return true;
}

bool HostSetup::openSimulator(const HostOptions &options)
{
#ifdef ORBISTO_HOST_SIMULATOR
    static const QByteArray kMotorBlocked = QByteArrayLiteral("Error: motor blocked\r\n");
    m_simulator = std::make_unique<SimulatedTurntable>();
    if (!m_simulator->isOpen()) {
        m_errorString = QStringLiteral("Cannot open a pseudo-terminal for the simulated "
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
    new SimulatorLog(m_simulator.get(), &m_log);
    m_register = [turntable = m_simulator.get()] {
        return new COrbisto(QList<SerialPortCandidate>{turntable->candidate()});
    };
    m_controller.reset(m_register());
    // The controller's hello is answered before anyone reads the log, so that
    // the log of a capture starts with the capture.
    QEventLoop hello;
    QObject::connect(m_simulator.get(), &SimulatedTurntable::sent, &hello, &QEventLoop::quit);
    QTimer::singleShot(kHelloWaitMs, &hello, &QEventLoop::quit);
    if (m_simulator->frames().isEmpty())
        hello.exec();
    m_description =
        QStringLiteral("Turntable: simulated, on %1").arg(m_simulator->systemLocation());
    return true;
#else
    // The simulated turntable is a Linux pseudo-terminal; elsewhere (Windows,
    // macOS) the host drives a plug-in library or a named port.
    Q_UNUSED(options)
    m_errorString = QStringLiteral("This build has no simulated turntable: give --plugin PATH "
                                   "or --port PATH");
    return false;
#endif
}

bool HostSetup::openPort(const QString &path)
{
    // Said here, before the controller's own "not detected" hides the cause.
#ifdef Q_OS_WIN
    // A Windows port is a name such as COM3, not a file; the system lists it.
    const bool exists = !QSerialPortInfo(path).isNull();
#else
    // A Unix port is a device file, a pseudo-terminal included, which the system may not list.
    const bool exists = QFileInfo::exists(path);
#endif
    if (!exists) {
        m_errorString = QStringLiteral("There is no port %1").arg(path);
        return false;
    }
    m_register = [path] { return new COrbisto(QList<SerialPortCandidate>{{path, kTurntableMaker}}); };
    m_controller.reset(m_register());
    m_description = QStringLiteral("Turntable: on %1, taken as the turntable whatever its maker")
                        .arg(path);
    return true;
}

bool HostSetup::openPlugin(const QString &path)
{
    // The file the user named, as a shell takes it: for a bare name QLibrary
    // would search the library path, and for a missing file it would try
    // other names and report the last one.
    const QFileInfo file(path);
    if (!file.exists()) {
        m_errorString = QStringLiteral("Cannot load the plug-in: there is no file %1").arg(path);
        return false;
    }
    m_library.setFileName(file.absoluteFilePath());
    if (!m_library.load()) {
        m_errorString = QStringLiteral("Cannot load the plug-in: %1").arg(m_library.errorString());
        return false;
    }
    using Register = CAbstractTurntableController *(*)();
    const auto registerController = reinterpret_cast<Register>(m_library.resolve(kEntryName));
    if (!registerController) {
        m_errorString = QStringLiteral("%1 is not a turntable plug-in: it does not export %2")
                            .arg(m_library.fileName(), QLatin1String(kEntryName));
        return false;
    }
    m_register = registerController;
    m_controller.reset(m_register());
    if (!m_controller) {
        m_errorString = QStringLiteral("The plug-in did not create a controller");
        return false;
    }
    // Another revision lays out the virtual table differently, so nothing past
    // this call can be trusted.
    const int revision = m_controller->interfaceRevision();
    if (revision != kInterfaceRevision) {
        m_controller.reset();
        m_errorString = QStringLiteral("The plug-in speaks interface revision %1; this host "
                                       "needs revision %2")
                            .arg(revision)
                            .arg(kInterfaceRevision);
        return false;
    }
    m_description = QStringLiteral("Plug-in: %1 (interface revision %2)").arg(path).arg(revision);
    return true;
}

bool HostSetup::openStore(const QString &path)
{
    QString file = path;
    if (file.isEmpty()) {
        file = m_dir->filePath(kTemporaryFileName);
    } else {
        // A mistyped folder is not made.
        const QDir folder = QFileInfo(file).absoluteDir();
        if (!folder.exists()) {
            m_errorString = QStringLiteral("The folder %1 for the settings file does not exist")
                                .arg(QDir::toNativeSeparators(folder.path()));
            return false;
        }
    }
    m_file = HostSettingsFile(file);
    m_errorString = m_file.read();
    return m_errorString.isEmpty();
}

bool HostSetup::takesSettings()
{
    const quint16 heldFrames = m_controller->framesCount();
    HostSettingsFile::Values values;
    values[0] = kDefaultFramesCount;
    loadSettings(values);
    const QString message = judge();
    if (message.isEmpty()) {
        // What it held goes back, so that it is judged on what it is given.
        values[0] = heldFrames;
        loadSettings(values);
        return true;
    }
    if (message == QLatin1String(OrbistoMessages::kNotDetected)) {
        m_refusal = QStringLiteral("No turntable found: %1 See orbisto-host --list-ports.")
                        .arg(message);
    } else {
        m_refusal = QStringLiteral("The plug-in refuses even the host's default of %1 frames: %2")
                        .arg(kDefaultFramesCount)
                        .arg(message);
    }
    return false;
}

void HostSetup::loadSettings(const HostSettingsFile::Values &values)
{
    const QString group = QLatin1String(OrbistoSettingsKeys::kGroup) + QLatin1Char('/');
    QSettings handed(m_dir->filePath(kHandedFileName), QSettings::IniFormat);
    handed.clear();
    for (int index = 0; index < HostSettingsFile::kKeyCount; ++index) {
        if (values.at(index))
            handed.setValue(group + QLatin1String(HostSettingsFile::kKeys[index]), *values.at(index));
    }
    m_controller->loadSettings(&handed);
}

// The user's values reach the plug-in through a store of their own, under the
// keys it publishes, so that its file never holds a value the plug-in has not
// accepted. They go over one at a time, each judged by saveSettings as it
// comes, so that a refusal names the value and where it came from: an option,
// the settings file or the host's default.
void HostSetup::handOver(const HostOptions &options)
{
    const std::optional<int> *given[] = {&options.frames, &options.postDelaySeconds,
                                         &options.preDelaySeconds};
    const char *const optionNames[] = {"--frames", "--post-snap", "--pre-snap"};
    const HostSettingsFile::Values &stored = m_file.values();
    HostSettingsFile::Values handed;
    bool judged = false;
    for (int index = 0; index < HostSettingsFile::kKeyCount; ++index) {
        const QLatin1String key(HostSettingsFile::kKeys[index]);
        QString origin;
        if (*given[index]) {
            handed[index] = *given[index];
            origin = QStringLiteral("%1 %2").arg(QLatin1String(optionNames[index])).arg(**given[index]);
        } else if (stored.at(index)) {
            handed[index] = stored.at(index);
            origin = QStringLiteral("%1=%2 from %3").arg(key).arg(*stored.at(index)).arg(m_file.fileName());
        } else if (index == 0 && m_controller->framesCount() == 0) {
            // A controller given no frames count gets the host's default.
            handed[index] = kDefaultFramesCount;
            origin = QStringLiteral("the host's default of %1 frames").arg(kDefaultFramesCount);
        } else {
            continue;
        }
        loadSettings(handed);
        if (index == 0 && m_controller->framesCount() != *handed.at(index)) {
            m_refusal = QStringLiteral("The plug-in reads %1 as %2.")
                            .arg(origin)
                            .arg(m_controller->framesCount());
            return;
        }
        // Judged before any settings widget exists, so the controller checks
        // the values handed over and not an empty form.
        const QString message = judge();
        if (!message.isEmpty()) {
            m_refusal = QStringLiteral("The plug-in refused the settings on getting %1: %2")
                            .arg(origin, message);
            return;
        }
        judged = true;
    }
    // A controller handed nothing is still judged on what it holds.
    m_refusal = judged ? keep() : save();
}

QString HostSetup::judge()
{
    m_saved->clear();
    QString message;
    const bool saved = m_controller->saveSettings(m_saved.get(), message);
    // A refusal must come with a reason the user can read.
    if (!saved && message.isEmpty())
        message = QStringLiteral("The plug-in refused the settings.");
    return message;
}

// What the plug-in saved goes into the user's file. The file is checked
// each time, and written only when a value changes, so a read-only one holding
// good values is no error.
QString HostSetup::keep()
{
    HostSettingsFile::Values values = m_file.values();
    const QString group = QLatin1String(OrbistoSettingsKeys::kGroup) + QLatin1Char('/');
    for (int index = 0; index < HostSettingsFile::kKeyCount; ++index) {
        const QString key = group + QLatin1String(HostSettingsFile::kKeys[index]);
        if (m_saved->contains(key))
            values[index] = m_saved->value(key).toInt();
    }
    return m_file.write(values);
}

QString HostSetup::save()
{
    QString message = judge();
    if (message.isEmpty())
        message = keep();
    // A refused save changes nothing in the controller or the file; the
    // message stands until a save succeeds.
    m_refusal = message;
    return message;
}

bool HostSetup::renewController()
{
    // The old controller goes first: it lets go of the port the new one opens.
    m_controller.reset();
    m_controller.reset(m_register ? m_register() : nullptr);
    if (!m_controller) {
        m_errorString = QStringLiteral("The plug-in did not create a new controller");
        return false;
    }
    // The settings file holds only values the plug-in accepted.
    loadSettings(m_file.values());
    return true;
}

bool HostSetup::settingsFileChanged()
{
    return m_file.hasChanged();
}

QString HostSetup::reload()
{
    HostSettingsFile file(m_file.fileName());
    const QString message = file.read();
    // A file that is not the host's any more is not taken, and the values
    // held stay as they were.
    if (!message.isEmpty())
        return message;
    m_file = file;
    // Only handed over: nothing is saved, so nothing is written.
    loadSettings(m_file.values());
    return QString();
}
