#ifndef ORBISTOMACHINE_H
#define ORBISTOMACHINE_H

#include "OrbistoReply.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// What the controller does, without doing it: the capture, continuous rotation
// and the information request as one state machine. It is fed events (host
// calls, presses, reads from the device, expired delays, a lost port) and
// answers with actions (a frame to write, a delay to start, a signal to emit,
// what the forms show). No port, timer or widget lives here, so every sequence
// of events can be played without a device or an event loop; the controller
// only carries the actions out.
class OrbistoMachine
{
public:
    // What a delay is for; the controller knows how long each one lasts.
    enum class DelayKind {
        FirstPicture, // none: the first request comes from the event loop
        PostSnap,     // after a picture, before the turn
        PreSnap,      // after the turn's confirmation, before the next picture
    };
    struct Delay
    {
        DelayKind kind = DelayKind::FirstPicture;
        // Names the step it belongs to: an expired delay of anything but the
        // step now waiting for it is ignored.
        quint64 id = 0;
        // How long it lasts, never negative: at least this long, never less.
        int milliseconds = 0;
    };
    // What a capture runs with, fixed when it starts: a save during a capture
    // applies to the next one.
    struct Settings
    {
        quint16 framesCount = 0;
        int postSnapSeconds = 0;
        int preSnapSeconds = 0;
    };
    struct Command
    {
        char letter = 0;
        int value = 0;
    };
    enum class Signal { None, SnapActionRequired, Finished };

    struct Actions
    {
        // False when a start or a press was refused: nothing else then happens.
        bool accepted = true;
        std::optional<Command> command;
        std::optional<Delay> delay;
        Signal signal = Signal::None;
        // Whether the rotation panels of every open form may be used, when it
        // changed (and always for a form just built).
        std::optional<bool> panelsUsable;
        std::optional<QString> deviceInfo;
        bool turntableGone = false;
    };

    // The scan opened a port: from now on there is a turntable.
    void turntableFound();

    Actions startCapture(Settings settings);
    Actions snapTaken(int count);
    Actions dialogBuilt();
    Actions startPressed(bool clockwise);
    Actions stopPressed();
    Actions read(const QByteArray &bytes);
    Actions delayExpired(const Delay &delay);
    Actions portLost();

    bool isRotating() const { return m_rotating; }

private:
    enum class Link { Absent, Present, Lost };
    enum class Step {
        Idle,            // no capture, or one that ended
        EarlierTurn,     // a new capture waits for an earlier capture's turn
        FirstPicture,    // started; its first request is due
        AwaitingPicture, // a picture was requested
        PostSnap,        // a picture was taken; the turn is due
        Turning,         // the turn was sent; waiting for "Success"
        PreSnap,         // the turn was confirmed; the next request is due
    };

    bool arePanelsUsable() const { return m_link == Link::Present && m_step == Step::Idle; }
    void startDelay(Actions &actions, DelayKind kind, int milliseconds, Step step);
    // Puts the command into actions; returns the reader of its reply.
    static OrbistoReply send(Actions &actions, char letter, int value);
    Actions sendRotation(char letter, int value);

    Link m_link = Link::Absent;
    Step m_step = Step::Idle;
    quint16 m_framesCount = 0;
    int m_stepsPerFrame = 0;
    int m_postSnapMs = 0;
    int m_preSnapMs = 0;
    // The one delay the capture waits for; 0 while it waits for none.
    quint64 m_pendingDelay = 0;
    quint64 m_lastDelay = 0;

    // Replies are unframed, so each kind of command that is still owed an
    // answer reads every burst: a turn's confirmation must not be lost to an
    // information request sent while the table turns.
    // A turn still owed its "Success" is waited for by any capture; the
    // information reader retires once it has yielded its text.
    std::optional<OrbistoReply> m_turnReply;
    std::optional<OrbistoReply> m_infoReply;
    std::optional<OrbistoReply> m_rotationReply;
    // A Start the device has not answered yet: the table is about to spin,
    // though no reply says so.
    bool m_startUnanswered = false;
    bool m_rotating = false;
};

#endif // ORBISTOMACHINE_H
