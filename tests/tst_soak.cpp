#include "TestSupport.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>

#include <algorithm>
#include <memory>

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void capturesSurviveUnreliableReplies();
    void hangUpLeavesNothingBehind_data();
    void hangUpLeavesNothingBehind();

private:
    void runCapture(quint32 seed, const QByteArray &label);

    quint32 m_seed = 0;
};

namespace {

const int kDegreesPerRevolution = 360;
const int kStepsPerDegree = 14;
const int kMinFramesCount = 2;
const int kMaxFramesCount = 72;
// A bound for a stalled capture, not a measure of speed: a 72-frame capture
// takes well under a second even under the sanitizers.
const int kCaptureTimeoutMs = 30000;
// Ten times the goodbye flush's own limit: only a controller that hangs in its
// destructor gets anywhere near it.
const int kDestructionLimitMs = 3000;
const int kMaxPauseMs = 2;
const int kMaxGarbageBytes = 48;
// Passes of the event loop between a hang-up and the controller's end, so
// the controller meets the dead line at different stages.
const int kMaxPassesAfterHangUp = 8;

// The pauses inside replies, not the work, take most of the time, so the
// sanitizer build runs the same counts; ORBISTO_SOAK_CAPTURES and
// ORBISTO_SOAK_HANGUPS (per point) change them.
const int kDefaultCaptures = 200;
const int kDefaultHangUps = 6;

const QByteArray kTurnCommandStart("#p");
const QByteArray kTurnConfirmation("Success");
const char kTurnReplyTail[] = " Success\r\n";
const QByteArray kMarker("#c1.");

// Where the device goes away during a capture.
enum class HangUpPoint {
    BeforeStart,       // between discovery and the first picture
    OnTurnCommand,     // the device dies on reading a turn command
    MidReply,          // between the two parts of a split reply
    AfterReply,        // the whole reply is out, maybe not yet read
    BeforeSnapTaken,   // while the host is taking a picture
};

int countFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int count = qEnvironmentVariableIntValue(name, &ok);
    return ok && count > 0 ? count : fallback;
}

QByteArray turnFrame(int framesCount)
{
    const int steps = (kDegreesPerRevolution / framesCount) * kStepsPerDegree;
    return kTurnCommandStart + QByteArray::number(steps) + '.';
}

// The device's answer to a turn frame "#p<steps>." is "p<steps> Success\r\n".
int turnReplySize(const QByteArray &frame)
{
    return frame.size() - 2 + int(qstrlen(kTurnReplyTail));
}

// Line noise that can never complete a confirmation, whatever it lands next to:
// none of its bytes occurs in "Success".
QByteArray randomGarbage(QRandomGenerator &random)
{
    QByteArray garbage;
    const int size = random.bounded(1, kMaxGarbageBytes + 1);
    while (garbage.size() < size) {
        const char byte = char(random.bounded(256));
        if (!kTurnConfirmation.contains(byte))
            garbage.append(byte);
    }
    return garbage;
}

// How the device answers one turn: always split somewhere, sometimes after
// noise, sometimes twice.
SimulatedTurntable::Fault randomTurnFault(QRandomGenerator &random, const QByteArray &frame)
{
    SimulatedTurntable::Fault fault;
    if (random.bounded(3) == 0)
        fault.garbage = randomGarbage(random);
    fault.splitAt = random.bounded(1, fault.garbage.size() + turnReplySize(frame));
    fault.doubled = random.bounded(4) == 0;
    fault.pauseMs = random.bounded(kMaxPauseMs + 1);
    return fault;
}

// Frames that are turn commands.
int turnsIn(const QList<QByteArray> &frames)
{
    return int(std::count_if(frames.cbegin(), frames.cend(),
                             [](const QByteArray &frame) { return frame.startsWith(kTurnCommandStart); }));
}

} // namespace

void tst_Soak::initTestCase()
{
    bool fromEnvironment = false;
    m_seed = quint32(qEnvironmentVariable("ORBISTO_SOAK_SEED").toUInt(&fromEnvironment));
    if (!fromEnvironment)
        m_seed = QRandomGenerator::global()->generate();
    qInfo("seed %u (ORBISTO_SOAK_SEED=%u repeats this run)", m_seed, m_seed);
}

// One whole capture with zero delays on a fresh turntable whose every turn
// reply is split at its own random byte, with noise and doubled replies mixed
// in. The host answers some picture requests at once and some from the event
// loop, as a camera would.
void tst_Soak::runCapture(quint32 seed, const QByteArray &label)
{
    QRandomGenerator plan(seed);
    const int framesCount = plan.bounded(kMinFramesCount, kMaxFramesCount + 1);
    // Separate streams, so the plan does not depend on how replies and
    // requests happen to interleave.
    QRandomGenerator faults(plan.generate());
    QRandomGenerator host(plan.generate());
    const QByteArray turn = turnFrame(framesCount);
    const QByteArray context = label + " with " + QByteArray::number(framesCount) + " frames";

    TurntableRig rig;
    loadValues(*rig.controller, framesCount, 0, 0);
    // Emitted before the simulator answers, so each reply gets its own fault.
    connect(&rig.turntable, &SimulatedTurntable::frameReceived, &rig.turntable,
            [&](const QByteArray &frame) {
                if (frame.startsWith(kTurnCommandStart))
                    rig.turntable.setFault('p', randomTurnFault(faults, frame));
            });

    COrbisto *controller = rig.controller.get();
    int pictures = 0;
    int finishedAtPicture = -1;
    connect(controller, &CAbstractTurntableController::snapActionRequired, controller, [&] {
        const int count = ++pictures;
        if (host.bounded(2) == 0)
            controller->snapTaken(count);
        else
            QTimer::singleShot(0, controller, [controller, count] { controller->snapTaken(count); });
    });
    connect(controller, &CAbstractTurntableController::finished, controller,
            [&] { finishedAtPicture = pictures; });
    QSignalSpy finished(controller, &CAbstractTurntableController::finished);
    QVERIFY(finished.isValid());

    QVERIFY2(controller->startCapture(), context.constData());
    QVERIFY2(finished.wait(kCaptureTimeoutMs),
             (context + ": stalled after " + QByteArray::number(pictures) + " pictures").constData());

    // A turn scheduled by the last picture would reach the device before this marker.
    QSignalSpy frames(&rig.turntable, &SimulatedTurntable::frameReceived);
    QVERIFY(frames.isValid());
    QTimer::singleShot(0, controller, [controller] { controller->sendCommand('c', 1); });
    while (!rig.turntable.frames().endsWith(kMarker))
        QVERIFY2(frames.wait(kCaptureTimeoutMs), context.constData());

    QList<QByteArray> expected{"#e1."};
    for (int i = 1; i < framesCount; ++i)
        expected.append(turn);
    expected.append(kMarker);
    QVERIFY2(pictures == framesCount,
             (context + ": " + QByteArray::number(pictures) + " pictures").constData());
    QVERIFY2(finished.count() == 1 && finishedAtPicture == framesCount, context.constData());
    QVERIFY2(rig.turntable.frames() == expected,
             (context + ": " + rig.turntable.frames().join(' ')).constData());
}

void tst_Soak::capturesSurviveUnreliableReplies()
{
    const int captures = countFromEnvironment("ORBISTO_SOAK_CAPTURES", kDefaultCaptures);
    QRandomGenerator random({m_seed, 1u});
    QElapsedTimer clock;
    clock.start();
    for (int capture = 0; capture < captures; ++capture) {
        runCapture(random.generate(), "capture " + QByteArray::number(capture));
        if (QTest::currentTestFailed())
            return;
    }
    qInfo("%d captures in %lld ms", captures, clock.elapsed());
}

Q_DECLARE_METATYPE(HangUpPoint)

void tst_Soak::hangUpLeavesNothingBehind_data()
{
    QTest::addColumn<HangUpPoint>("point");
    QTest::newRow("before the first picture") << HangUpPoint::BeforeStart;
    QTest::newRow("on reading a turn command") << HangUpPoint::OnTurnCommand;
    QTest::newRow("between the parts of a reply") << HangUpPoint::MidReply;
    QTest::newRow("after the whole reply") << HangUpPoint::AfterReply;
    QTest::newRow("while the host takes a picture") << HangUpPoint::BeforeSnapTaken;
}

// The device goes away at a random turn; the controller must neither crash nor
// hang on its way out, and the next controller must work on a fresh device.
void tst_Soak::hangUpLeavesNothingBehind()
{
    QFETCH(HangUpPoint, point);
    const int iterations = countFromEnvironment("ORBISTO_SOAK_HANGUPS", kDefaultHangUps);
    QRandomGenerator random({m_seed, 2u, uint(point)});
    QElapsedTimer clock;
    clock.start();
    qint64 longestDestructionMs = 0;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const int framesCount = random.bounded(kMinFramesCount, kMaxFramesCount + 1);
        // The turn at which the device goes away, sent after this many pictures.
        const int atTurn = random.bounded(1, framesCount);
        const int passes = random.bounded(kMaxPassesAfterHangUp + 1);
        const QByteArray context = "hang-up " + QByteArray::number(iteration) + " at turn "
                                   + QByteArray::number(atTurn) + " of a " + QByteArray::number(framesCount)
                                   + "-frame capture, " + QByteArray::number(passes) + " passes";

        auto rig = std::make_unique<TurntableRig>();
        SimulatedTurntable &turntable = rig->turntable;
        COrbisto *controller = rig->controller.get();
        loadValues(*controller, framesCount, 0, 0);
        QSignalSpy hungUp(&turntable, &SimulatedTurntable::hungUp);
        QSignalSpy finished(controller, &CAbstractTurntableController::finished);
        QVERIFY(hungUp.isValid() && finished.isValid());

        int turns = 0;
        connect(&turntable, &SimulatedTurntable::frameReceived, &turntable,
                [&](const QByteArray &frame) {
                    if (!frame.startsWith(kTurnCommandStart) || ++turns != atTurn)
                        return;
                    SimulatedTurntable::Fault fault;
                    fault.hangUp = point == HangUpPoint::OnTurnCommand;
                    if (point == HangUpPoint::MidReply)
                        fault.splitAt = random.bounded(1, turnReplySize(frame));
                    fault.pauseMs = 0;
                    turntable.setFault('p', fault);
                });
        // The first write of the answer is out: the whole reply, or its first part.
        connect(&turntable, &SimulatedTurntable::sent, &turntable, [&] {
            if (turns == atTurn && (point == HangUpPoint::MidReply || point == HangUpPoint::AfterReply))
                turntable.hangUp();
        });
        int pictures = 0;
        connect(controller, &CAbstractTurntableController::snapActionRequired, controller, [&] {
            ++pictures;
            if (point == HangUpPoint::BeforeSnapTaken && pictures == atTurn)
                turntable.hangUp();
            controller->snapTaken(pictures);
        });

        if (point == HangUpPoint::BeforeStart)
            turntable.hangUp();
        QVERIFY2(controller->startCapture(), context.constData());
        QVERIFY2(hungUp.count() == 1 || hungUp.wait(kCaptureTimeoutMs), context.constData());
        for (int pass = 0; pass < passes; ++pass)
            QCoreApplication::processEvents();

        // A reply already on its way may still confirm one more turn; nothing
        // else moves the capture once the device is gone.
        const int lastPicture = point == HangUpPoint::BeforeStart ? 1 : atTurn + 1;
        QVERIFY2(pictures <= lastPicture,
                 (context + ": " + QByteArray::number(pictures) + " pictures").constData());
        QVERIFY2(turnsIn(turntable.frames()) <= atTurn, context.constData());
        QVERIFY2(finished.count() == (pictures == framesCount ? 1 : 0), context.constData());

        QElapsedTimer destruction;
        destruction.start();
        rig->controller.reset();
        const qint64 destructionMs = destruction.elapsed();
        longestDestructionMs = std::max(longestDestructionMs, destructionMs);
        QVERIFY2(destructionMs < kDestructionLimitMs,
                 (context + ": destruction took " + QByteArray::number(destructionMs) + " ms").constData());
        rig.reset();
        // Anything the dead pair left queued runs now, into objects that are gone.
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        runCapture(random.generate(), context + ", then a fresh turntable");
        if (QTest::currentTestFailed())
            return;
    }
    qInfo("%d hang-ups in %lld ms, longest destruction %lld ms", iterations, clock.elapsed(),
          longestDestructionMs);
}

QTEST_MAIN(tst_Soak)
#include "tst_soak.moc"
