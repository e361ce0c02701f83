#include "SimulatedTurntable.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

const QByteArray SimulatedTurntable::kDefaultIdentification =
    QByteArrayLiteral("Orbisto simulated turntable, firmware 1.0");

namespace {

const QString kManufacturer = QStringLiteral("STMicroelectronics (simulated)");
const char kFrameStart = '#';
const char kFrameEnd = '.';
// "i1", this byte, the identification text, '#'.
const char kInformationSeparator = ':';

// A real device lives in another process, so the controller never sees the
// simulator's system calls; errno is left as it was found, or a stale EAGAIN
// from the master could hide how the controller's own reads fail.
class ErrnoKeeper
{
public:
    ErrnoKeeper() : m_saved(errno) {}
    ~ErrnoKeeper() { errno = m_saved; }
    Q_DISABLE_COPY(ErrnoKeeper)

private:
    int m_saved;
};

} // namespace

SimulatedTurntable::SimulatedTurntable(QObject *parent)
    : QObject(parent)
{
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slavePath[PATH_MAX] = {};
    if (m_masterFd < 0 || ::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0
        || ::ptsname_r(m_masterFd, slavePath, sizeof slavePath) != 0) {
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
        closeAll();
        return;
    }
    m_slavePath = QString::fromLocal8Bit(slavePath);
    // Holding the slave open keeps the master from reading a hang-up while the
    // controller has not opened the port yet or has closed it again. Raw mode
    // keeps the line discipline from echoing or cooking the bytes.
    m_slaveFd = ::open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings;
    if (m_slaveFd < 0 || ::tcgetattr(m_slaveFd, &settings) != 0) {
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
        closeAll();
        return;
    }
    ::cfmakeraw(&settings);
    ::tcsetattr(m_slaveFd, TCSANOW, &settings);
    ::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK);
    serve();
}

SimulatedTurntable::SimulatedTurntable(const QString &devicePath, QObject *parent)
    : QObject(parent)
{
    m_masterFd = ::open(QFile::encodeName(devicePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings;
    if (m_masterFd < 0 || ::tcgetattr(m_masterFd, &settings) != 0) {
        m_errorString = devicePath + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        closeAll();
        return;
    }
    ::cfmakeraw(&settings);
    ::tcsetattr(m_masterFd, TCSANOW, &settings);
    serve();
}

void SimulatedTurntable::serve()
{
    m_notifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SimulatedTurntable::onMasterReadable);
    m_writeNotifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimulatedTurntable::flushOutbox);
}

SimulatedTurntable::~SimulatedTurntable()
{
    closeAll();
}

SerialPortCandidate SimulatedTurntable::candidate() const
{
    return {m_slavePath, kManufacturer};
}

void SimulatedTurntable::clearReceived()
{
    m_received.clear();
    m_frames.clear();
}

int SimulatedTurntable::bytesUnread() const
{
    const ErrnoKeeper keeper;
    int unread = -m_outboxOffset;
    for (const QByteArray &bytes : m_outbox)
        unread += bytes.size();
    int inPty = 0;
    if (m_slaveFd >= 0 && ::ioctl(m_slaveFd, FIONREAD, &inPty) == 0)
        unread += inPty;
    return unread;
}

void SimulatedTurntable::send(const QByteArray &bytes)
{
    if (!isOpen() || bytes.isEmpty())
        return;
    m_outbox.append(bytes);
    flushOutbox();
}

void SimulatedTurntable::flushOutbox()
{
    const ErrnoKeeper keeper;
    // The pty takes only a few kilobytes at a time; the rest waits until the
    // controller has read some.
    while (isOpen() && !m_outbox.isEmpty()) {
        const QByteArray &bytes = m_outbox.first();
        const ssize_t n = ::write(m_masterFd, bytes.constData() + m_outboxOffset,
                                  size_t(bytes.size() - m_outboxOffset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            // A hung-up line takes nothing more, and would wake us for ever.
            m_outbox.clear();
            m_outboxOffset = 0;
        }
        if (n < 0)
            break;
        m_outboxOffset += int(n);
        if (m_outboxOffset == bytes.size()) {
            const QByteArray done = m_outbox.takeFirst();
            m_outboxOffset = 0;
            emit sent(done);
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(isOpen() && !m_outbox.isEmpty());
}

void SimulatedTurntable::hangUp()
{
    const ErrnoKeeper keeper;
    if (!isOpen())
        return;
    closeAll();
    emit hungUp();
}

void SimulatedTurntable::onMasterReadable()
{
    const ErrnoKeeper keeper;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_masterFd, buffer, sizeof buffer);
        if (n > 0) {
            m_received.append(buffer, int(n));
            m_pending.append(buffer, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            m_notifier->setEnabled(false); // nobody left on the other side
        break;
    }

    // Frames are "#<letter><value>."; bytes outside a frame are ignored.
    while (isOpen()) {
        const int end = m_pending.indexOf(kFrameEnd);
        if (end < 0)
            break;
        const int start = m_pending.lastIndexOf(kFrameStart, end);
        if (start < 0) {
            m_pending.remove(0, end + 1);
            continue;
        }
        const QByteArray frame = m_pending.mid(start, end - start + 1);
        m_pending.remove(0, end + 1);
        m_frames.append(frame);
        emit frameReceived(frame);
        answer(frame);
    }
}

void SimulatedTurntable::answer(const QByteArray &frame)
{
    const QByteArray body = frame.mid(1, frame.size() - 2);
    if (body.isEmpty())
        return;
    const Fault fault = m_faults.value(body.at(0));
    if (fault.hangUp) {
        hangUp();
        return;
    }
    if (fault.silent)
        return;
    const QByteArray reply =
        fault.garbage + (fault.errorText.isEmpty() ? replyFor(body) : fault.errorText);
    sendReply(reply, fault.splitAt, fault.pauseMs, 0);
    // The second copy comes later, in a read of its own.
    if (fault.doubled)
        sendReply(reply, fault.splitAt, fault.pauseMs, fault.pauseMs);
}

QByteArray SimulatedTurntable::replyFor(const QByteArray &body) const
{
    switch (body.at(0)) {
    case 'i':
        return body + kInformationSeparator + m_identification + '#';
    case 'p':
        return body + " Success\r\n";
    case 'e':
    case 'r':
    case 'c':
        return body + " OK\r\n";
    default:
        return body + " Error: unknown command\r\n";
    }
}

void SimulatedTurntable::sendReply(const QByteArray &reply, int splitAt, int pauseMs, int delayMs)
{
    const bool split = splitAt > 0 && splitAt < reply.size();
    const QByteArray first = split ? reply.left(splitAt) : reply;
    if (delayMs <= 0 && m_deferred.isEmpty())
        send(first);
    else
        sendAfter(delayMs, first);
    if (split)
        sendAfter(pauseMs, reply.mid(splitAt));
}

// A serial line carries one reply at a time: a part waits for every part
// queued before it, so the tail of one reply never lands inside the next.
void SimulatedTurntable::sendAfter(int pauseMs, const QByteArray &bytes)
{
    m_deferred.append({pauseMs, bytes});
    if (m_deferred.size() == 1)
        QTimer::singleShot(pauseMs, this, &SimulatedTurntable::sendDeferred);
}

void SimulatedTurntable::sendDeferred()
{
    if (m_deferred.isEmpty())
        return; // hung up while the part was waiting
    send(m_deferred.takeFirst().bytes);
    if (!m_deferred.isEmpty())
        QTimer::singleShot(m_deferred.first().pauseMs, this, &SimulatedTurntable::sendDeferred);
}

void SimulatedTurntable::closeAll()
{
    // The notifiers may be the very ones whose signal brought us here.
    for (QSocketNotifier **notifier : {&m_notifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    m_outbox.clear();
    m_outboxOffset = 0;
    m_deferred.clear();
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    m_masterFd = -1;
    m_slaveFd = -1;
}
