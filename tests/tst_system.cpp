#include "TestSupport.h"
#include "UsbTestbed.h"

#include <QApplication>
#include <QLibrary>
#include <QWidget>

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

const QString kTurntableMaker = QStringLiteral("STMicroelectronics");

// How a listed port's device node looks.
const QString kTerminal = QStringLiteral("terminal");
const QString kNodeGone = QStringLiteral("gone");
const QString kNotTerminal = QStringLiteral("not a terminal");

// Turntables with the makers and nodes given, each on a simulated device.
struct Devices
{
    std::vector<std::unique_ptr<SimulatedTurntable>> turntables;
    QList<UsbTestbed::Device> shown;

    Devices(const QStringList &makers, const QStringList &nodes)
    {
        for (int i = 0; i < makers.size(); ++i) {
            turntables.push_back(std::make_unique<SimulatedTurntable>());
            UsbTestbed::Device device;
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

} // namespace

// The shipped library on the path a photographer's machine takes: loaded with
// QLibrary, asked for a controller through its exported entry, finding the
// turntable through the system's own serial-port enumeration. The simulated
// turntables appear there as USB devices of a umockdev testbed, which this
// process sees through umockdev's preload library. Capture, makers and a pulled
// cable run on the kernel's own USB stack (tst_kernel); here remain nodes gone
// or not a terminal.
class tst_System : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void discoversThroughSystemEnumeration_data();
    void discoversThroughSystemEnumeration();

private:
    std::unique_ptr<CAbstractTurntableController> createController();

    QLibrary m_library{QStringLiteral(ORBISTO_PLUGIN_FILE)};
};

void tst_System::initTestCase()
{
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

void tst_System::discoversThroughSystemEnumeration_data()
{
    QTest::addColumn<QStringList>("makers");
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QList<bool>>("enabled");
    QTest::addColumn<int>("used");
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
    UsbTestbed testbed;
    for (const UsbTestbed::Device &device : devices.shown)
        QVERIFY2(testbed.add(device), qPrintable(testbed.errorString()));
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

int main(int argc, char *argv[])
{
    // The preload works only from a program's start: without it, start again
    // with it. Under valgrind that would leave valgrind behind.
    const QByteArray preload = qgetenv("LD_PRELOAD");
    if (!preload.contains(QByteArray(UsbTestbed::kPreload))) {
        if (preload.contains("vgpreload"))
            qFatal("under valgrind, set LD_PRELOAD=%s", UsbTestbed::kPreload);
        qputenv("LD_PRELOAD", UsbTestbed::preloadList(preload));
        ::execv("/proc/self/exe", argv);
        qFatal("cannot start again with %s: %s", UsbTestbed::kPreload, std::strerror(errno));
    }
    QApplication app(argc, argv);
    tst_System test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_system.moc"
