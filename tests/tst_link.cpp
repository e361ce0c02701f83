#include "TestSupport.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QWidget>

#include <climits>

class tst_Link : public QObject
{
    Q_OBJECT

private slots:
    void enablesTurntableOnOpen();
    void framesCommands_data();
    void framesCommands();
    void discovers_data();
    void discovers();
    void keepsLastOfTwoMatchingPorts();
    void keepsNoPortWhenLastFailsToOpen();
    void disablesAndClosesOnDestruction();
    void tracksRotationFromReplies_data();
    void tracksRotationFromReplies();
    void confirmsTurnOnce();
    void ignoresBytesReadBeforeTheTurn();
    void readsRotationWhenSupersededPortWakesIt();
    void staysIdleWithoutPort();
    void letsGoOfPortWhoseDeviceIsGone_data();
    void letsGoOfPortWhoseDeviceIsGone();
};

void tst_Link::enablesTurntableOnOpen()
{
    TurntableRig rig;
    QTRY_COMPARE(rig.turntable.received(), QByteArray::fromHex("2365312E"));
}

void tst_Link::framesCommands_data()
{
    QTest::addColumn<char>("letter");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("turn") << 'p' << 210 << QByteArray::fromHex("23703231302E");
    QTest::newRow("disable") << 'e' << 0 << QByteArray::fromHex("2365302E");
    QTest::newRow("negative") << 'p' << -70 << QByteArray("#p-70.");
    QTest::newRow("longest") << 'p' << INT_MIN << QByteArray("#p-2147483648.");
}

void tst_Link::framesCommands()
{
    QFETCH(char, letter);
    QFETCH(int, value);
    QFETCH(QByteArray, frame);
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    rig.controller->sendCommand(letter, value);
    QTRY_COMPARE(rig.turntable.received(), frame);
    // The device reads it as one whole frame.
    QCOMPARE(rig.turntable.frames(), QList<QByteArray>{frame});
}

void tst_Link::discovers_data()
{
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<bool>("taken");
    QTest::newRow("exact name") << QStringLiteral("STMicroelectronics") << true;
    QTest::newRow("name with suffix") << QStringLiteral("STMicroelectronics Virtual COM") << true;
    QTest::newRow("other letter case") << QStringLiteral("stmicroelectronics") << false;
    QTest::newRow("name not at start") << QStringLiteral("Made by STMicroelectronics") << false;
    QTest::newRow("no manufacturer") << QString() << false;
}

void tst_Link::discovers()
{
    QFETCH(QString, manufacturer);
    QFETCH(bool, taken);
    SimulatedTurntable turntable;
    COrbisto controller({{turntable.systemLocation(), manufacturer}});
    if (taken) {
        QTRY_COMPARE(turntable.received(), QByteArray("#e1."));
        QCOMPARE(saveMessage(controller), kFramesRange);
    } else {
        QCOMPARE(saveMessage(controller), kNotDetected);
        QVERIFY(!QTest::qWaitFor([&] { return !turntable.received().isEmpty(); }, 200));
    }
}

void tst_Link::keepsLastOfTwoMatchingPorts()
{
    SimulatedTurntable first;
    SimulatedTurntable second;
    auto controller = std::make_unique<COrbisto>(
        QList<SerialPortCandidate>{first.candidate(), second.candidate()});
    QTRY_COMPARE(first.received(), QByteArray("#e1."));
    QTRY_COMPARE(second.received(), QByteArray("#e1."));

    // Commands go to the second port only.
    controller->sendCommand('p', 210);
    QTRY_COMPARE(second.received(), QByteArray("#e1.#p210."));
    QCOMPARE(first.received(), QByteArray("#e1."));

    // The first port is not leaked: it is told goodbye and freed as well.
    controller.reset();
    QTRY_COMPARE(first.received(), QByteArray("#e1.#e0."));
    QTRY_COMPARE(second.received(), QByteArray("#e1.#p210.#e0."));
}

void tst_Link::keepsNoPortWhenLastFailsToOpen()
{
    SimulatedTurntable first;
    auto controller = std::make_unique<COrbisto>(QList<SerialPortCandidate>{
        first.candidate(), {QStringLiteral("/dev/orbisto-does-not-exist"), first.candidate().manufacturer}});
    QTRY_COMPARE(first.received(), QByteArray("#e1."));
    QCOMPARE(saveMessage(*controller), kNotDetected);
    QVERIFY(!controller->startCapture());

    controller.reset();
    QTRY_COMPARE(first.received(), QByteArray("#e1.#e0."));
    QSerialPort reopened(first.systemLocation());
    QVERIFY2(reopened.open(QIODevice::ReadWrite), qPrintable(reopened.errorString()));
}

void tst_Link::disablesAndClosesOnDestruction()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    // Queued bytes must leave before the port closes.
    rig.controller->sendCommand('p', 210);
    rig.controller.reset();
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#p210.#e0."));
    QSerialPort reopened(rig.turntable.systemLocation());
    QVERIFY2(reopened.open(QIODevice::ReadWrite), qPrintable(reopened.errorString()));
}

void tst_Link::tracksRotationFromReplies_data()
{
    QTest::addColumn<QByteArray>("presses");
    QTest::addColumn<bool>("silent");
    // What a save says once each press has been answered.
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("no reply keeps it stopped") << QByteArray("r") << true << QStringList{kFramesRange};
    QTest::newRow("start, then stop acknowledged")
        << QByteArray("rc") << false << QStringList{kStopRotationFirst, kFramesRange};
}

void tst_Link::tracksRotationFromReplies()
{
    QFETCH(QByteArray, presses);
    QFETCH(bool, silent);
    QFETCH(QStringList, messages);
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    SimulatedTurntable::Fault fault;
    fault.silent = silent;
    rig.turntable.setFault('r', fault);
    // An information reply read after the Start would say it runs, as any reply does.
    fault.silent = true;
    rig.turntable.setFault('i', fault);

    const std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QByteArray sent = "#i1.";
    for (int i = 0; i < presses.size(); ++i) {
        presses.at(i) == 'r' ? rig.controller->onStartRotation() : rig.controller->onStopRotation();
        sent += presses.at(i) == 'r' ? "#r1." : "#c1.";
        QTRY_COMPARE(rig.turntable.received(), sent);
        QVERIFY(rig.waitUntilRead());
        QTRY_COMPARE(saveMessage(*rig.controller), messages.at(i));
    }
}

void tst_Link::confirmsTurnOnce()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    // "Success" split across reads, then sent again.
    SimulatedTurntable::Fault fault;
    fault.splitAt = 7;
    fault.doubled = true;
    rig.turntable.setFault('p', fault);

    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy sent(&rig.turntable, &SimulatedTurntable::sent);
    QVERIFY(takeFirstPicture(*rig.controller, requests));
    QTRY_COMPARE(requests.count(), 2);
    // Every byte of the reply has gone out and been read: still one request.
    QTRY_COMPARE(sent.count(), 4);
    QVERIFY(rig.waitUntilRead());
    QCOMPARE(requests.count(), 2);
}

void tst_Link::ignoresBytesReadBeforeTheTurn()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    // A late acknowledgement of the enable command that happens to say "Success".
    rig.turntable.send("e1 Success\r\n");
    QVERIFY(rig.waitUntilRead());
    SimulatedTurntable::Fault fault;
    fault.errorText = "p210 Error: motor blocked\r\n";
    rig.turntable.setFault('p', fault);

    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy sent(&rig.turntable, &SimulatedTurntable::sent);
    QVERIFY(takeFirstPicture(*rig.controller, requests));
    QVERIFY(sent.wait());
    QVERIFY(rig.waitUntilRead());
    QVERIFY(!requests.wait(200));
    QCOMPARE(requests.count(), 1);
}

void tst_Link::readsRotationWhenSupersededPortWakesIt()
{
    SimulatedTurntable first;
    SimulatedTurntable second;
    // Only the test speaks for the devices.
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    for (SimulatedTurntable *turntable : {&first, &second}) {
        for (char letter : {'e', 'i', 'r'})
            turntable->setFault(letter, silent);
    }
    COrbisto controller(QList<SerialPortCandidate>{first.candidate(), second.candidate()});
    QTRY_COMPARE(second.received(), QByteArray("#e1."));

    const std::unique_ptr<QWidget> dialog = pressRotation(controller, "r");
    QTRY_COMPARE(second.received(), QByteArray("#e1.#i1.#r1."));
    QCOMPARE(saveMessage(controller), kFramesRange);
    // The reply handler reads nothing from the current port, yet a reply came.
    first.send("r1 OK\r\n");
    QTRY_COMPARE(saveMessage(controller), kStopRotationFirst);
}

// The scan opened a port, then failed on the last matching one: the controller
// has no port, though one stays open until it says goodbye. Nothing written
// or read goes through that one.
void tst_Link::staysIdleWithoutPort()
{
    SimulatedTurntable first;
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    first.setFault('e', silent);
    auto controller = std::make_unique<COrbisto>(QList<SerialPortCandidate>{
        first.candidate(), {QStringLiteral("/dev/orbisto-does-not-exist"), first.candidate().manufacturer}});
    QTRY_COMPARE(first.received(), QByteArray("#e1."));
    loadValues(*controller, 24, 0, 0);
    QSignalSpy requests(controller.get(), &CAbstractTurntableController::snapActionRequired);
    QVERIFY(requests.isValid());
    QVERIFY(!controller->startCapture());
    controller->sendCommand('p', 210);
    controller->sendCommand('r', 1);
    // Replies that would go on with a capture or mark rotation running.
    first.send("p210 Success\r\nr1 OK\r\n");
    QVERIFY(waitUntilRead(first));
    QVERIFY(!requests.wait(100));
    QCOMPARE(saveMessage(*controller), kNotDetected);
    controller.reset();
    QTRY_COMPARE(first.received(), QByteArray("#e1.#e0."));
}

void tst_Link::letsGoOfPortWhoseDeviceIsGone_data()
{
    QTest::addColumn<int>("turntables");
    QTest::addColumn<int>("pulled");
    QTest::newRow("the turntable in use") << 1 << 0;
    QTest::newRow("a superseded turntable") << 2 << 0;
}

void tst_Link::letsGoOfPortWhoseDeviceIsGone()
{
    QFETCH(int, turntables);
    QFETCH(int, pulled);
    SimulatedTurntable devices[2];
    QList<SerialPortCandidate> candidates;
    for (int i = 0; i < turntables; ++i)
        candidates.append(devices[i].candidate());
    auto controller = std::make_unique<COrbisto>(candidates);
    loadValues(*controller, 8, 0, 0);
    for (int i = 0; i < turntables; ++i)
        QTRY_COMPARE(devices[i].received(), QByteArray("#e1."));

    // A pulled cable: the line hangs up under the open port.
    const QString pulledPath = devices[pulled].systemLocation();
    devices[pulled].hangUp();
    QTRY_VERIFY(!isHeldOpen(pulledPath));
    const double cpuSeconds = cpuSecondsOverEventLoop(1000);
    QVERIFY2(cpuSeconds < 1.0 / 3, qPrintable(QStringLiteral("%1 s of CPU in 1 s idle").arg(cpuSeconds)));

    const bool inUse = pulled == turntables - 1;
    QCOMPARE(saveMessage(*controller), inUse ? kNotDetected : QString());
    QCOMPARE(controller->startCapture(), !inUse);
    const std::unique_ptr<QWidget> widget(controller->createSettingsWidget());
    QCOMPARE(widget->children().isEmpty(), inUse);
    controller.reset();
    if (!inUse)
        QTRY_COMPARE(devices[1].received(), QByteArray("#e1.#i1.#e0."));
}

QTEST_MAIN(tst_Link)
#include "tst_link.moc"
