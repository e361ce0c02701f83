#include "HostPlatform.h"
#include "PortListing.h"

#include <QTemporaryFile>
#include <QTest>

#include <ctime>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

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
    // A settings file's modification time, whichever field the platform's stat record names.
    void readsModificationTimeOfEachLayout_data();
    void readsModificationTimeOfEachLayout();
};

namespace {

// A stat record's modification time in its two shapes: POSIX's and Apple's.
struct PosixStat
{
    timespec st_mtim;
};
struct AppleStat
{
    timespec st_mtimespec;
};

} // namespace

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

void tst_HostPlatform::readsModificationTimeOfEachLayout_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<int>("nanoseconds");
    QTest::addColumn<qint64>("expected");
    // Two edits within one second differ only in their nanoseconds; a time
    // past 2038 needs 64 bits before it is scaled.
    QTest::newRow("whole seconds") << qint64(1796900000) << 0 << Q_INT64_C(1796900000000000000);
    QTest::newRow("last nanosecond") << qint64(1796900000) << 999999999 << Q_INT64_C(1796900000999999999);
    QTest::newRow("past 2038") << qint64(4102444800) << 1 << Q_INT64_C(4102444800000000001);
}

void tst_HostPlatform::readsModificationTimeOfEachLayout()
{
    QFETCH(qint64, seconds);
    QFETCH(int, nanoseconds);
    QFETCH(qint64, expected);
    const timespec time{time_t(seconds), nanoseconds};
    QCOMPARE(HostPlatform::modifiedNanoseconds(PosixStat{time}), expected);
    QCOMPARE(HostPlatform::modifiedNanoseconds(AppleStat{time}), expected);
#ifdef Q_OS_UNIX
    // This system's own record, as it fills it in for a file given that time.
    QTemporaryFile file;
    QVERIFY(file.open());
    const timespec times[2] = {time, time};
    struct stat status = {};
    QVERIFY(futimens(file.handle(), times) == 0 && fstat(file.handle(), &status) == 0);
    QCOMPARE(HostPlatform::modifiedNanoseconds(status), expected);
#endif
}

QTEST_APPLESS_MAIN(tst_HostPlatform)
#include "tst_hostplatform.moc"
