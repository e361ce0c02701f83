#include "OrbistoReply.h"

#include "OrbistoProtocol.h"

namespace {

// Bodies of the commands whose replies mean something.
const char kInfoRequestBody[] = "i1";
const char kStopBody[] = "c1";
const char kRotateClockwiseBody[] = "r1";
const char kRotateCounterClockwiseBody[] = "r0";
const char kTurnConfirmation[] = "Success";
// The information text runs up to this byte.
const char kInfoEnd = '#';

// A reply is never longer than a line of text; anything past this is noise.
const int kMaxReplyBytes = 4096;

} // namespace

OrbistoReply::OrbistoReply(const QByteArray &commandBody)
    : m_command(commandBody)
{
}

OrbistoReply::Outcome OrbistoReply::read(const QByteArray &bytes)
{
    // The device may split a reply across reads, so what came since the
    // command is read as a whole.
    m_received += bytes;
    if (m_received.size() > kMaxReplyBytes)
        m_received.remove(0, m_received.size() - kMaxReplyBytes);

    Outcome outcome;
    if (m_command == kInfoRequestBody)
        outcome.deviceInfo = takeDeviceInfo();
    // Any answer at all, even an error text or a read that found nothing,
    // stands for the state the command asked for.
    if (m_command == kStopBody)
        outcome.rotating = false;
    if (m_command == kRotateClockwiseBody || m_command == kRotateCounterClockwiseBody)
        outcome.rotating = true;
    if (m_command.startsWith(OrbistoProtocol::kTurn) && !m_turnConfirmed
        && m_received.contains(kTurnConfirmation)) {
        m_turnConfirmed = true;
        m_received.clear();
        outcome.turnConfirmed = true;
    }
    return outcome;
}

// "i1", one separator byte, the text, then '#'. Only the first reply of a read
// counts: once a reply is complete, whatever else was received is used up, so
// a second reply in the same read never shows up later.
std::optional<QString> OrbistoReply::takeDeviceInfo()
{
    const int start = m_received.indexOf(m_command);
    const int end = start < 0 ? -1 : m_received.indexOf(kInfoEnd, start + 1);
    if (end < 0)
        return std::nullopt;
    const int skip = m_command.size() + 1;
    // A '#' right after "i1" makes the length negative, which takes the rest.
    const QByteArray text = m_received.mid(start + skip, end - skip - start);
    m_received.clear();
    if (text.isEmpty())
        return std::nullopt;
    const int nul = text.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? text : text.left(nul));
}
