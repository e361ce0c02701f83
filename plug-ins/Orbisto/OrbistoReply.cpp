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

// A reply is never longer than a line of text: of the bytes carried over from
// earlier reads, no more than this are kept.
const int kMaxCarriedBytes = 4096;

// A position or a length in a byte array, of the type QByteArray uses: int on
// Qt 5, qsizetype on Qt 6. Either way it goes back into QByteArray unnarrowed.
using BytePosition = decltype(QByteArray().size());

// Where an information reply lies in bytes: "i1", one separator byte, the
// text, then '#'.
struct InfoReply
{
    BytePosition start = -1;
    BytePosition end = -1;
    bool isComplete() const { return end >= 0; }
};

InfoReply findInfoReply(const QByteArray &bytes, const QByteArray &command)
{
    InfoReply reply;
    reply.start = bytes.indexOf(command);
    if (reply.start >= 0)
        reply.end = bytes.indexOf(kInfoEnd, reply.start + 1);
    return reply;
}

} // namespace

OrbistoReply::OrbistoReply(const QByteArray &commandBody)
    : m_command(commandBody)
{
}

OrbistoReply::Outcome OrbistoReply::read(const QByteArray &bytes)
{
    // The device may split a reply across reads, so what came before in
    // answer to the same command may complete this read. This read always
    // counts whole, however long: only what is carried over is bounded.
    const QByteArray joined = m_received + bytes;

    Outcome outcome;
    // Set once a reply is complete: nothing of this read is carried over then.
    bool usedUp = false;
    if (m_command == kInfoRequestBody)
        outcome.deviceInfo = takeDeviceInfo(bytes, joined, usedUp);
    // Any answer at all, even an error text or a read that found nothing,
    // stands for the state the command asked for.
    if (m_command == kStopBody)
        outcome.rotating = false;
    if (m_command == kRotateClockwiseBody || m_command == kRotateCounterClockwiseBody)
        outcome.rotating = true;
    if (m_command.startsWith(OrbistoProtocol::kTurn) && !m_turnConfirmed
        && joined.contains(kTurnConfirmation)) {
        m_turnConfirmed = true;
        usedUp = true;
        outcome.turnConfirmed = true;
    }
    m_received = usedUp ? QByteArray() : joined.right(kMaxCarriedBytes);
    return outcome;
}

// Only the first reply counts: once a reply is complete, whatever else was
// received is used up, so a second reply in the same read never shows up
// later. A read that holds a complete reply of its own is read alone, so a
// fragment left over from an earlier reply cannot join it.
std::optional<QString> OrbistoReply::takeDeviceInfo(const QByteArray &bytes, const QByteArray &joined,
                                                    bool &usedUp)
{
    const QByteArray *source = &bytes;
    InfoReply reply = findInfoReply(bytes, m_command);
    if (!reply.isComplete()) {
        source = &joined;
        reply = findInfoReply(joined, m_command);
    }
    if (!reply.isComplete())
        return std::nullopt;
    usedUp = true;
    const BytePosition skip = m_command.size() + 1;
    // A '#' right after "i1" makes the length negative, which takes the rest.
    const QByteArray text = source->mid(reply.start + skip, reply.end - skip - reply.start);
    if (text.isEmpty())
        return std::nullopt;
    const BytePosition nul = text.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? text : text.left(nul));
}
