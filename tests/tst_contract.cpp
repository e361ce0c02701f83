#include "TestSupport.h"

#include <QMetaMethod>
#include <QSignalSpy>
#include <QTimerEvent>
#include <QWidget>

// A controller that only has the contract's own behaviour.
class BareController : public CAbstractTurntableController
{
public:
    QWidget *createSettingsWidget() override { return nullptr; }
    quint16 framesCount() override { return 0; }
    bool startCapture() override { return false; }
};

class tst_Contract : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectHasTwoSignalsAndNothingElse();
    void controllerAddsNoMetaObject();
    void castsByName_data();
    void castsByName();
    void invokesSignalsByIndex_data();
    void invokesSignalsByIndex();
    void timerEventRequestsASnap();
    void baseOperationsChangeNothing();
    void answersInterfaceRevisionTwo();
    void libraryRegistersControllerByName();
};

void tst_Contract::metaObjectHasTwoSignalsAndNothingElse()
{
    const QMetaObject &meta = CAbstractTurntableController::staticMetaObject;
    QCOMPARE(meta.className(), "CAbstractTurntableController");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 2);
    const QByteArray signatures[] = {"snapActionRequired()", "finished()"};
    for (int i = 0; i < 2; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), signatures[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Signal);
        QCOMPARE(method.access(), QMetaMethod::Public);
        QCOMPARE(method.parameterCount(), 0);
    }
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
    QCOMPARE(meta.constructorCount(), 0);
}

void tst_Contract::controllerAddsNoMetaObject()
{
    COrbisto controller(QList<SerialPortCandidate>{});
    QCOMPARE(controller.metaObject(), &CAbstractTurntableController::staticMetaObject);
    QCOMPARE(controller.metaObject()->className(), "CAbstractTurntableController");
}

void tst_Contract::castsByName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("isSelf");
    QTest::newRow("contract class") << QByteArray("CAbstractTurntableController") << true;
    QTest::newRow("QObject") << QByteArray("QObject") << true;
    QTest::newRow("concrete class is unknown") << QByteArray("COrbisto") << false;
    QTest::newRow("other class") << QByteArray("QWidget") << false;
    QTest::newRow("null name") << QByteArray() << false;
}

void tst_Contract::castsByName()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, isSelf);
    COrbisto controller(QList<SerialPortCandidate>{});
    void *cast = controller.qt_metacast(name.isNull() ? nullptr : name.constData());
    QCOMPARE(cast, isSelf ? static_cast<void *>(&controller) : nullptr);
}

void tst_Contract::invokesSignalsByIndex_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("snapActionRequired") << 0;
    QTest::newRow("finished") << 1;
}

void tst_Contract::invokesSignalsByIndex()
{
    QFETCH(int, index);
    COrbisto controller(QList<SerialPortCandidate>{});
    QSignalSpy snapSpy(&controller, &CAbstractTurntableController::snapActionRequired);
    QSignalSpy finishedSpy(&controller, &CAbstractTurntableController::finished);
    QVERIFY(snapSpy.isValid() && finishedSpy.isValid());

    const QMetaMethod signal = index == 0
        ? QMetaMethod::fromSignal(&CAbstractTurntableController::snapActionRequired)
        : QMetaMethod::fromSignal(&CAbstractTurntableController::finished);
    QCOMPARE(signal.methodIndex() - CAbstractTurntableController::staticMetaObject.methodOffset(), index);

    controller.qt_metacall(QMetaObject::InvokeMetaMethod, signal.methodIndex(), nullptr);
    QCOMPARE(snapSpy.count(), index == 0 ? 1 : 0);
    QCOMPARE(finishedSpy.count(), index == 1 ? 1 : 0);
}

void tst_Contract::timerEventRequestsASnap()
{
    COrbisto controller(QList<SerialPortCandidate>{});
    QSignalSpy spy(&controller, &CAbstractTurntableController::snapActionRequired);
    QVERIFY(spy.isValid());
    QTimerEvent event(4711);
    QCoreApplication::sendEvent(&controller, &event);
    QCOMPARE(spy.count(), 1);

    // A real timer's every tick asks for a picture.
    const int timerId = controller.startTimer(1);
    QTRY_VERIFY(spy.count() >= 3);
    controller.killTimer(timerId);
}

void tst_Contract::baseOperationsChangeNothing()
{
    BareController controller;
    SettingsFile store;
    store.setValues(24, 3, 2);
    QString message = QStringLiteral("untouched");
    QVERIFY(controller.saveSettings(store.settings(), message));
    QCOMPARE(message, QStringLiteral("untouched"));
    controller.loadSettings(store.settings());
    QSignalSpy snapSpy(&controller, &CAbstractTurntableController::snapActionRequired);
    QSignalSpy finishedSpy(&controller, &CAbstractTurntableController::finished);
    QVERIFY(snapSpy.isValid() && finishedSpy.isValid());
    controller.snapTaken(1);
    QCOMPARE(snapSpy.count() + finishedSpy.count(), 0);
    QCOMPARE(controller.interfaceRevision(), 2);
}

void tst_Contract::answersInterfaceRevisionTwo()
{
    TurntableRig rig;
    CAbstractTurntableController *contract = rig.controller.get();
    QCOMPARE(contract->interfaceRevision(), 2);
}

void tst_Contract::libraryRegistersControllerByName()
{
    if (realTurntableConnected())
        QSKIP("a real turntable is connected; the loaded plug-in would drive it");

    QLibrary library;
    const PluginEntry registerController = loadPluginEntry(library);
    QVERIFY2(registerController, qPrintable(library.errorString()));

    std::unique_ptr<CAbstractTurntableController> first(registerController());
    std::unique_ptr<CAbstractTurntableController> second(registerController());
    QVERIFY(first && second);
    QVERIFY(first != second);
    QCOMPARE(first->interfaceRevision(), 2);
    // Host and plug-in agree on the contract's type.
    QCOMPARE(qobject_cast<CAbstractTurntableController *>(first.get()), first.get());
    QSignalSpy spy(first.get(), &CAbstractTurntableController::snapActionRequired);
    QVERIFY(spy.isValid());
    QTimerEvent event(1);
    QCoreApplication::sendEvent(first.get(), &event);
    QCOMPARE(spy.count(), 1);

    // Nothing is connected here, so the controller found no turntable.
    QString message;
    QVERIFY(!first->saveSettings(nullptr, message));
    QCOMPARE(message, kNotDetected);
    QVERIFY(!first->startCapture());
}

QTEST_MAIN(tst_Contract)
#include "tst_contract.moc"
