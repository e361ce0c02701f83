// A host that links its own copy of the contract class but does not export it,
// as an executable built without -rdynamic does. The plug-in then resolves the
// class to its own copy, and the host and the plug-in hold two meta-objects of
// one class. This records what still works across the two.

#include "CAbstractTurntableController.h"

#include <QLibrary>
#include <QSerialPortInfo>
#include <QTest>
#include <QTimerEvent>

#include <dlfcn.h>
#include <memory>

class tst_UnexportedHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void castsByClassNameOnly();
    void connects_data();
    void connects();

private:
    // The library first, so that the controller goes before it.
    QLibrary m_library{QStringLiteral(ORBISTO_PLUGIN_FILE)};
    std::unique_ptr<CAbstractTurntableController> m_controller;
};

void tst_UnexportedHost::initTestCase()
{
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.manufacturer().startsWith(QLatin1String("STMicroelectronics")))
            QSKIP("a real turntable is connected; the loaded plug-in would drive it");
    }
    // The premise: this program's copy of the class is invisible to the plug-in.
    void *self = dlopen(nullptr, RTLD_NOW);
    QVERIFY(self);
    QVERIFY(!dlsym(self, "_ZN28CAbstractTurntableController16staticMetaObjectE"));
    dlclose(self);

    QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
    using Register = CAbstractTurntableController *(*)();
    auto registerController = reinterpret_cast<Register>(m_library.resolve("NXSDK_RegisterTurntableController"));
    QVERIFY(registerController);
    m_controller.reset(registerController());
    QVERIFY(m_controller);
    // Virtual calls go through the plug-in's virtual table and work either way.
    QCOMPARE(m_controller->interfaceRevision(), 2);
}

void tst_UnexportedHost::castsByClassNameOnly()
{
    QObject *object = m_controller.get();
    QVERIFY(object->metaObject() != &CAbstractTurntableController::staticMetaObject);
    // qobject_cast compares meta-object addresses; the class name still matches.
    QCOMPARE(qobject_cast<CAbstractTurntableController *>(object), nullptr);
    QVERIFY(object->inherits("CAbstractTurntableController"));
}

class SignalCounter : public QObject
{
    Q_OBJECT

public:
    int requests = 0;
    int finishes = 0;

public slots:
    void onSnapActionRequired() { ++requests; }
    void onFinished() { ++finishes; }
};

void tst_UnexportedHost::connects_data()
{
    QTest::addColumn<bool>("bySignature");
    // The host's copy finds the signal's index, and both copies number the signals alike.
    QTest::newRow("by member-function pointer") << false;
    QTest::newRow("by signature") << true;
}

void tst_UnexportedHost::connects()
{
    QFETCH(bool, bySignature);
    CAbstractTurntableController *controller = m_controller.get();
    SignalCounter counter;
    if (bySignature) {
        QVERIFY(connect(controller, SIGNAL(snapActionRequired()), &counter, SLOT(onSnapActionRequired())));
        QVERIFY(connect(controller, SIGNAL(finished()), &counter, SLOT(onFinished())));
    } else {
        QVERIFY(connect(controller, &CAbstractTurntableController::snapActionRequired, &counter,
                        &SignalCounter::onSnapActionRequired));
        QVERIFY(connect(controller, &CAbstractTurntableController::finished, &counter, &SignalCounter::onFinished));
    }
    // Every timer event asks for a picture. Without a turntable no capture
    // runs to its end, so the plug-in's own signal function is invoked through
    // its own meta-object.
    QTimerEvent event(1);
    QCoreApplication::sendEvent(controller, &event);
    QVERIFY(QMetaObject::invokeMethod(controller, "finished"));
    QCOMPARE(counter.requests, 1);
    QCOMPARE(counter.finishes, 1);
}

QTEST_GUILESS_MAIN(tst_UnexportedHost)
#include "tst_unexportedhost.moc"
