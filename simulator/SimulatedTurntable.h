#ifndef SIMULATEDTURNTABLE_H
#define SIMULATEDTURNTABLE_H

#include "SerialPortCandidate.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

// A stand-in for the Orbisto turntable: the master side of a pseudo-terminal
// that answers frames like "#p210." as the device does. The controller opens
// the slave side like any serial port. Given a terminal instead, such as a USB
// gadget's /dev/ttyGS0, it answers on that one, and the controller opens
// whatever node the other end of the line has.
class SimulatedTurntable : public QObject
{
    Q_OBJECT

public:
    // What goes wrong with the answer to one command letter. Faults combine:
    // garbage first, then the (error or normal) reply, split and/or doubled.
    struct Fault
    {
        bool silent = false;         // no reply at all
        QByteArray errorText;        // sent instead of the reply when not empty
        int splitAt = -1;            // write the reply in two parts at this byte
        bool doubled = false;        // send the reply a second time
        int pauseMs = 20;            // before the second part or the second copy
        QByteArray garbage;          // bytes sent before the reply
        bool hangUp = false;         // close the master instead of answering
    };

    static const QByteArray kDefaultIdentification;

    explicit SimulatedTurntable(QObject *parent = nullptr);
    // Serves the terminal at devicePath, in raw mode; check isOpen().
    explicit SimulatedTurntable(const QString &devicePath, QObject *parent = nullptr);
    ~SimulatedTurntable() override;

    bool isOpen() const { return m_masterFd >= 0; }
    QString errorString() const { return m_errorString; }
    // The slave side, as the controller's scan should see it; empty when
    // serving a terminal it was given.
    QString systemLocation() const { return m_slavePath; }
    SerialPortCandidate candidate() const;

    void setIdentification(const QByteArray &text) { m_identification = text; }
    void setFault(char letter, const Fault &fault) { m_faults.insert(letter, fault); }
    void clearFaults() { m_faults.clear(); }

    // Everything received, byte for byte, and the frames found in it.
    QByteArray received() const { return m_received; }
    QList<QByteArray> frames() const { return m_frames; }
    void clearReceived();
    // Bytes queued or waiting in the pty that the controller has not read yet.
    // Right after a write the kernel may not have moved the bytes to the
    // reading side yet, so a single 0 is no proof that they were read.
    int bytesUnread() const;

    // Reads and answers what the controller has written, as the event loop
    // would; for a last look once the controller's process has ended.
    void readPending()
    {
        if (isOpen())
            onMasterReadable();
    }

    // Writes bytes to the controller as if the device had sent them.
    void send(const QByteArray &bytes);
    // Closes the master, as a device that is unplugged does.
    void hangUp();

signals:
    void frameReceived(const QByteArray &frame);
    // Bytes written towards the controller.
    void sent(const QByteArray &bytes);
    void hungUp();

private:
    void serve();
    void onMasterReadable();
    void flushOutbox();
    void answer(const QByteArray &frame);
    QByteArray replyFor(const QByteArray &body) const;
    void sendReply(const QByteArray &reply, int splitAt, int pauseMs, int delayMs);
    void sendAfter(int pauseMs, const QByteArray &bytes);
    void sendDeferred();
    void closeAll();

    int m_masterFd = -1;
    int m_slaveFd = -1;
    QString m_slavePath;
    QString m_errorString;
    QSocketNotifier *m_notifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    // Replies not yet taken by the pty, each sent whole and in order.
    QList<QByteArray> m_outbox;
    int m_outboxOffset = 0;
    QByteArray m_identification = kDefaultIdentification;
    QHash<char, Fault> m_faults;
    QByteArray m_pending;
    // Parts of replies waiting for their pause, in the order the line carries them.
    struct DeferredPart
    {
        int pauseMs;
        QByteArray bytes;
    };
    QList<DeferredPart> m_deferred;
    QByteArray m_received;
    QList<QByteArray> m_frames;
};

#endif // SIMULATEDTURNTABLE_H
