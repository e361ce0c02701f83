#include "TestSupport.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QSignalSpy>
#include <QTimer>

#include <new>

class tst_Capture : public QObject
{
    Q_OBJECT

private slots:
    void runsWholeCapture();
    void waitsConfiguredDelays();
    void stallsWithoutConfirmation_data();
    void stallsWithoutConfirmation();
    void keepsTurningPastFramesCount();
    void pendingDelayDiesWithController_data();
    void pendingDelayDiesWithController();
    void refusesToStart_data();
    void refusesToStart();
    void restartOutdatesEarlierCapture();
    void settingsOpenedDuringTurnKeepCapture();
};

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

namespace {

// Room for one controller at a time, each built where the one before it was.
class ControllerInPlace
{
public:
    ControllerInPlace() = default;
    ControllerInPlace(const ControllerInPlace &) = delete;
    ControllerInPlace &operator=(const ControllerInPlace &) = delete;
    ~ControllerInPlace() { destroy(); }

    COrbisto *build(const SimulatedTurntable &device)
    {
        destroy();
        m_controller = new (m_storage) COrbisto(QList<SerialPortCandidate>{device.candidate()});
        return m_controller;
    }
    COrbisto *get() const { return m_controller; }
    void destroy()
    {
        if (m_controller)
            m_controller->~COrbisto();
        m_controller = nullptr;
    }

private:
    alignas(COrbisto) unsigned char m_storage[sizeof(COrbisto)];
    COrbisto *m_controller = nullptr;
};

// Builds a controller in place on the device and takes the first picture of a
// capture, so that the post-snap delay runs, or, after the turn, the pre-snap
// delay: the second delay of any capture, lasting the given seconds.
bool reachSecondDelay(ControllerInPlace &room, SimulatedTurntable &device, bool afterTurn, int seconds)
{
    // An answer to the enable command would count as the turn's.
    SimulatedTurntable::Fault quietEnable;
    quietEnable.silent = true;
    device.setFault('e', quietEnable);
    COrbisto *controller = room.build(device);
    if (!QTest::qWaitFor([&] { return device.received() == "#e1."; }, TurntableRig::kWaitMs))
        return false;
    loadValues(*controller, 24, afterTurn ? 0 : seconds, afterTurn ? seconds : 0);
    QSignalSpy requests(controller, &CAbstractTurntableController::snapActionRequired);
    QSignalSpy replies(&device, &SimulatedTurntable::sent);
    if (!requests.isValid() || !replies.isValid() || !controller->startCapture() || !requests.wait())
        return false;
    controller->snapTaken(1);
    // "Success" is read only once nothing is left unread: only then does the
    // pre-snap delay run.
    return !afterTurn || (replies.wait() && waitUntilRead(device));
}

} // namespace

// A delay that outlived its controller would act on whatever lives at its
// address: here a second controller, waiting a minute for the same step of a
// capture of its own, which would turn or ask for a picture a second early.
void tst_Capture::pendingDelayDiesWithController()
{
    QFETCH(bool, afterTurn);
    SimulatedTurntable devices[2];
    ControllerInPlace room;
    QVERIFY(reachSecondDelay(room, devices[0], afterTurn, 1));
    QVERIFY(reachSecondDelay(room, devices[1], afterTurn, 60));
    QCOMPARE(devices[0].received().right(4), QByteArray("#e0."));
    devices[1].clearReceived();
    QSignalSpy requests(room.get(), &CAbstractTurntableController::snapActionRequired);
    QSignalSpy frames(&devices[1], &SimulatedTurntable::frameReceived);
    QVERIFY(requests.isValid() && frames.isValid());
    QVERIFY(!frames.wait(1500));
    QCOMPARE(requests.count(), 0);
    QCOMPARE(devices[1].received(), QByteArray());
}

void tst_Capture::refusesToStart_data()
{
    QTest::addColumn<bool>("withTurntable");
    QTest::addColumn<int>("framesCount");
    QTest::addColumn<bool>("rotating");
    // Which rotation presses may leave the table spinning is the state machine's
    // test; here a running rotation reaches it through the port.
    QTest::newRow("frames count never set") << true << 0 << false;
    QTest::newRow("no turntable") << false << 24 << false;
    QTest::newRow("continuous rotation running") << true << 24 << true;
}

void tst_Capture::refusesToStart()
{
    QFETCH(bool, withTurntable);
    QFETCH(int, framesCount);
    QFETCH(bool, rotating);
    SimulatedTurntable turntable;
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    turntable.setFault('i', silent);
    COrbisto controller(withTurntable ? QList<SerialPortCandidate>{turntable.candidate()}
                                      : QList<SerialPortCandidate>{});
    QByteArray sent = withTurntable ? QByteArray("#e1.") : QByteArray();
    QTRY_COMPARE(turntable.received(), sent);
    if (framesCount)
        loadValues(controller, framesCount, 0, 0);
    std::unique_ptr<QWidget> dialog;
    if (rotating) {
        dialog = pressRotation(controller, "r");
        sent += "#i1.#r1.";
        QTRY_COMPARE(turntable.received(), sent);
        QTRY_COMPARE(saveMessage(controller), kStopRotationFirst);
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

QTEST_MAIN(tst_Capture)
#include "tst_capture.moc"
