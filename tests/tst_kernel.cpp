#include "GadgetRig.h"
#include "OrbistoPlatform.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLibrary>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QWidget>

namespace {

const QString kTurntableMaker = QStringLiteral("STMicroelectronics");
const QByteArray kEightFrameTurn = QByteArrayLiteral("#p630.");
// USB enumeration, udev and Qt all run in an emulated processor here.
const int kGuestWaitMs = 30000;

// The frames the device hears in an 8-frame capture; the line discipline may
// echo bytes that are no frames back to it around a close.
QList<QByteArray> eightFrameLog()
{
    QList<QByteArray> frames{QByteArrayLiteral("#e1.")};
    for (int turn = 0; turn < 7; ++turn)
        frames.append(kEightFrameTurn);
    frames.append(QByteArrayLiteral("#e0."));
    return frames;
}

} // namespace

// The shipped library on the real Linux USB stack: cdc_acm and udev see a USB
// gadget as they see the turntable, and the controller finds it through
// QSerialPortInfo. Runs in the guest of tests/check_kernel.sh; elsewhere it fails.
class tst_Kernel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void capturesEightFrames_data();
    void capturesEightFrames();
    void discoversGadgets_data();
    void discoversGadgets();
    void reportsUnplugAsDeviceGone();
    void pulledCableThenPluggedBackIn();
    void createsControllersOneAfterTheOther();
    void hostCapturesThenListsPorts();
    void measuresFrameTime();

private:
    std::unique_ptr<CAbstractTurntableController> createController(int frames = 8);
    // Takes every picture at once; ms from the first request to finished(), or -1.
    static qint64 runCapture(CAbstractTurntableController &controller);

    QLibrary m_library;
    PluginEntry m_entry = nullptr;
};

void tst_Kernel::initTestCase()
{
    const QString reason = GadgetRig::unavailableReason();
    QVERIFY2(reason.isEmpty(), qPrintable(reason));
    m_entry = loadPluginEntry(m_library);
    QVERIFY2(m_entry, qPrintable(m_library.errorString()));
}

std::unique_ptr<CAbstractTurntableController> tst_Kernel::createController(int frames)
{
    std::unique_ptr<CAbstractTurntableController> controller(m_entry());
    SettingsFile store;
    store.setValues(frames, 0, 0);
    controller->loadSettings(store.settings());
    return controller;
}

qint64 tst_Kernel::runCapture(CAbstractTurntableController &controller)
{
    int taken = 0;
    QElapsedTimer clock;
    QObject context;
    QObject::connect(&controller, &CAbstractTurntableController::snapActionRequired, &context, [&] {
        if (taken == 0)
            clock.start();
        controller.snapTaken(++taken);
    });
    QSignalSpy finished(&controller, &CAbstractTurntableController::finished);
    if (!finished.isValid() || !controller.startCapture() || !finished.wait(kGuestWaitMs))
        return -1;
    return taken == controller.framesCount() ? clock.elapsed() : -1;
}

void tst_Kernel::capturesEightFrames_data()
{
    // Bytes before each turn's "p630 Success\r\n"; a full-speed bulk packet carries 64.
    QTest::addColumn<int>("filler");
    QTest::newRow("answers in one packet") << 0;
    QTest::newRow("\"Success\" split across two packets") << 56;
    QTest::newRow("\"Success\" in the third packet") << 150;
}

void tst_Kernel::capturesEightFrames()
{
    QFETCH(int, filler);
    GadgetRig rig({GadgetRig::Turntable()});
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    SimulatedTurntable::Fault longAnswer;
    longAnswer.garbage = QByteArray(filler, '~');
    rig.turntable(0).setFault('p', longAnswer);
    auto controller = createController();
    QVERIFY(runCapture(*controller) >= 0);
    controller.reset();
    QTRY_COMPARE_WITH_TIMEOUT(rig.turntable(0).frames(), eightFrameLog(), kGuestWaitMs);
}

void tst_Kernel::discoversGadgets_data()
{
    QTest::addColumn<QStringList>("makers");
    QTest::addColumn<int>("used");
    QTest::newRow("another maker, the turntable's vendor id") << QStringList{QStringLiteral("OtherCorp")} << -1;
    QTest::newRow("two turntables: the last in the system's order") << QStringList{kTurntableMaker, kTurntableMaker}
                                                                     << 1;
}

void tst_Kernel::discoversGadgets()
{
    QFETCH(QStringList, makers);
    QFETCH(int, used);
    QList<GadgetRig::Turntable> turntables;
    for (const QString &maker : makers) {
        turntables.append(GadgetRig::Turntable());
        turntables.last().manufacturer = maker;
    }
    GadgetRig rig(turntables);
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    auto controller = createController();
    const std::unique_ptr<QWidget> widget(controller->createSettingsWidget());
    QCOMPARE(widget->children().isEmpty(), used < 0);
    QString message;
    QCOMPARE(controller->saveSettings(nullptr, message), used >= 0);
    QCOMPARE(message, used < 0 ? kNotDetected : QString());
    controller.reset();

    for (int i = 0; i < makers.size(); ++i) {
        const SimulatedTurntable &turntable = rig.turntable(i);
        if (makers.at(i) != kTurntableMaker) {
            QVERIFY(!GadgetRig::waitUntil([&] { return !turntable.received().isEmpty(); }, 1000));
            continue;
        }
        QCOMPARE(rig.hostNode(i), QStringLiteral("/dev/ttyACM%1").arg(i));
        const QList<QByteArray> expected = i == used ? QList<QByteArray>{"#e1.", "#i1.", "#e0."}
                                                     : QList<QByteArray>{"#e1.", "#e0."};
        QTRY_COMPARE_WITH_TIMEOUT(turntable.frames(), expected, kGuestWaitMs);
    }
}

// What QSerialPort reports as cdc_acm loses the device; tst_platform keeps it as a row.
void tst_Kernel::reportsUnplugAsDeviceGone()
{
    GadgetRig rig({GadgetRig::Turntable()});
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    QSerialPort port(rig.hostNode(0));
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QStringList seen;
    connect(&port, &QSerialPort::errorOccurred, this, [&](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::NoError || !port.isOpen())
            return;
        const bool hungUp = OrbistoPlatform::lineHungUp(port);
        seen << QStringLiteral("%1 (%2, line %3)").arg(QVariant::fromValue(error).toString(), port.errorString(),
                                                       hungUp ? QStringLiteral("hung up") : QStringLiteral("up"));
        if (OrbistoPlatform::isDeviceGone(error, hungUp, OrbistoPlatform::Platform::Linux))
            port.close();
    });
    QVERIFY(rig.unplug(0));
    const bool letGo = GadgetRig::waitUntil([&] { return !port.isOpen(); }, kGuestWaitMs);
    qInfo("QSerialPort on the unplug: %s", qPrintable(seen.isEmpty() ? QStringLiteral("nothing") : seen.join(", then ")));
    QVERIFY2(letGo, "no error reported on the unplug was taken for a gone device");
}

void tst_Kernel::pulledCableThenPluggedBackIn()
{
    GadgetRig rig({GadgetRig::Turntable()});
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    const QString node = rig.hostNode(0);
    auto controller = createController();
    const std::unique_ptr<QWidget> first(controller->createSettingsWidget());
    const std::unique_ptr<QWidget> second(controller->createSettingsWidget());
    QSignalSpy requests(controller.get(), &CAbstractTurntableController::snapActionRequired);
    QVERIFY(requests.isValid());
    QVERIFY(controller->startCapture());
    for (int picture = 1; picture <= 3; ++picture) {
        QTRY_COMPARE_WITH_TIMEOUT(requests.count(), picture, kGuestWaitMs);
        controller->snapTaken(picture);
    }

    // Pulled while the third turn is on its way.
    QVERIFY(rig.unplug(0));
    QString message;
    QTRY_VERIFY_WITH_TIMEOUT(!controller->saveSettings(nullptr, message) && message == kNotDetected, kGuestWaitMs);
    QVERIFY(!isHeldOpen(node));
    const double cpuSeconds = cpuSecondsOverEventLoop(1000);
    QVERIFY2(cpuSeconds < 1.0 / 3, qPrintable(QStringLiteral("%1 s of CPU in 1 s idle").arg(cpuSeconds)));
    for (const QWidget *dialog : {first.get(), second.get()}) {
        const auto *label = child<QLabel>(dialog, "deviceInfoLabel");
        QVERIFY(label && label->text() == kNotDetected);
    }

    // Plugged back in: the node is free for reuse, and a new controller finds the turntable.
    QVERIFY2(rig.plugIn(0), qPrintable(rig.errorString()));
    QCOMPARE(rig.hostNode(0), node);
    auto replacement = createController();
    QString replacementMessage;
    QVERIFY2(replacement->saveSettings(nullptr, replacementMessage), qPrintable(replacementMessage));
    QTRY_COMPARE_WITH_TIMEOUT(rig.turntable(0).frames(), QList<QByteArray>{"#e1."}, kGuestWaitMs);
    controller.reset();
    replacement.reset();
    QTRY_COMPARE_WITH_TIMEOUT(rig.turntable(0).frames(), (QList<QByteArray>{"#e1.", "#e0."}), kGuestWaitMs);
}

// Once, a second host started right after the first had ended found no turntable.
void tst_Kernel::createsControllersOneAfterTheOther()
{
    GadgetRig rig({GadgetRig::Turntable()});
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    QList<QByteArray> expected;
    for (int round = 1; round <= 2; ++round) {
        auto controller = createController();
        QString message;
        QVERIFY2(controller->saveSettings(nullptr, message), qPrintable(QStringLiteral("controller %1: %2").arg(round).arg(message)));
        controller.reset();
        expected << "#e1." << "#e0.";
        QTRY_COMPARE_WITH_TIMEOUT(rig.turntable(0).frames(), expected, kGuestWaitMs);
    }
}

// Two hosts, one right after the other, as a photographer runs them.
void tst_Kernel::hostCapturesThenListsPorts()
{
    GadgetRig rig({GadgetRig::Turntable()});
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    qRegisterMetaType<QProcess::ExitStatus>();
    const auto runHost = [&](const QStringList &arguments, QString *output) {
        QProcess host;
        QSignalSpy exited(&host, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        host.start(QStringLiteral(ORBISTO_HOST_FILE), arguments);
        // This process serves the turntable meanwhile.
        const bool ended = exited.isValid() && exited.wait(2 * kGuestWaitMs);
        *output = QString::fromLocal8Bit(host.readAllStandardOutput() + host.readAllStandardError());
        return ended && host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0;
    };
    QString output;
    const QStringList capture{QStringLiteral("--plugin"), m_library.fileName(), QStringLiteral("--frames"),
                              QStringLiteral("8"), QStringLiteral("--timeout"), QStringLiteral("60")};
    QVERIFY2(runHost(capture, &output), qPrintable(output));
    QTRY_COMPARE_WITH_TIMEOUT(rig.turntable(0).frames(), eightFrameLog(), kGuestWaitMs);

    QVERIFY2(runHost({QStringLiteral("--list-ports")}, &output), qPrintable(output));
    const QString node = rig.hostNode(0);
    QVERIFY2(output.contains(node + QStringLiteral("  STMicroelectronics  0483:5740")), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("would take ") + node), qPrintable(output));
}

// Figures for the README, over USB and over a pty in one guest; no timing fails.
void tst_Kernel::measuresFrameTime()
{
    const int frames = 24;
    GadgetRig rig({GadgetRig::Turntable()});
    SimulatedTurntable pty;
    QVERIFY2(rig.isReady() && pty.isOpen(), qPrintable(rig.errorString() + pty.errorString()));
    auto overUsb = createController(frames);
    COrbisto overPty(QList<SerialPortCandidate>{pty.candidate()});
    loadValues(overPty, frames, 0, 0);
    const qint64 usbMs = runCapture(*overUsb);
    const qint64 ptyMs = runCapture(overPty);
    QVERIFY2(usbMs >= 0 && ptyMs >= 0, qPrintable(QStringLiteral("USB %1 ms, pty %2 ms").arg(usbMs).arg(ptyMs)));
    qInfo("frame time, %d frames without delays: %.2f ms over USB (cdc_acm), %.2f ms over a pty", frames,
          double(usbMs) / (frames - 1), double(ptyMs) / (frames - 1));
}

QTEST_MAIN(tst_Kernel)
#include "tst_kernel.moc"
