#include "OrbistoMachine.h"

#include "OrbistoProtocol.h"

namespace {

const int kDegreesPerRevolution = 360;
const int kStepsPerDegree = 14;

} // namespace

void OrbistoMachine::turntableFound()
{
    if (m_link == Link::Absent)
        m_link = Link::Present;
}

OrbistoMachine::Actions OrbistoMachine::startCapture(quint16 framesCount)
{
    Actions actions;
    // Without frames there is nothing to divide a revolution into, without a
    // turntable the capture would stall after its first picture, and on a
    // table that spins, or may be about to, every picture would be blurred.
    if (framesCount == 0 || m_link != Link::Present || m_rotating || m_startUnanswered) {
        actions.accepted = false;
        return actions;
    }
    // Division first: a count that does not divide 360 falls short of a full turn.
    m_framesCount = framesCount;
    m_stepsPerFrame = (kDegreesPerRevolution / framesCount) * kStepsPerDegree;
    if (m_step == Step::Idle)
        actions.panelsUsable = false;
    // Starting afresh: whatever the earlier capture still waits for is
    // forgotten, as a new delay id outdates every delay started before. Only a
    // turn still running is waited for, so that no picture is taken while the
    // table moves, and its "Success" is not taken for one of this capture.
    const bool turnRunning = m_step == Step::Turning || m_step == Step::Settling;
    startDelay(actions, turnRunning ? DelayKind::Settle : DelayKind::FirstPicture,
               turnRunning ? Step::Settling : Step::FirstPicture);
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
    startDelay(actions, DelayKind::PostSnap, Step::PostSnap);
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
    m_startUnanswered = letter == OrbistoProtocol::kRotate;
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::read(const QByteArray &bytes)
{
    Actions actions;
    if (m_link != Link::Present)
        return actions;
    bool answersInformation = false;
    if (m_infoReply) {
        actions.deviceInfo = m_infoReply->read(bytes).deviceInfo;
        answersInformation = actions.deviceInfo.has_value();
    }
    if (m_rotationReply) {
        if (const std::optional<bool> rotating = m_rotationReply->read(bytes).rotating)
            m_rotating = *rotating;
        if (!answersInformation)
            m_startUnanswered = false;
    }
    if (m_turnReply && m_turnReply->read(bytes).turnConfirmed) {
        m_turnReply.reset();
        // A confirmation while settling is the earlier capture's: the table has
        // stopped, and this capture's first picture follows its pre-snap delay.
        startDelay(actions, DelayKind::PreSnap, Step::PreSnap);
    }
    return actions;
}

OrbistoMachine::Actions OrbistoMachine::delayExpired(Delay delay)
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
    // First picture, pre-snap delay, or an earlier turn that was never confirmed.
    m_turnReply.reset();
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
    m_pendingDelay = 0;
    m_turnReply.reset();
    m_infoReply.reset();
    m_rotationReply.reset();
    actions.turntableGone = true;
    actions.panelsUsable = false;
    return actions;
}

void OrbistoMachine::startDelay(Actions &actions, DelayKind kind, Step step)
{
    m_step = step;
    m_pendingDelay = ++m_lastDelay;
    actions.delay = Delay{kind, m_pendingDelay};
}

OrbistoReply OrbistoMachine::send(Actions &actions, char letter, int value)
{
    actions.command = Command{letter, value};
    return OrbistoReply(OrbistoProtocol::commandBody(letter, value));
}
