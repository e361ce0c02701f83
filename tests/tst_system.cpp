#include "SystemRig.h"
#include "TestSupport.h"

#include <QApplication>
#include <QLibrary>
#include <QProcess>
#include <QSignalSpy>
#include <QWidget>

#include <unistd.h>
#include <vector>

namespace {

const QString kOtherMaker = QStringLiteral("FTDI");
const QString kTurntableMaker = QStringLiteral("STMicroelectronics");
const QByteArray kEightFrameTurn = QByteArrayLiteral("#p630.");

// How a listed port's device node looks.
const QString kTerminal = QStringLiteral("terminal");
const QString kNodeGone = QStringLiteral("gone");
const QString kNotTerminal = QStringLiteral("not a terminal");

// Turntables with the makers and nodes given, each on a simulated device.
struct Devices
{
    std::vector<std::unique_ptr<SimulatedTurntable>> turntables;
    QList<SystemRig::Device> shown;

    Devices(const QStringList &makers, const QStringList &nodes)
    {
        for (int i = 0; i < makers.size(); ++i) {
            turntables.push_back(std::make_unique<SimulatedTurntable>());
            SystemRig::Device device;
            device.manufacturer = makers.at(i);
            if (makers.at(i) != kTurntableMaker)
                device.vendorId = 0x0403;
            const QString node = nodes.value(i, kTerminal);
            if (node == kTerminal)
                device.node = turntables.back()->systemLocation();
            else if (node == kNotTerminal)
                device.node = QStringLiteral("/dev/null");
            shown.append(device);
        }
    }
};

// One turntable shown to the system, and a controller from the shipped
// library that found it, holding eight frames.
struct ShippedTurntable
{
    Devices devices{{kTurntableMaker}, {}};
    SystemRig rig{devices.shown};
    SettingsFile store;
    std::unique_ptr<CAbstractTurntableController> controller;

    SimulatedTurntable &turntable() { return *devices.turntables.front(); }
};

} // namespace

// The shipped library on the path a photographer's machine takes: loaded with
// QLibrary, asked for a controller through its exported entry, finding the
// turntable through the system's own serial-port enumeration. The simulated
// turntables appear there as USB devices inside this process's private mount
// namespace, which needs root.
class tst_System : public QObject
{
    Q_OBJECT

public:
    explicit tst_System(const QString &namespaceError)
        : m_namespaceError(namespaceError)
    {
    }

private slots:
    void initTestCase();
    void capturesThroughShippedLibrary();
    void discoversThroughSystemEnumeration_data();
    void discoversThroughSystemEnumeration();
    void pulledCableLeavesNoTurntable();
    void hostCapturesOnShippedLibrary();

private:
    std::unique_ptr<CAbstractTurntableController> createController();
    // A turntable found by a controller of the shipped library, which holds eight frames.
    bool setUp(ShippedTurntable &shipped);

    QString m_namespaceError;
    QLibrary m_library{QStringLiteral(ORBISTO_PLUGIN_FILE)};
};

void tst_System::initTestCase()
{
    if (!m_namespaceError.isEmpty()) {
        // Root can always run the rig, so a failure there is a fault, never a skip.
        if (::geteuid() == 0)
            QFAIL(qPrintable(m_namespaceError));
        QSKIP(qPrintable(m_namespaceError));
    }
    QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
    QVERIFY(m_library.resolve("NXSDK_RegisterTurntableController"));
}

std::unique_ptr<CAbstractTurntableController> tst_System::createController()
{
    using Register = CAbstractTurntableController *(*)();
    const auto registerController =
        reinterpret_cast<Register>(m_library.resolve("NXSDK_RegisterTurntableController"));
    return std::unique_ptr<CAbstractTurntableController>(registerController());
}

bool tst_System::setUp(ShippedTurntable &shipped)
{
    if (!shipped.rig.isReady()) {
        qWarning("%s", qPrintable(shipped.rig.errorString()));
        return false;
    }
    shipped.controller = createController();
    if (!shipped.controller)
        return false;
    shipped.store.setValues(8, 0, 0);
    shipped.controller->loadSettings(shipped.store.settings());
    return true;
}

void tst_System::capturesThroughShippedLibrary()
{
    ShippedTurntable shipped;
    QVERIFY(setUp(shipped));
    auto &controller = shipped.controller;

    QSignalSpy requests(controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy finished(controller.get(), &CAbstractTurntableController::finished);
    QVERIFY(requests.isValid() && finished.isValid());
    QVERIFY(controller->startCapture());
    for (int picture = 1; picture <= 8; ++picture) {
        QTRY_COMPARE(requests.count(), picture);
        controller->snapTaken(picture);
    }
    QCOMPARE(finished.count(), 1);
    QCOMPARE(requests.count(), 8);

    controller.reset();
    const SimulatedTurntable &turntable = shipped.turntable();
    QTRY_COMPARE(turntable.frames().size(), 9);
    QCOMPARE(turntable.frames().count(kEightFrameTurn), 7);
    QCOMPARE(turntable.frames().front(), QByteArray("#e1."));
    QCOMPARE(turntable.frames().back(), QByteArray("#e0."));
}

void tst_System::discoversThroughSystemEnumeration_data()
{
    QTest::addColumn<QStringList>("makers");
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QList<bool>>("enabled");
    QTest::addColumn<int>("used");
    QTest::newRow("another maker's port")
        << QStringList{kOtherMaker} << QStringList() << QList<bool>{false} << -1;
    QTest::newRow("two turntables")
        << QStringList{kTurntableMaker, kTurntableMaker} << QStringList() << QList<bool>{true, true} << 1;
    QTest::newRow("last turntable's node gone")
        << QStringList{kTurntableMaker, kTurntableMaker} << QStringList{kTerminal, kNodeGone}
        << QList<bool>{true, false} << -1;
    QTest::newRow("last turntable's node not a terminal")
        << QStringList{kTurntableMaker, kTurntableMaker} << QStringList{kTerminal, kNotTerminal}
        << QList<bool>{true, false} << -1;
}

void tst_System::discoversThroughSystemEnumeration()
{
    QFETCH(QStringList, makers);
    QFETCH(QStringList, nodes);
    QFETCH(QList<bool>, enabled);
    QFETCH(int, used);
    Devices devices(makers, nodes);
    SystemRig rig(devices.shown);
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    auto controller = createController();
    QVERIFY(controller);
    for (int i = 0; i < makers.size(); ++i) {
        if (enabled.at(i))
            QTRY_COMPARE(devices.turntables.at(i)->received(), QByteArray("#e1."));
    }

    // The settings widget asks the turntable in use for its information.
    const std::unique_ptr<QWidget> widget(controller->createSettingsWidget());
    QCOMPARE(widget->children().isEmpty(), used < 0);
    SettingsFile store;
    QString message;
    QCOMPARE(controller->saveSettings(store.settings(), message), false);
    QCOMPARE(message, used < 0 ? kNotDetected : kFramesRange);

    // Every port that was enabled is told goodbye; the others never hear a byte.
    controller.reset();
    for (int i = 0; i < makers.size(); ++i) {
        const SimulatedTurntable &turntable = *devices.turntables.at(i);
        if (enabled.at(i)) {
            const QByteArray expected = i == used ? "#e1.#i1.#e0." : "#e1.#e0.";
            QTRY_COMPARE(turntable.received(), expected);
        } else {
            QVERIFY(!QTest::qWaitFor([&] { return !turntable.received().isEmpty(); }, 200));
        }
    }
}

void tst_System::pulledCableLeavesNoTurntable()
{
    ShippedTurntable shipped;
    QVERIFY(setUp(shipped));
    auto &controller = shipped.controller;
    QTRY_COMPARE(shipped.turntable().received(), QByteArray("#e1."));

    shipped.turntable().hangUp();
    QString message;
    QTRY_VERIFY(!controller->saveSettings(shipped.store.settings(), message) && message == kNotDetected);
    const double cpuSeconds = cpuSecondsOverEventLoop(1000);
    QVERIFY2(cpuSeconds < 1.0 / 3, qPrintable(QStringLiteral("%1 s of CPU in 1 s idle").arg(cpuSeconds)));
    QVERIFY(!controller->startCapture());
    const std::unique_ptr<QWidget> widget(controller->createSettingsWidget());
    QVERIFY(widget->children().isEmpty());
}

void tst_System::hostCapturesOnShippedLibrary()
{
    Devices devices({kTurntableMaker}, {});
    SystemRig rig(devices.shown);
    QVERIFY2(rig.isReady(), qPrintable(rig.errorString()));
    // The host runs in this namespace and sees the same USB device; this
    // process serves the simulated turntable meanwhile.
    qRegisterMetaType<QProcess::ExitStatus>();
    QProcess host;
    QSignalSpy exited(&host, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QVERIFY(exited.isValid());
    host.start(QStringLiteral(ORBISTO_HOST_FILE),
               {QStringLiteral("--plugin"), m_library.fileName(), QStringLiteral("--frames"),
                QStringLiteral("8"), QStringLiteral("--timeout"), QStringLiteral("20")});
    QVERIFY(exited.wait(60000));
    const QString output = QString::fromLocal8Bit(host.readAllStandardOutput() + host.readAllStandardError());
    QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0, qPrintable(output));
    const SimulatedTurntable &turntable = *devices.turntables.front();
    QTRY_VERIFY(turntable.received().endsWith("#e0."));
    QCOMPARE(turntable.frames().count(kEightFrameTurn), 7);
}

int main(int argc, char *argv[])
{
    // First, before anything starts a thread: the namespace is entered by the
    // calling thread only.
    QString namespaceError;
    SystemRig::enterPrivateNamespace(&namespaceError);
    QApplication app(argc, argv);
    tst_System test(namespaceError);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_system.moc"
