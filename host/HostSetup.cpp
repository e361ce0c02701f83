#include "HostSetup.h"

#include "HostOptions.h"
#include "HostSettingsFile.h"
#include "Orbisto.h"
#include "OrbistoProtocol.h"
#include "OrbistoSettingsKeys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
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
const QString kTemporaryFileName = QStringLiteral("orbisto-host.ini");
// The stores the plug-in loads from and saves into before the user's store sees a value.
const QString kHandedFileName = QStringLiteral("handed-over.ini");
const QString kSavedFileName = QStringLiteral("saved.ini");

// QSettings says only that writing failed; the file system says why.
QString whyNotWritable(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("it is a folder");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return file.errorString();
    file.close();
    // The file itself is writable; QSettings writes a new copy beside it.
    QTemporaryFile probe(info.absolutePath() + QStringLiteral("/XXXXXX"));
    if (!probe.open())
        return QStringLiteral("its folder is not writable: %1").arg(probe.errorString());
    return QStringLiteral("the file system refused it");
}

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
    if (!opened || !openStore(options.settingsPath))
        return false;
    handOver(options);
    m_plan.timeoutSeconds = options.timeoutSeconds;
    m_plan.delaySeconds =
        qint64(options.postDelaySeconds.value_or(0)) + options.preDelaySeconds.value_or(0);
    m_plan.snapCommand = options.snapCommand;
    return true;
}

bool HostSetup::openSimulator(const HostOptions &options)
{
#ifdef ORBISTO_HOST_SIMULATOR
    static const QByteArray kMotorBlocked = QByteArrayLiteral("Error: motor blocked\r\n");
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
    new SimulatorLog(m_simulator.get(), &m_log);
    m_register = [turntable = m_simulator.get()] {
        return new COrbisto(QList<SerialPortCandidate>{turntable->candidate()});
    };
    m_controller.reset(m_register());
    m_description =
        QStringLiteral("turntable: simulated, on %1").arg(m_simulator->systemLocation());
    return true;
#else
    // The simulated turntable is a Linux pseudo-terminal; elsewhere (Windows,
    // macOS) the host drives a plug-in library or a named port.
    Q_UNUSED(options)
    m_errorString = QStringLiteral("this build has no simulated turntable: give --plugin PATH "
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
        m_errorString = QStringLiteral("there is no port %1").arg(path);
        return false;
    }
    m_register = [path] { return new COrbisto(QList<SerialPortCandidate>{{path, kTurntableMaker}}); };
    m_controller.reset(m_register());
    m_description = QStringLiteral("turntable: on %1, taken as the turntable whatever its maker")
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
        m_errorString = QStringLiteral("cannot load the plug-in: there is no file %1").arg(path);
        return false;
    }
    m_library.setFileName(file.absoluteFilePath());
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
    m_register = registerController;
    m_controller.reset(m_register());
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

bool HostSetup::openStore(const QString &path)
{
    // The plug-in's scratch stores live here, and the settings too when the
    // user named no file.
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        m_errorString = QStringLiteral("cannot make a temporary folder for the settings: %1")
                            .arg(m_dir->errorString());
        return false;
    }
    QString file = path;
    if (file.isEmpty()) {
        file = m_dir->filePath(kTemporaryFileName);
    } else {
        // QSettings would make the folder silently; a mistyped path must not.
        const QDir folder = QFileInfo(file).absoluteDir();
        if (!folder.exists()) {
            m_errorString = QStringLiteral("the folder %1 for the settings file does not exist")
                                .arg(QDir::toNativeSeparators(folder.path()));
            return false;
        }
        m_errorString = HostSettingsFile::refusal(file);
        if (!m_errorString.isEmpty())
            return false;
    }
    m_store = std::make_unique<QSettings>(file, QSettings::IniFormat);
    m_saved = std::make_unique<QSettings>(m_dir->filePath(kSavedFileName), QSettings::IniFormat);
    return true;
}

// The user's values reach the plug-in through a store of their own, under the
// keys it publishes, so that its file never holds a value the plug-in has not
// accepted. They go over one at a time, each judged by saveSettings as it
// comes, so that a refusal names the value and where it came from: an option,
// the settings file or the host's default.
void HostSetup::handOver(const HostOptions &options)
{
    const struct
    {
        const char *key;
        const std::optional<int> &option;
        const char *optionName;
    } values[] = {
        {OrbistoSettingsKeys::kFramesCount, options.frames, "--frames"},
        {OrbistoSettingsKeys::kPostSnap, options.postDelaySeconds, "--post-snap"},
        {OrbistoSettingsKeys::kPreSnap, options.preDelaySeconds, "--pre-snap"},
    };
    const QString group = QLatin1String(OrbistoSettingsKeys::kGroup) + QLatin1Char('/');
    const QString framesKey = QLatin1String(OrbistoSettingsKeys::kFramesCount);
    QSettings handed(m_dir->filePath(kHandedFileName), QSettings::IniFormat);
    bool judged = false;
    for (const auto &entry : values) {
        const QString key = QLatin1String(entry.key);
        int value = 0;
        QString origin;
        if (entry.option) {
            value = *entry.option;
            origin = QStringLiteral("%1 %2").arg(QLatin1String(entry.optionName)).arg(value);
        } else if (m_store->contains(group + key)) {
            value = m_store->value(group + key).toInt();
            origin = QStringLiteral("%1=%2 from %3").arg(key).arg(value).arg(m_store->fileName());
        } else if (key == framesKey && m_controller->framesCount() == 0) {
            // A controller given no frames count gets the host's default.
            value = kDefaultFramesCount;
            origin = QStringLiteral("the host's default of %1 frames").arg(value);
        } else {
            continue;
        }
        handed.setValue(group + key, value);
        m_controller->loadSettings(&handed);
        if (key == framesKey && m_controller->framesCount() != value) {
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

// What the plug-in saved goes into the user's store, and only what differs
// from it: a file that needs no change is not written, so a read-only one
// holding good values is no error.
QString HostSetup::keep()
{
    bool changed = false;
    const QStringList keys = m_saved->allKeys();
    for (const QString &key : keys) {
        const QVariant value = m_saved->value(key);
        if (m_store->contains(key) && m_store->value(key).toString() == value.toString())
            continue;
        m_store->setValue(key, value);
        changed = true;
    }
    if (!changed)
        return QString();
    m_store->sync();
    if (m_store->status() != QSettings::NoError) {
        return QStringLiteral("cannot write the settings file %1: %2")
            .arg(m_store->fileName(), whyNotWritable(m_store->fileName()));
    }
    return QString();
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
        m_errorString = QStringLiteral("the plug-in did not create a new controller");
        return false;
    }
    // The settings file holds only values the plug-in accepted.
    m_controller->loadSettings(m_store.get());
    return true;
}
