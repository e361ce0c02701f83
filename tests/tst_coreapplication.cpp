#include "TestSupport.h"

#include <QApplication>

// A host without widgets: this process runs a QCoreApplication only, and Qt
// aborts a process that builds a widget without a QApplication.
class tst_CoreApplication : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void entryGivesControllerWithoutWidget();
    void givesNoSettingsWidget_data();
    void givesNoSettingsWidget();
};

void tst_CoreApplication::initTestCase()
{
    QVERIFY(QCoreApplication::instance());
    QVERIFY(!qobject_cast<QApplication *>(QCoreApplication::instance()));
}

void tst_CoreApplication::entryGivesControllerWithoutWidget()
{
    if (realTurntableConnected())
        QSKIP("a real turntable is connected; the loaded plug-in would drive it");
    QLibrary library;
    const PluginEntry registerController = loadPluginEntry(library);
    QVERIFY2(registerController, qPrintable(library.errorString()));
    std::unique_ptr<CAbstractTurntableController> controller(registerController());
    QVERIFY(controller);
    QCOMPARE(controller->createSettingsWidget(), static_cast<QWidget *>(nullptr));
}

void tst_CoreApplication::givesNoSettingsWidget_data()
{
    QTest::addColumn<bool>("withTurntable");
    QTest::newRow("no turntable") << false;
    QTest::newRow("turntable") << true;
}

void tst_CoreApplication::givesNoSettingsWidget()
{
    QFETCH(bool, withTurntable);
    SimulatedTurntable turntable;
    COrbisto controller(withTurntable ? QList<SerialPortCandidate>{turntable.candidate()}
                                      : QList<SerialPortCandidate>{});
    const QByteArray enabled = withTurntable ? QByteArray("#e1.") : QByteArray();
    QTRY_COMPARE(turntable.received(), enabled);
    QCOMPARE(controller.createSettingsWidget(), static_cast<QWidget *>(nullptr));
    // No dialog, so no information request either.
    QVERIFY(!QTest::qWaitFor([&] { return turntable.received() != enabled; }, 200));
}

QTEST_GUILESS_MAIN(tst_CoreApplication)
#include "tst_coreapplication.moc"
