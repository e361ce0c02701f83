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
    void pluginKeepsItsOwnMetaObject();
    void qobjectCastFails();
    void castByClassNameWorks();
    void connectsByMemberFunctionPointer();
    void connectsBySignature();

private:
    // The library first, so that the controller goes before it.
    QLibrary m_library{QStringLiteral(ORBISTO_PLUGIN_FILE)};
    std::unique_ptr<CAbstractTurntableController> m_controller;
};

namespace {

// Makes the controller emit snapActionRequired() and then finished(): every
// timer event asks for a picture, and a new controller's frames count is 0.
void emitBothSignals(CAbstractTurntableController *controller)
{
    QTimerEvent event(1);
    QCoreApplication::sendEvent(controller, &event);
    controller->snapTaken(0);
}

} // namespace

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

void tst_UnexportedHost::pluginKeepsItsOwnMetaObject()
{
    const QMetaObject *pluginMeta = m_controller->metaObject();
    QVERIFY(pluginMeta != &CAbstractTurntableController::staticMetaObject);
    QCOMPARE(pluginMeta->className(), CAbstractTurntableController::staticMetaObject.className());
}

void tst_UnexportedHost::qobjectCastFails()
{
    // qobject_cast compares meta-object addresses.
    QObject *object = m_controller.get();
    QCOMPARE(qobject_cast<CAbstractTurntableController *>(object), nullptr);
    QVERIFY(!object->metaObject()->inherits(&CAbstractTurntableController::staticMetaObject));
}

void tst_UnexportedHost::castByClassNameWorks()
{
    // The remedy a host without exports has: the class name, then a static cast.
    QObject *object = m_controller.get();
    QVERIFY(object->inherits("CAbstractTurntableController"));
    QCOMPARE(static_cast<CAbstractTurntableController *>(object), m_controller.get());
}

void tst_UnexportedHost::connectsByMemberFunctionPointer()
{
    // The host's copy finds the signal's index, and both copies number the signals alike.
    int requests = 0;
    int finishes = 0;
    QObject receiver;
    QVERIFY(connect(m_controller.get(), &CAbstractTurntableController::snapActionRequired, &receiver,
                    [&] { ++requests; }));
    QVERIFY(connect(m_controller.get(), &CAbstractTurntableController::finished, &receiver,
                    [&] { ++finishes; }));
    emitBothSignals(m_controller.get());
    QCOMPARE(requests, 1);
    QCOMPARE(finishes, 1);
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

void tst_UnexportedHost::connectsBySignature()
{
    SignalCounter counter;
    QVERIFY(connect(m_controller.get(), SIGNAL(snapActionRequired()), &counter, SLOT(onSnapActionRequired())));
    QVERIFY(connect(m_controller.get(), SIGNAL(finished()), &counter, SLOT(onFinished())));
    emitBothSignals(m_controller.get());
    QCOMPARE(counter.requests, 1);
    QCOMPARE(counter.finishes, 1);
}

QTEST_GUILESS_MAIN(tst_UnexportedHost)
#include "tst_unexportedhost.moc"
