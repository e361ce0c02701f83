// Feeds arbitrary device replies to the controller over a simulated turntable
// and checks, after every read, what a host could notice: picture requests,
// the rotation state and the device information in the settings dialog.
//
// An input is a list of commands and reads:
//   letter, flags     the first command
//   n, n bytes        one read of n bytes (n = 1..255) by the controller
//   0, letter, flags  the next command
// The letter is e, i, r, c or p; any other byte picks one of them. Flags:
//   bit 0  a settings dialog is alive from now on (created or destroyed to match)
//   bit 1  the command's value is 0 instead of 1
//   bit 2  no command is sent, the last one stays (the new dialog's "i1", say)
// A read longer than the rest of the input takes the rest.

#include "OrbistoProtocol.h"
#include "TestSupport.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QVector>
#include <QWidget>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

namespace {

const char kLetters[] = {OrbistoProtocol::kEnable, OrbistoProtocol::kInformation,
                         OrbistoProtocol::kRotate, OrbistoProtocol::kStop, OrbistoProtocol::kTurn};
const uint8_t kNextCommand = 0;
const uint8_t kDialogFlag = 1;
const uint8_t kValueZeroFlag = 2;
const uint8_t kKeepCommandFlag = 4;

const QByteArray kEnableBody = QByteArrayLiteral("e1");
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

// The harness itself failed, not the controller.
[[noreturn]] void stuck(const char *what)
{
    qFatal("fuzzer harness stuck: %s", what);
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

// Whether label is a text the device sent in stream: after "i1" and one
// separator byte, up to the next '#'. A '#' separator ends the reply at once,
// so the text is then the rest of what had been read, up to the end of a read.
bool isDeviceInfo(const QString &label, const QByteArray &stream, const QVector<int> &readEnds)
{
    for (int at = stream.indexOf(kInfoRequestBody); at >= 0;
         at = stream.indexOf(kInfoRequestBody, at + 1)) {
        const int textStart = at + kInfoRequestBody.size() + 1;
        if (textStart > stream.size())
            break;
        if (stream.at(textStart - 1) != kInfoEnd) {
            const int end = stream.indexOf(kInfoEnd, textStart);
            if (end > textStart && shownText(stream.mid(textStart, end - textStart)) == label)
                return true;
            continue;
        }
        for (int end : readEnds) {
            if (end > textStart && shownText(stream.mid(textStart, end - textStart)) == label)
                return true;
        }
    }
    return false;
}

// One controller on a fresh simulated turntable, and what a host would expect
// of it after each read.
class Session
{
public:
    Session()
    {
        // Only the input speaks for the device; the enable command is already silenced.
        SimulatedTurntable::Fault silent;
        silent.silent = true;
        for (char letter : kLetters)
            m_rig.turntable.setFault(letter, silent);
        QObject::connect(m_rig.controller.get(), &CAbstractTurntableController::snapActionRequired,
                         m_rig.controller.get(), [this] { ++m_requests; });
        QObject::connect(&m_rig.turntable, &SimulatedTurntable::sent, &m_rig.turntable,
                         [this] { ++m_writes; });
        startReply(kEnableBody); // the scan's command
        if (saveMessage(*m_rig.controller) == kNotDetected)
            stuck("the controller did not open the simulated turntable");
    }

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
    }

private:
    void command(uint8_t letterByte, uint8_t flags)
    {
        const bool dialog = flags & kDialogFlag;
        if (!dialog && m_dialog) {
            m_label = nullptr;
            m_dialog.reset();
        }
        if (dialog && !m_dialog) {
            m_dialog.reset(m_rig.controller->createSettingsWidget());
            m_label = m_dialog->findChild<QLabel *>(QStringLiteral("deviceInfoLabel"));
            if (!m_label)
                broken("the settings dialog has no device information label");
            m_labelText = m_label->text();
            startReply(kInfoRequestBody);
        }
        if (!(flags & kKeepCommandFlag)) {
            const char letter = letterFor(letterByte);
            const int value = (flags & kValueZeroFlag) ? 0 : 1;
            m_rig.controller->sendCommand(letter, value);
            startReply(QByteArray(1, letter) + QByteArray::number(value));
        }
    }

    void startReply(const QByteArray &commandBody)
    {
        m_command = commandBody;
        m_stream.clear();
        m_readEnds.clear();
        m_turnConfirmed = false;
    }

    void read(const QByteArray &chunk)
    {
        deliver(chunk);
        m_stream += chunk;
        m_readEnds.append(m_stream.size());
        // A confirmation's pre-snap delay is 0 ms here: a queued call.
        QCoreApplication::sendPostedEvents();
        check();
    }

    // Returns once the controller has read all of chunk, in one read.
    void deliver(const QByteArray &chunk)
    {
        SimulatedTurntable &turntable = m_rig.turntable;
        const int writes = m_writes;
        turntable.send(chunk);
        if (m_writes != writes + 1)
            stuck("the pseudo-terminal did not take a read in one write");
        // The kernel hands written bytes to the reading side a moment later.
        // The event loop stays still until all of them are there, so that the
        // controller gets the chunk in one read, as the input says.
        const QDeadlineTimer deadline(TurntableRig::kWaitMs);
        while (turntable.bytesUnread() < chunk.size()) {
            if (deadline.hasExpired())
                stuck("written bytes did not reach the controller's side");
            std::this_thread::yield();
        }
        while (turntable.bytesUnread() > 0) {
            if (deadline.hasExpired())
                stuck("the controller did not read what it was sent");
            QCoreApplication::processEvents();
        }
    }

    void check()
    {
        if (m_command.startsWith(OrbistoProtocol::kTurn) && !m_turnConfirmed
            && m_stream.contains(kTurnConfirmation)) {
            m_turnConfirmed = true;
            ++m_expectedRequests;
        }
        if (m_requests > m_expectedRequests)
            broken("a picture request without a confirmed turn, or a second one for the same turn");
        if (m_requests < m_expectedRequests)
            broken("a confirmed turn without a picture request");

        if (m_command == kRotateClockwiseBody || m_command == kRotateCounterClockwiseBody)
            m_rotating = true;
        if (m_command == kStopBody)
            m_rotating = false;
        if ((saveMessage(*m_rig.controller) == kStopRotationFirst) != m_rotating)
            broken(m_rotating ? "rotation not seen after a reply to a rotate command"
                              : "rotation changed by a reply to another command");

        if (!m_label)
            return;
        const QString text = m_label->text();
        if (text == m_labelText)
            return;
        if (m_command != kInfoRequestBody)
            broken("device information changed by a reply to another command");
        if (!isDeviceInfo(text, m_stream, m_readEnds))
            broken("device information that the device never sent");
        m_labelText = text;
    }

    TurntableRig m_rig;
    // Declared after the rig, so it goes first: the host's order.
    std::unique_ptr<QWidget> m_dialog;
    QLabel *m_label = nullptr;
    QString m_labelText;
    // The command the controller reads replies against, and what came since.
    QByteArray m_command;
    QByteArray m_stream;
    QVector<int> m_readEnds;
    bool m_turnConfirmed = false;
    bool m_rotating = false;
    int m_expectedRequests = 0;
    int m_requests = 0;
    int m_writes = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // One application for the whole run, as in a host; its own arguments, so
    // that it takes none of libFuzzer's.
    static int argc = 1;
    static char name[] = "fuzz_replies";
    static char *argv[] = {name, nullptr};
    static QApplication *application = new QApplication(argc, argv);
    Q_UNUSED(application)
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return -1; // no first command: not worth keeping
    // A fresh controller and pseudo-terminal per input: nothing carries over,
    // so an input that fails does so again on its own, and what one input
    // leaves allocated is a leak that libFuzzer reports. Reusing the pair ran
    // about twice as fast but kept state (a validator per dialog) across inputs.
    Session session;
    session.run(data, size);
    return 0;
}
