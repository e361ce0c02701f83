#include "OrbistoMachine.h"

#include "OrbistoProtocol.h"

#include <algorithm>
#include <limits>

namespace {

const int kDegreesPerRevolution = 360;
const int kStepsPerDegree = 14;
const qint64 kMillisecondsPerSecond = 1000;

// A delay in seconds as a timer interval. A negative interval would be refused
// by the timer and stall the capture; one beyond the int range would overflow.
int delayInterval(int seconds)
{
    const qint64 milliseconds = qint64(seconds) * kMillisecondsPerSecond;
    return int(std::clamp<qint64>(milliseconds, 0, std::numeric_limits<int>::max()));
}

} // namespace

void OrbistoMachine::turntableFound()
{
    if (m_link == Link::Absent)
        m_link = Link::Present;
}

OrbistoMachine::Actions OrbistoMachine::startCapture(Settings settings)
{
    Actions actions;
    // Without frames there is nothing to divide a revolution into, without a
    // turntable the capture would stall after its first picture, and on a
    // table that spins, or may be about to, every picture would be blurred.
    if (settings.framesCount == 0 || m_link != Link::Present || m_rotating || m_startUnanswered) {
        actions.accepted = false;
        return actions;
    }
    // Division first: a count that does not divide 360 falls short of a full turn.
    m_framesCount = settings.framesCount;
    m_stepsPerFrame = (kDegreesPerRevolution / settings.framesCount) * kStepsPerDegree;
    m_postSnapMs = delayInterval(settings.postSnapSeconds);
    m_preSnapMs = delayInterval(settings.preSnapSeconds);
    if (m_step == Step::Idle)
        actions.panelsUsable = false;
    // Starting afresh: a new delay id outdates every delay the earlier capture
    // started. A turn still owed its "Success" (no delay is pending while it
    // runs) is waited for, however long it takes, so that no picture is taken
    // while the table moves and its answer is not taken for one of this
    // capture's turns. A turn already confirmed still settles: the pre-snap
    // delay it started stays pending, and this capture's first picture
    // follows it, as it would had the answer come after the restart.
    if (m_turnReply)
        m_step = Step::EarlierTurn;
    else if (m_step != Step::PreSnap)
        startDelay(actions, DelayKind::FirstPicture, 0, Step::FirstPicture);
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::snapTaken(int count)
{
    Actions actions;
    // A picture nobody asked for would start a second chain of turns.
    if (m_link != Link::Present || m_step != Step::AwaitingPicture)
        return actions;
    if (count == int(m_framesCount)) {
        m_step = Step::Idle;
        actions.signal = Signal::Finished;
        actions.panelsUsable = true;
        return actions;
    }
    // A count past the frames count turns the table again, as any other does.
    startDelay(actions, DelayKind::PostSnap, m_postSnapMs, Step::PostSnap);
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::dialogBuilt()
{
    Actions actions;
    if (m_link != Link::Present)
        return actions;
    m_infoReply = send(actions, OrbistoProtocol::kInformation, 1);
    actions.panelsUsable = arePanelsUsable();
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::startPressed(bool clockwise)
{
    return sendRotation(OrbistoProtocol::kRotate, clockwise ? 1 : 0);
}

OrbistoMachine::Actions OrbistoMachine::stopPressed()
{
    return sendRotation(OrbistoProtocol::kStop, 1);
}

// During a capture a rotation command would move the table between turns.
OrbistoMachine::Actions OrbistoMachine::sendRotation(char letter, int value)
{
    Actions actions;
    if (!arePanelsUsable()) {
        actions.accepted = false;
        return actions;
    }
    m_rotationReply = send(actions, letter, value);
    // A Stop sent behind a Start does not stop the table before the device
    // has read the Start: only an answer ends the wait.
    if (letter == OrbistoProtocol::kRotate)
        m_startUnanswered = true;
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::read(const QByteArray &bytes)
{
    Actions actions;
    if (m_link != Link::Present)
        return actions;
    if (m_infoReply) {
        actions.deviceInfo = m_infoReply->read(bytes).deviceInfo;
        // One reply, one text: a later burst is no longer the answer.
        if (actions.deviceInfo)
            m_infoReply.reset();
    }
    if (m_rotationReply) {
        if (const std::optional<bool> rotating = m_rotationReply->read(bytes).rotating)
            m_rotating = *rotating;
        m_startUnanswered = false;
    }
    if (m_turnReply && m_turnReply->read(bytes).turnConfirmed) {
        m_turnReply.reset();
        // A confirmation while a new capture waits is the earlier capture's:
        // the table has stopped, and this capture's first picture follows its
        // pre-snap delay.
        startDelay(actions, DelayKind::PreSnap, m_preSnapMs, Step::PreSnap);
    }
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::delayExpired(const Delay &delay)
{
    Actions actions;
    if (m_link != Link::Present || delay.id != m_pendingDelay)
        return actions;
    m_pendingDelay = 0;
    if (m_step == Step::PostSnap) {
        m_step = Step::Turning;
        m_turnReply = send(actions, OrbistoProtocol::kTurn, m_stepsPerFrame);
        return actions;
    }
    // The first picture, or the pre-snap delay after a confirmed turn.
    m_step = Step::AwaitingPicture;
    actions.signal = Signal::SnapActionRequired;
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::portLost()
{
    Actions actions;
    if (m_link != Link::Present)
        return actions;
    // Nothing acts after this: a capture running now stalls, as it would
    // without a turntable, until the host lets go of the controller.
    m_link = Link::Lost;
    m_step = Step::Idle;
    m_turnReply.reset();
    m_infoReply.reset();
    m_rotationReply.reset();
    actions.turntableGone = true;
    actions.panelsUsable = false;
    return actions;
}

void OrbistoMachine::startDelay(Actions &actions, DelayKind kind, int milliseconds, Step step)
{
    m_step = step;
    m_pendingDelay = ++m_lastDelay;
    actions.delay = Delay{kind, m_pendingDelay, milliseconds};
}

OrbistoReply OrbistoMachine::send(Actions &actions, char letter, int value)
{
    actions.command = Command{letter, value};
    return OrbistoReply(OrbistoProtocol::commandBody(letter, value));
}
