#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "Orbisto.h"
#include "SimulatedTurntable.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLibrary>
#include <QSerialPortInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <time.h>

// A plug-in loaded here would drive a real turntable on this machine, so the
// tests that load it skip when one is connected.
inline bool realTurntableConnected()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    return std::any_of(ports.cbegin(), ports.cend(), [](const QSerialPortInfo &info) {
        return info.manufacturer().startsWith(QLatin1String("STMicroelectronics"));
    });
}

#ifdef ORBISTO_PLUGIN_FILE
// The built plug-in's entry, loaded into library as a host loads it; null
// when the library does not load or has no entry.
using PluginEntry = CAbstractTurntableController *(*)();
inline PluginEntry loadPluginEntry(QLibrary &library)
{
    library.setFileName(QStringLiteral(ORBISTO_PLUGIN_FILE));
    if (!library.load())
        return nullptr;
    return reinterpret_cast<PluginEntry>(library.resolve("NXSDK_RegisterTurntableController"));
}
#endif

// True once the controller has read everything the turntable sent. The count
// must stay at 0 across passes of the event loop, since the kernel hands
// written bytes to the reading side a moment later.
inline bool waitUntilRead(const SimulatedTurntable &turntable, int timeoutMs = 5000)
{
    int quietPolls = 0;
    return QTest::qWaitFor([&] {
        quietPolls = turntable.bytesUnread() == 0 ? quietPolls + 1 : 0;
        return quietPolls >= 3;
    }, timeoutMs);
}

// The processor time this process spends in a stretch of event loop. An idle
// process spends next to nothing; one that spins on a dead port, about all of it.
inline double cpuSecondsOverEventLoop(int milliseconds)
{
    const auto cpuSeconds = [] {
        timespec now = {};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    };
    const double before = cpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    return cpuSeconds() - before;
}

// Whether any descriptor of this process still refers to the file at path,
// also once the file is gone, as a pty is once its master hangs up.
inline bool isHeldOpen(const QString &path)
{
    const QString gone = path + QStringLiteral(" (deleted)");
    const QFileInfoList descriptors =
        QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &descriptor : descriptors) {
        const QString target = descriptor.symLinkTarget();
        if (target == path || target == gone)
            return true;
    }
    return false;
}

// A named child of a settings dialog; callers QVERIFY the result, so that a
// missing child fails the test with its name instead of crashing it.
template<typename T>
T *child(const QWidget *parent, const char *name)
{
    T *found = parent ? parent->findChild<T *>(QLatin1String(name)) : nullptr;
    if (!found)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

// A controller on a fresh simulated turntable, the way a host finds one.
struct TurntableRig
{
    SimulatedTurntable turntable;
    std::unique_ptr<COrbisto> controller;

    TurntableRig()
    {
        if (!turntable.isOpen())
            qFatal("cannot open a pseudo-terminal: %s", qPrintable(turntable.errorString()));
        // Replies are unframed: an acknowledgement of the enable command read
        // after a test's first command would count as that command's answer.
        SimulatedTurntable::Fault quietEnable;
        quietEnable.silent = true;
        turntable.setFault('e', quietEnable);
        controller = std::make_unique<COrbisto>(QList<SerialPortCandidate>{turntable.candidate()});
    }

    // True once the enable command has arrived, so the link is up; the
    // record is cleared so a test sees only its own bytes.
    bool waitForEnable()
    {
        if (!QTest::qWaitFor([this] { return turntable.received() == "#e1."; }, kWaitMs))
            return false;
        turntable.clearReceived();
        return true;
    }

    bool waitUntilRead();

    static const int kWaitMs = 5000;
};

inline bool TurntableRig::waitUntilRead()
{
    return ::waitUntilRead(turntable, kWaitMs);
}

// A settings store in a real INI file, as a host keeps it.
class SettingsFile
{
public:
    SettingsFile()
        : m_settings(m_dir.filePath(QStringLiteral("host.ini")), QSettings::IniFormat)
    {
    }

    QSettings *settings() { return &m_settings; }

    void setValues(const QVariant &framesCount, const QVariant &postSnap, const QVariant &preSnap)
    {
        m_settings.beginGroup(QStringLiteral("Orbisto"));
        m_settings.setValue(QStringLiteral("framesCount"), framesCount);
        m_settings.setValue(QStringLiteral("postSnap"), postSnap);
        m_settings.setValue(QStringLiteral("preSnap"), preSnap);
        m_settings.endGroup();
    }

private:
    QTemporaryDir m_dir;
    QSettings m_settings;
};

inline void loadValues(COrbisto &controller, int framesCount, int postSnap, int preSnap)
{
    SettingsFile file;
    file.setValues(framesCount, postSnap, preSnap);
    controller.loadSettings(file.settings());
}

// Starts a capture without delays and takes its first picture, so that the
// controller turns the table next; requests spies on snapActionRequired.
inline bool takeFirstPicture(COrbisto &controller, QSignalSpy &requests)
{
    loadValues(controller, 24, 0, 0);
    if (!controller.startCapture() || !requests.wait())
        return false;
    controller.snapTaken(1);
    return true;
}

// Presses Start or Stop in a dialog of the controller's, as a user does; the
// dialog asks the device for its information first.
inline std::unique_ptr<QWidget> pressRotation(COrbisto &controller, const QByteArray &presses)
{
    std::unique_ptr<QWidget> dialog(controller.createSettingsWidget());
    for (char press : presses)
        press == 'r' ? controller.onStartRotation() : controller.onStopRotation();
    return dialog;
}

// The message a save reports without touching any store.
inline QString saveMessage(COrbisto &controller)
{
    QString message;
    controller.saveSettings(nullptr, message);
    return message;
}

const QString kNotDetected = QStringLiteral("The Orbisto turntable was not detected.");
const QString kStopRotationFirst = QStringLiteral("Stop the permanent rotation first.");
const QString kFramesRange = QStringLiteral("Frames count value must be in the range of 2-72.");

#endif // TESTSUPPORT_H
