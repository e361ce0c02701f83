#include "HostPlatform.h"
#include "PortListing.h"

#include <QTest>

using HostPlatform::Platform;

Q_DECLARE_METATYPE(HostPlatform::Platform)
Q_DECLARE_METATYPE(OrbistoPlatform::Platform)
Q_DECLARE_METATYPE(QList<SerialPortCandidate>)

// The reference host's platform decisions, every platform's rows run here.
class tst_HostPlatform : public QObject
{
    Q_OBJECT

private slots:
    void snapCommandGoesThroughPlatformShell_data();
    void snapCommandGoesThroughPlatformShell();
    // What the port listing says of a port that carries the turntable
    // maker's vendor id under another maker's name.
    void notesForeignMakerOfTurntableVendor_data();
    void notesForeignMakerOfTurntableVendor();
    // The port the listing names is the one the plug-in's scan would take.
    void namesPortPluginTakes_data();
    void namesPortPluginTakes();
};

void tst_HostPlatform::snapCommandGoesThroughPlatformShell_data()
{
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("nativeArguments");
    const QString gphoto =
        QStringLiteral("gphoto2 --capture-image-and-download --filename \"frame-$ORBISTO_PICTURE.jpg\"");
    QTest::newRow("Unix: one argument for sh -c, quotes untouched")
        << Platform::Unix << gphoto << "/bin/sh" << QStringList{"-c", gphoto} << QString();
    // cmd does its own parsing: the line must reach it as typed.
    const QString copy = QStringLiteral("copy \"C:\\in put\\a.jpg\" frame-%ORBISTO_PICTURE%.jpg");
    QTest::newRow("Windows: cmd /c with the line as typed")
        << Platform::Windows << copy << "cmd.exe" << QStringList() << QStringLiteral("/c ") + copy;
}

void tst_HostPlatform::snapCommandGoesThroughPlatformShell()
{
    QFETCH(Platform, platform);
    QFETCH(QString, command);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, nativeArguments);
    const HostPlatform::ShellInvocation shell = HostPlatform::shellFor(platform, command);
    QCOMPARE(shell.program, program);
    QCOMPARE(shell.arguments, arguments);
    QCOMPARE(shell.nativeArguments, nativeArguments);
}

void tst_HostPlatform::notesForeignMakerOfTurntableVendor_data()
{
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<bool>("hasVendorId");
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("note");
    const QString driverNote = QStringLiteral(
        "vendor id 0483 is STMicroelectronics, but the driver names %1: the plug-in will not take this port; "
        "installing STMicroelectronics's virtual COM port driver fixes that");
    const QString portNote =
        QStringLiteral("vendor id 0483 is STMicroelectronics, but the port names %1: the plug-in will not take this port");

    QTest::newRow("Windows: built-in driver's maker") << Platform::Windows << true << 0x0483 << "Microsoft"
                                                      << driverNote.arg("maker \"Microsoft\"");
    QTest::newRow("Windows: no maker") << Platform::Windows << true << 0x0483 << "" << driverNote.arg("no maker");
    QTest::newRow("Windows: the maker's driver") << Platform::Windows << true << 0x0483 << "STMicroelectronics" << "";
    QTest::newRow("Windows: the maker's name in another case")
        << Platform::Windows << true << 0x0483 << "stmicroelectronics" << driverNote.arg("maker \"stmicroelectronics\"");
    QTest::newRow("Windows: another vendor") << Platform::Windows << true << 0x0403 << "FTDI" << "";
    QTest::newRow("Windows: no vendor id") << Platform::Windows << false << 0 << "Microsoft" << "";
    QTest::newRow("Unix: another maker's board") << Platform::Unix << true << 0x0483 << "FTDI"
                                                  << portNote.arg("maker \"FTDI\"");
    QTest::newRow("Unix: the turntable") << Platform::Unix << true << 0x0483 << "STMicroelectronics" << "";
    QTest::newRow("Unix: another vendor") << Platform::Unix << true << 0x2341 << "Arduino" << "";
}

void tst_HostPlatform::notesForeignMakerOfTurntableVendor()
{
    QFETCH(Platform, platform);
    QFETCH(bool, hasVendorId);
    QFETCH(int, vendorId);
    QFETCH(QString, manufacturer);
    QFETCH(QString, note);
    QCOMPARE(PortListing::makerNote(hasVendorId, quint16(vendorId), manufacturer, platform), note);
}

void tst_HostPlatform::namesPortPluginTakes_data()
{
    QTest::addColumn<OrbistoPlatform::Platform>("platform");
    QTest::addColumn<QList<SerialPortCandidate>>("ports");
    QTest::addColumn<int>("taken");
    const QString maker = QStringLiteral("STMicroelectronics");
    // Qt's enumeration on macOS lists a device's cu.* node, then its tty.* node.
    QTest::newRow("macos: the cu node, not its tty twin listed after it")
        << OrbistoPlatform::Platform::MacOS
        << QList<SerialPortCandidate>{{"/dev/cu.usbmodem1101", maker}, {"/dev/tty.usbmodem1101", maker}} << 0;
    QTest::newRow("linux: the last port of the maker")
        << OrbistoPlatform::Platform::Linux
        << QList<SerialPortCandidate>{{"/dev/ttyACM0", maker}, {"/dev/ttyACM1", maker}, {"/dev/ttyUSB0", "FTDI"}} << 1;
    QTest::newRow("windows: none of the maker")
        << OrbistoPlatform::Platform::Windows << QList<SerialPortCandidate>{{"COM3", "Microsoft"}} << -1;
}

void tst_HostPlatform::namesPortPluginTakes()
{
    QFETCH(OrbistoPlatform::Platform, platform);
    QFETCH(QList<SerialPortCandidate>, ports);
    QFETCH(int, taken);
    QCOMPARE(PortListing::portToTake(ports, platform), taken);
}

QTEST_APPLESS_MAIN(tst_HostPlatform)
#include "tst_hostplatform.moc"
