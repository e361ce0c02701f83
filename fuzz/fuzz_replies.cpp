// Feeds arbitrary device replies to the reply reader and checks, after every
// read, what the controller acts on: the device information for the label,
// the rotation state and the confirmation of a turn.
//
// An input is a list of commands and reads:
//   letter, flags     the first command
//   n, n bytes        one read of n bytes (n = 1..255)
//   0, letter, flags  the next command
// The letter is e, i, r, c or p; any other byte picks one of them. Flags:
//   bit 0  a settings dialog is open from now on; opening one asks for the
//          device information ("i1") before the command, as the controller does
//   bit 1  the command's value is 0 instead of 1
//   bit 2  no command is sent, the last one stays (the new dialog's "i1", say)
// A read longer than the rest of the input takes the rest.

#include "OrbistoProtocol.h"
#include "OrbistoReply.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

const char kLetters[] = {OrbistoProtocol::kEnable, OrbistoProtocol::kInformation,
                         OrbistoProtocol::kRotate, OrbistoProtocol::kStop, OrbistoProtocol::kTurn};
const uint8_t kNextCommand = 0;
const uint8_t kDialogFlag = 1;
const uint8_t kValueZeroFlag = 2;
const uint8_t kKeepCommandFlag = 4;

const QByteArray kInfoRequestBody = QByteArrayLiteral("i1");
const QByteArray kRotateClockwiseBody = QByteArrayLiteral("r1");
const QByteArray kRotateCounterClockwiseBody = QByteArrayLiteral("r0");
const QByteArray kStopBody = QByteArrayLiteral("c1");
const QByteArray kTurnConfirmation = QByteArrayLiteral("Success");
const char kInfoEnd = '#';

[[noreturn]] void broken(const char *what)
{
    qFatal("invariant broken: %s", what);
}

char letterFor(uint8_t byte)
{
    const void *letter = std::memchr(kLetters, byte, sizeof kLetters);
    return letter ? char(byte) : kLetters[byte % sizeof kLetters];
}

// What the label shows for a reply's text: up to a NUL, as UTF-8.
QString shownText(const QByteArray &text)
{
    const int nul = text.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? text : text.left(nul));
}

// One command and the reads that answer it, and what the controller should
// make of them.
class Session
{
public:
    void run(const uint8_t *data, size_t size)
    {
        command(data[0], data[1]);
        size_t at = 2;
        while (at < size) {
            const uint8_t length = data[at++];
            if (length == kNextCommand) {
                if (size - at < 2)
                    break;
                command(data[at], data[at + 1]);
                at += 2;
                continue;
            }
            const size_t taken = std::min<size_t>(length, size - at);
            if (taken == 0)
                break;
            read(QByteArray(reinterpret_cast<const char *>(data + at), int(taken)));
            at += taken;
        }
        // A read of nothing, as a superseded port causes, changes nothing but rotation.
        read(QByteArray());
    }

private:
    void command(uint8_t letterByte, uint8_t flags)
    {
        const bool dialog = flags & kDialogFlag;
        if (dialog && !m_dialog)
            start(kInfoRequestBody);
        m_dialog = dialog;
        if (!(flags & kKeepCommandFlag)) {
            const char letter = letterFor(letterByte);
            start(QByteArray(1, letter) + QByteArray::number((flags & kValueZeroFlag) ? 0 : 1));
        }
    }

    void start(const QByteArray &body)
    {
        m_command = body;
        m_reply = OrbistoReply(body);
        m_stream.clear();
        m_shownUpTo = 0;
        m_turnConfirmed = false;
    }

    void read(const QByteArray &bytes)
    {
        const OrbistoReply::Outcome outcome = m_reply.read(bytes);
        m_stream += bytes;
        checkTurn(outcome.turnConfirmed);
        checkRotation(outcome.rotating);
        checkLoneReply(bytes, outcome.deviceInfo);
        if (outcome.deviceInfo) {
            checkDeviceInfo(*outcome.deviceInfo);
            m_shownUpTo = m_stream.size();
        }
    }

    // A read that holds a complete information reply of its own means what
    // it means alone, whatever came before it.
    void checkLoneReply(const QByteArray &bytes, const std::optional<QString> &shown)
    {
        if (m_command != kInfoRequestBody)
            return;
        const int at = bytes.indexOf(kInfoRequestBody);
        const int end = at < 0 ? -1 : bytes.indexOf(kInfoEnd, at + 1);
        if (end < 0)
            return;
        const int textStart = at + kInfoRequestBody.size() + 1;
        const QByteArray raw = bytes.mid(textStart, end >= textStart ? end - textStart : -1);
        const std::optional<QString> expected =
            raw.isEmpty() ? std::nullopt : std::optional<QString>(shownText(raw));
        if (shown != expected)
            broken("a complete information reply in one read not read on its own");
    }

    // A turn is confirmed on the first read after which "Success" has come,
    // once, and never by what came before its command. A read counts whole,
    // and more than "Success" is carried over, so one that ends in it is always seen.
    void checkTurn(bool confirmed)
    {
        const bool expected = m_command.startsWith(OrbistoProtocol::kTurn) && !m_turnConfirmed
            && m_stream.contains(kTurnConfirmation);
        if (confirmed && !expected)
            broken("a turn confirmed without a new \"Success\", or twice");
        if (!confirmed && expected)
            broken("a \"Success\" after a turn command not taken as its confirmation");
        m_turnConfirmed = m_turnConfirmed || confirmed;
    }

    void checkRotation(std::optional<bool> rotating)
    {
        std::optional<bool> expected;
        if (m_command == kRotateClockwiseBody || m_command == kRotateCounterClockwiseBody)
            expected = true;
        if (m_command == kStopBody)
            expected = false;
        if (rotating != expected)
            broken("rotation state not the one the last command asked for");
    }

    // The text follows an "i1" that came after the last shown reply and one
    // separator byte, and runs to the next '#'; a '#' right after "i1" makes
    // it run to the end of this read.
    void checkDeviceInfo(const QString &text)
    {
        if (m_command != kInfoRequestBody)
            broken("device information from a reply to another command");
        const int readEnd = m_stream.size();
        for (int at = m_stream.indexOf(kInfoRequestBody, m_shownUpTo); at >= 0;
             at = m_stream.indexOf(kInfoRequestBody, at + 1)) {
            const int textStart = at + kInfoRequestBody.size() + 1;
            const int end = m_stream.indexOf(kInfoEnd, at + 1);
            if (end < 0)
                break;
            const int textEnd = end >= textStart ? end : readEnd;
            const QByteArray raw = m_stream.mid(textStart, textEnd - textStart);
            if (!raw.isEmpty() && shownText(raw) == text)
                return;
        }
        broken("device information the device did not send since the last shown reply");
    }

    QByteArray m_command;
    OrbistoReply m_reply;
    bool m_dialog = false;
    // Everything read since the command.
    QByteArray m_stream;
    // Where the reads after the last shown reply begin in m_stream.
    int m_shownUpTo = 0;
    bool m_turnConfirmed = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return -1; // no first command: not worth keeping
    Session session;
    session.run(data, size);
    return 0;
}
