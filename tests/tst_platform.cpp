#include "OrbistoPlatform.h"

#include <QTest>

using OrbistoPlatform::Platform;

Q_DECLARE_METATYPE(OrbistoPlatform::Platform)
Q_DECLARE_METATYPE(QList<SerialPortCandidate>)

class tst_Platform : public QObject
{
    Q_OBJECT

private slots:
    void decidesDeviceGone_data();
    void decidesDeviceGone();
    void choosesScanCandidates_data();
    void choosesScanCandidates();
};

namespace {

const QString kMaker = QStringLiteral("STMicroelectronics");

QStringList locations(const QList<SerialPortCandidate> &ports)
{
    QStringList found;
    for (const SerialPortCandidate &port : ports)
        found.append(port.systemLocation);
    return found;
}

} // namespace

void tst_Platform::decidesDeviceGone_data()
{
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<bool>("hungUp");
    QTest::addColumn<bool>("gone");
    const auto row = [](const QByteArray &name, Platform platform, QSerialPort::SerialPortError error, bool hungUp,
                        bool gone) { QTest::newRow(name.constData()) << platform << error << hungUp << gone; };

    for (const Platform unixLike : {Platform::Linux, Platform::MacOS}) {
        const QByteArray name = unixLike == Platform::Linux ? "linux" : "macos";
        row(name + ": resource error", unixLike, QSerialPort::ResourceError, false, true);
        row(name + ": read error, line hung up", unixLike, QSerialPort::ReadError, true, true);
        row(name + ": write error, line hung up", unixLike, QSerialPort::WriteError, true, true);
        row(name + ": read error, line up", unixLike, QSerialPort::ReadError, false, false);
        row(name + ": write error, line up", unixLike, QSerialPort::WriteError, false, false);
        row(name + ": permission error", unixLike, QSerialPort::PermissionError, false, false);
        row(name + ": unknown error", unixLike, QSerialPort::UnknownError, false, false);
        row(name + ": timeout, line hung up", unixLike, QSerialPort::TimeoutError, true, false);
        row(name + ": no error, line hung up", unixLike, QSerialPort::NoError, true, false);
    }
    // All QSerialPort reported as cdc_acm lost the device under an open port on
    // Debian's 6.1 kernel (tst_kernel): the read that found the line hung up.
    row(QByteArray("linux: cdc_acm unplug as seen: read error, line hung up"), Platform::Linux,
        QSerialPort::ReadError, true, true);
    row(QByteArray("windows: resource error (FTDI, PL2303)"), Platform::Windows, QSerialPort::ResourceError, false, true);
    row(QByteArray("windows: access denied on a pending read"), Platform::Windows, QSerialPort::PermissionError, false, true);
    row(QByteArray("windows: any other driver code"), Platform::Windows, QSerialPort::UnknownError, false, true);
    row(QByteArray("windows: device not found on a pending read"), Platform::Windows, QSerialPort::DeviceNotFoundError, false, true);
    row(QByteArray("windows: a read that cannot start"), Platform::Windows, QSerialPort::ReadError, false, true);
    row(QByteArray("windows: a write that cannot start"), Platform::Windows, QSerialPort::WriteError, false, true);
    row(QByteArray("windows: timeout"), Platform::Windows, QSerialPort::TimeoutError, false, false);
    row(QByteArray("windows: no error"), Platform::Windows, QSerialPort::NoError, false, false);
}

void tst_Platform::decidesDeviceGone()
{
    QFETCH(Platform, platform);
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(bool, hungUp);
    QFETCH(bool, gone);
    QCOMPARE(OrbistoPlatform::isDeviceGone(error, hungUp, platform), gone);
}

void tst_Platform::choosesScanCandidates_data()
{
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<QList<SerialPortCandidate>>("ports");
    QTest::addColumn<QStringList>("scanned");
    const SerialPortCandidate callOut{"/dev/cu.usbmodem1101", kMaker};
    const SerialPortCandidate callIn{"/dev/tty.usbmodem1101", kMaker};
    const SerialPortCandidate otherCallIn{"/dev/tty.usbmodem2201", kMaker};
    const SerialPortCandidate bluetooth{"/dev/cu.Bluetooth-Incoming-Port", QString()};

    QTest::newRow("macos: a pair keeps its cu node, whichever comes first")
        << Platform::MacOS << QList<SerialPortCandidate>{callIn, callOut, bluetooth}
        << QStringList{callOut.systemLocation, bluetooth.systemLocation};
    QTest::newRow("macos: cu node listed first")
        << Platform::MacOS << QList<SerialPortCandidate>{callOut, callIn} << QStringList{callOut.systemLocation};
    QTest::newRow("macos: two turntables keep both cu nodes, in order")
        << Platform::MacOS
        << QList<SerialPortCandidate>{callOut, callIn, {"/dev/cu.usbmodem2201", kMaker}, otherCallIn}
        << QStringList{callOut.systemLocation, "/dev/cu.usbmodem2201"};
    QTest::newRow("macos: a tty node without its twin stays")
        << Platform::MacOS << QList<SerialPortCandidate>{callOut, otherCallIn}
        << QStringList{callOut.systemLocation, otherCallIn.systemLocation};
    QTest::newRow("macos: twins of other makers are not a pair")
        << Platform::MacOS << QList<SerialPortCandidate>{callOut, {callIn.systemLocation, "FTDI"}}
        << QStringList{callOut.systemLocation, callIn.systemLocation};
    QTest::newRow("macos: no ports") << Platform::MacOS << QList<SerialPortCandidate>() << QStringList();
    QTest::newRow("linux: everything, in order")
        << Platform::Linux << QList<SerialPortCandidate>{callIn, callOut, {"/dev/ttyACM0", kMaker}}
        << QStringList{callIn.systemLocation, callOut.systemLocation, "/dev/ttyACM0"};
    QTest::newRow("windows: everything, in order")
        << Platform::Windows << QList<SerialPortCandidate>{{"COM3", kMaker}, {"COM4", kMaker}}
        << QStringList{"COM3", "COM4"};
}

void tst_Platform::choosesScanCandidates()
{
    QFETCH(Platform, platform);
    QFETCH(QList<SerialPortCandidate>, ports);
    QFETCH(QStringList, scanned);
    QCOMPARE(locations(OrbistoPlatform::scanCandidates(ports, platform)), scanned);
}

QTEST_APPLESS_MAIN(tst_Platform)
#include "tst_platform.moc"
