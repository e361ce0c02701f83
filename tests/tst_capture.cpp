#include "TestSupport.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QSignalSpy>
#include <QTimer>

class tst_Capture : public QObject
{
    Q_OBJECT

private slots:
    void runsWholeCapture();
    void turnsByStepsPerFrame_data();
    void turnsByStepsPerFrame();
    void waitsConfiguredDelays();
    void treatsNegativeDelayAsNone();
    void stallsWithoutConfirmation_data();
    void stallsWithoutConfirmation();
    void keepsTurningPastFramesCount();
    void pendingDelayDiesWithController_data();
    void pendingDelayDiesWithController();
    void refusesToStart_data();
    void refusesToStart();
    void restartOutdatesEarlierCapture();
    void settingsOpenedDuringTurnKeepCapture();
    void restartWaitsForTurnStillOwed();
    void ignoresPicturesNotRequested();
};

// Plays the host: takes a picture for every request and reports it.
static void actAsHost(COrbisto &controller, int &pictures)
{
    QObject::connect(&controller, &CAbstractTurntableController::snapActionRequired, &controller,
                     [&controller, &pictures] { controller.snapTaken(++pictures); });
}

void tst_Capture::runsWholeCapture()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, 0, 0);

    int pictures = 0;
    bool finishedInsideLastSnap = false;
    QSignalSpy finished(rig.controller.get(), &CAbstractTurntableController::finished);
    QVERIFY(finished.isValid());
    QObject::connect(rig.controller.get(), &CAbstractTurntableController::snapActionRequired,
                     rig.controller.get(), [&] {
                         rig.controller->snapTaken(++pictures);
                         if (pictures == 24)
                             finishedInsideLastSnap = finished.count() == 1;
                     });

    QVERIFY(rig.controller->startCapture());
    QCOMPARE(pictures, 0); // the first request comes from the event loop
    QVERIFY(finished.wait(20000));
    QVERIFY(finishedInsideLastSnap);
    QCOMPARE(pictures, 24);

    // A turn scheduled by the last snap would reach the device before this marker.
    QTimer::singleShot(0, rig.controller.get(), [&] { rig.controller->sendCommand('c', 1); });
    QTRY_COMPARE(rig.turntable.frames().size(), 24);
    QList<QByteArray> expected;
    for (int turn = 0; turn < 23; ++turn)
        expected.append("#p210.");
    expected.append("#c1.");
    QCOMPARE(rig.turntable.frames(), expected);
    QCOMPARE(finished.count(), 1);
}

void tst_Capture::turnsByStepsPerFrame_data()
{
    QTest::addColumn<int>("framesCount");
    QTest::addColumn<QByteArray>("turn");
    QTest::newRow("24 frames") << 24 << QByteArray("#p210.");
    QTest::newRow("72 frames") << 72 << QByteArray("#p70.");
    QTest::newRow("8 frames") << 8 << QByteArray("#p630.");
    QTest::newRow("7 frames: division first") << 7 << QByteArray("#p714.");
    QTest::newRow("2 frames") << 2 << QByteArray("#p2520.");
}

void tst_Capture::turnsByStepsPerFrame()
{
    QFETCH(int, framesCount);
    QFETCH(QByteArray, turn);
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, framesCount, 0, 0);
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QVERIFY(requests.isValid());
    QVERIFY(rig.controller->startCapture());
    QVERIFY(requests.wait());
    rig.controller->snapTaken(1);
    QTRY_COMPARE(rig.turntable.received(), turn);
    QTRY_COMPARE(requests.count(), 2);
}

void tst_Capture::waitsConfiguredDelays()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, 2, 1);
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy frames(&rig.turntable, &SimulatedTurntable::frameReceived);
    QSignalSpy replies(&rig.turntable, &SimulatedTurntable::sent);
    QVERIFY(requests.isValid() && frames.isValid() && replies.isValid());
    QVERIFY(rig.controller->startCapture());
    QVERIFY(requests.wait());

    QElapsedTimer clock;
    clock.start();
    rig.controller->snapTaken(1);
    QVERIFY(frames.wait(5000));
    const qint64 postSnap = clock.restart();
    QVERIFY(replies.count() == 1 || replies.wait());
    clock.restart();
    QVERIFY(requests.wait(5000));
    const qint64 preSnap = clock.elapsed();

    // Each delay lasts at least what was set (the table must not turn during
    // an exposure); a loaded machine may make it late.
    QVERIFY2(postSnap >= 2000 && postSnap < 8000, qPrintable(QString::number(postSnap)));
    QVERIFY2(preSnap >= 1000 && preSnap < 8000, qPrintable(QString::number(preSnap)));
}

void tst_Capture::treatsNegativeDelayAsNone()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, -5, -2147483647);
    int pictures = 0;
    actAsHost(*rig.controller, pictures);
    QVERIFY(rig.controller->startCapture());
    QTRY_VERIFY(pictures >= 3);
}

void tst_Capture::stallsWithoutConfirmation_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArray>("errorText");
    QTest::newRow("device error") << false << QByteArray("p210 Error: motor blocked\r\n");
    QTest::newRow("silent device") << true << QByteArray();
}

void tst_Capture::stallsWithoutConfirmation()
{
    QFETCH(bool, silent);
    QFETCH(QByteArray, errorText);
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, 0, 0);
    SimulatedTurntable::Fault fault;
    fault.silent = silent;
    fault.errorText = errorText;
    rig.turntable.setFault('p', fault);

    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy frames(&rig.turntable, &SimulatedTurntable::frameReceived);
    QVERIFY(requests.isValid() && frames.isValid());
    QVERIFY(rig.controller->startCapture());
    QVERIFY(requests.wait());
    rig.controller->snapTaken(1);
    QVERIFY(frames.wait());
    QVERIFY(!requests.wait(300));
    QCOMPARE(requests.count(), 1);
}

void tst_Capture::keepsTurningPastFramesCount()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 2, 0, 0);
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy finished(rig.controller.get(), &CAbstractTurntableController::finished);
    QVERIFY(requests.isValid() && finished.isValid());
    QVERIFY(rig.controller->startCapture());
    QVERIFY(requests.wait());
    rig.controller->snapTaken(3);
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#p2520."));
    QTRY_COMPARE(requests.count(), 2);
    QCOMPARE(finished.count(), 0);
}

void tst_Capture::pendingDelayDiesWithController_data()
{
    QTest::addColumn<bool>("afterTurn");
    QTest::newRow("post-snap delay pending") << false;
    QTest::newRow("pre-snap delay pending") << true;
}

void tst_Capture::pendingDelayDiesWithController()
{
    QFETCH(bool, afterTurn);
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, afterTurn ? 0 : 1, afterTurn ? 1 : 0);
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy replies(&rig.turntable, &SimulatedTurntable::sent);
    QVERIFY(requests.isValid() && replies.isValid());
    QVERIFY(rig.controller->startCapture());
    QVERIFY(requests.wait());
    rig.controller->snapTaken(1);
    if (afterTurn) {
        QVERIFY(replies.wait());
        // The controller has read "Success" only once nothing is left unread:
        // only then is the pre-snap delay pending.
        QVERIFY(rig.waitUntilRead());
    }
    rig.controller.reset();
    rig.turntable.clearReceived();
    QVERIFY(!requests.wait(1500));
    QCOMPARE(requests.count(), 1);
    QVERIFY(!rig.turntable.received().contains("#p"));
}

void tst_Capture::refusesToStart_data()
{
    QTest::addColumn<bool>("withTurntable");
    QTest::addColumn<int>("framesCount");
    // 0: no rotation, 1: Start pressed and answered, 2: Start pressed, no answer
    // yet, 3: Start and Stop pressed, no answer yet.
    QTest::addColumn<int>("rotation");
    QTest::newRow("frames count never set") << true << 0 << 0;
    QTest::newRow("no turntable") << false << 24 << 0;
    QTest::newRow("continuous rotation running") << true << 24 << 1;
    QTest::newRow("Start pressed, its answer not in") << true << 24 << 2;
    QTest::newRow("Start and Stop pressed, neither answered") << true << 24 << 3;
}

void tst_Capture::refusesToStart()
{
    QFETCH(bool, withTurntable);
    QFETCH(int, framesCount);
    QFETCH(int, rotation);
    SimulatedTurntable turntable;
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    turntable.setFault('r', rotation >= 2 ? silent : SimulatedTurntable::Fault());
    turntable.setFault('c', silent);
    turntable.setFault('i', silent);
    COrbisto controller(withTurntable ? QList<SerialPortCandidate>{turntable.candidate()}
                                      : QList<SerialPortCandidate>{});
    QByteArray sent = withTurntable ? QByteArray("#e1.") : QByteArray();
    QTRY_COMPARE(turntable.received(), sent);
    if (framesCount)
        loadValues(controller, framesCount, 0, 0);
    std::unique_ptr<QWidget> dialog;
    if (rotation) {
        dialog = pressRotation(controller, rotation == 3 ? "rc" : "r");
        sent += rotation == 3 ? "#i1.#r1.#c1." : "#i1.#r1.";
        QTRY_COMPARE(turntable.received(), sent);
        QTRY_COMPARE(saveMessage(controller), rotation == 1 ? kStopRotationFirst : QString());
    }
    QSignalSpy requests(&controller, &CAbstractTurntableController::snapActionRequired);
    QVERIFY(requests.isValid());
    QVERIFY(!controller.startCapture());
    QCOMPARE(controller.framesCount(), quint16(framesCount));
    QVERIFY(!requests.wait(100));
    QCOMPARE(turntable.received(), sent);
}

void tst_Capture::restartOutdatesEarlierCapture()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, 1, 0);
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QVERIFY(requests.isValid());
    QVERIFY(rig.controller->startCapture());
    QVERIFY(requests.wait());
    rig.controller->snapTaken(1);

    // The first capture's post-snap delay expires after the restart: it must
    // neither turn the table nor count as the new capture's.
    QVERIFY(rig.controller->startCapture());
    QVERIFY(requests.wait());
    QVERIFY(!requests.wait(1500));
    QCOMPARE(requests.count(), 2);
    QCOMPARE(rig.turntable.received(), QByteArray());
}

void tst_Capture::settingsOpenedDuringTurnKeepCapture()
{
    TurntableRig rig;
    // The turn's "Success" is still on its way when the dialog asks for information.
    SimulatedTurntable::Fault slowTurn;
    slowTurn.splitAt = 5;
    slowTurn.pauseMs = 300;
    rig.turntable.setFault('p', slowTurn);
    QVERIFY(rig.waitForEnable());
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy frames(&rig.turntable, &SimulatedTurntable::frameReceived);
    QVERIFY(requests.isValid() && frames.isValid());
    QVERIFY(takeFirstPicture(*rig.controller, requests));
    QVERIFY(frames.wait());

    const std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QTRY_COMPARE(requests.count(), 2);
    auto *label = child<QLabel>(dialog.get(), "deviceInfoLabel");
    QVERIFY(label);
    QTRY_COMPARE(label->text(), QString::fromLatin1(SimulatedTurntable::kDefaultIdentification));
    QCOMPARE(rig.turntable.received(), QByteArray("#p210.#i1."));
}

void tst_Capture::restartWaitsForTurnStillOwed()
{
    TurntableRig rig;
    // The test answers the turns itself, late.
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    rig.turntable.setFault('p', silent);
    QVERIFY(rig.waitForEnable());
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QVERIFY(requests.isValid());
    QVERIFY(takeFirstPicture(*rig.controller, requests));
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#p210."));

    QVERIFY(rig.controller->startCapture());
    QVERIFY(!requests.wait(300));
    rig.turntable.send("p210 Success\r\n");
    QTRY_COMPARE(requests.count(), 2);
    // That answer was the earlier turn's: the new capture's turn waits for its own.
    rig.controller->snapTaken(1);
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#p210.#p210."));
    QVERIFY(!requests.wait(300));
    rig.turntable.send("p210 Success\r\n");
    QTRY_COMPARE(requests.count(), 3);
}

void tst_Capture::ignoresPicturesNotRequested()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, 0, 0);
    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy finished(rig.controller.get(), &CAbstractTurntableController::finished);
    QVERIFY(requests.isValid() && finished.isValid());
    QVERIFY(rig.controller->startCapture());
    // Before the first request, and again after the one asked for.
    rig.controller->snapTaken(24);
    QVERIFY(requests.wait());
    rig.controller->snapTaken(1);
    rig.controller->snapTaken(1);
    rig.controller->snapTaken(24);
    QTRY_COMPARE(requests.count(), 2);
    QVERIFY(rig.waitUntilRead());
    QVERIFY(!requests.wait(200));
    QCOMPARE(rig.turntable.received(), QByteArray("#p210."));
    QCOMPARE(finished.count(), 0);
}

QTEST_MAIN(tst_Capture)
#include "tst_capture.moc"
