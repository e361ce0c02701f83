#include "PortListing.h"

#include <QTest>

// What the port listing says of a port that carries the turntable maker's
// vendor id under another maker's name, on each system.
class tst_PortListing : public QObject
{
    Q_OBJECT

private slots:
    void notesForeignMakerOfTurntableVendor_data();
    void notesForeignMakerOfTurntableVendor();
};

void tst_PortListing::notesForeignMakerOfTurntableVendor_data()
{
    QTest::addColumn<bool>("windows");
    QTest::addColumn<bool>("hasVendorId");
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("note");
    const QString driverNote = QStringLiteral(
        "vendor id 0483 is STMicroelectronics, but the driver names %1: the plug-in will not take this port; "
        "installing STMicroelectronics's virtual COM port driver fixes that");
    const QString portNote =
        QStringLiteral("vendor id 0483 is STMicroelectronics, but the port names %1: the plug-in will not take this port");

    QTest::newRow("windows: built-in driver's maker") << true << true << 0x0483 << "Microsoft"
                                                      << driverNote.arg("maker \"Microsoft\"");
    QTest::newRow("windows: no maker") << true << true << 0x0483 << "" << driverNote.arg("no maker");
    QTest::newRow("windows: the maker's driver") << true << true << 0x0483 << "STMicroelectronics" << "";
    QTest::newRow("windows: the maker's name in another case")
        << true << true << 0x0483 << "stmicroelectronics" << driverNote.arg("maker \"stmicroelectronics\"");
    QTest::newRow("windows: another vendor") << true << true << 0x0403 << "FTDI" << "";
    QTest::newRow("windows: no vendor id") << true << false << 0 << "Microsoft" << "";
    QTest::newRow("linux: another maker's board") << false << true << 0x0483 << "FTDI"
                                                  << portNote.arg("maker \"FTDI\"");
    QTest::newRow("linux: the turntable") << false << true << 0x0483 << "STMicroelectronics" << "";
    QTest::newRow("linux: another vendor") << false << true << 0x2341 << "Arduino" << "";
}

void tst_PortListing::notesForeignMakerOfTurntableVendor()
{
    QFETCH(bool, windows);
    QFETCH(bool, hasVendorId);
    QFETCH(int, vendorId);
    QFETCH(QString, manufacturer);
    QFETCH(QString, note);
    QCOMPARE(PortListing::makerNote(hasVendorId, quint16(vendorId), manufacturer, windows), note);
}

QTEST_APPLESS_MAIN(tst_PortListing)
#include "tst_portlisting.moc"
