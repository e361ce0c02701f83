#include "OrbistoMachine.h"

#include <QTest>

#include <algorithm>
#include <cstring>
#include <vector>

// The controller's state machine, played through every sequence of events up
// to a depth against a model of the host and the device, then run to its end
// with both cooperating. A failure names the shortest sequence that breaks a rule.
class tst_Machine : public QObject
{
    Q_OBJECT

private slots:
    void keepsRulesInEverySequence();
};

namespace {

using Machine = OrbistoMachine;
const quint16 kFrames = 3;
const int kDepth = 7;

enum Event { Start, Snap, Dialog, PressStart, PressStop, Answer, Drop, FireOldest, FireNewest, Lose, kEvents };
const char *const kEventNames[] = {"startCapture", "snapTaken", "dialog built", "Start pressed",
                                   "Stop pressed", "device answers", "device drops a command",
                                   "oldest delay expires", "newest delay expires", "port lost"};

struct Sent
{
    Machine::Command command;
    int capture; // the capture during which it was sent, 0 for none
};

struct World
{
    Machine machine;
    std::vector<Sent> unanswered; // oldest first: the device answers in order
    std::vector<Machine::Delay> armed; // the controller never cancels a delay
    char lastRotation = 'c'; // the last rotation command sent
    bool lost = false;
    int capture = 0;
    bool capturing = false;
    bool requestPending = false;
    bool turnDropped = false;
    int requests = 0, taken = 0, turns = 0, confirmed = 0, finished = 0;
    const char *broken = nullptr;

    void check(bool rule, const char *what)
    {
        if (!rule && !broken)
            broken = what;
    }
    // Whether the device still owes an answer to a command with one of these letters.
    bool owes(const char *letters, bool earlierCaptureOnly = false) const
    {
        return std::any_of(unanswered.cbegin(), unanswered.cend(), [=](const Sent &sent) {
            return strchr(letters, sent.command.letter) && !(earlierCaptureOnly && sent.capture == capture);
        });
    }

    void take(const Machine::Actions &actions)
    {
        check(!lost || actions.isEmpty(), "something acted after the port was lost");
        if (const std::optional<Machine::Command> command = actions.command) {
            const bool rotation = command->letter == 'r' || command->letter == 'c';
            check(!(rotation && capturing), "a rotation command during a capture");
            lastRotation = rotation ? command->letter : lastRotation;
            if (command->letter == 'p') {
                check(capturing && turns < taken, "a turn that no picture of this capture asked for");
                ++turns;
            }
            unanswered.push_back({*command, capturing ? capture : 0});
        }
        if (actions.delay)
            armed.push_back(*actions.delay);
        if (actions.signal == Machine::Signal::SnapActionRequired) {
            check(capturing && !requestPending && requests == taken, "picture k + 1 requested before snapTaken(k)");
            check(requests == 0 || confirmed >= requests, "a picture requested before its turn was confirmed");
            check(!owes("p"), "a picture requested while the table turns");
            ++requests;
            requestPending = true;
        } else if (actions.signal == Machine::Signal::Finished) {
            check(capturing, "finished() outside a capture");
            ++finished;
            capturing = false;
        }
    }

    // False when the event cannot happen now.
    bool play(Event event)
    {
        switch (event) {
        case Start: {
            const Machine::Actions actions = machine.startCapture(kFrames);
            if (actions.accepted) {
                check(lastRotation != 'r', "a capture started while the table spins or is about to");
                ++capture;
                capturing = true;
                requestPending = turnDropped = false;
                requests = taken = turns = confirmed = finished = 0;
            }
            take(actions);
            break;
        }
        case Snap:
            if (!requestPending)
                return false;
            requestPending = false;
            take(machine.snapTaken(++taken));
            break;
        case Dialog:
            take(machine.dialogBuilt());
            break;
        case PressStart:
        case PressStop:
            take(event == PressStart ? machine.startPressed(true) : machine.stopPressed());
            break;
        case Answer:
        case Drop: {
            if (unanswered.empty())
                return false;
            const Sent sent = unanswered.front();
            unanswered.erase(unanswered.begin());
            const char letter = sent.command.letter;
            const bool own = letter == 'p' && sent.capture == capture && capturing;
            if (event == Drop) {
                turnDropped = turnDropped || own;
                break;
            }
            confirmed += own ? 1 : 0;
            const QByteArray body = letter + QByteArray::number(sent.command.value);
            take(machine.read(letter == 'i' ? body + ":Orbisto#" : body + (letter == 'p' ? " Success\r\n" : " OK\r\n")));
            break;
        }
        case FireOldest:
        case FireNewest: {
            if (armed.empty() || (event == FireNewest && armed.size() < 2))
                return false;
            const auto delay = event == FireOldest ? armed.begin() : armed.end() - 1;
            // A device answers a turn well within the settling time, or never.
            if (delay->kind == Machine::DelayKind::Settle && owes("p", true))
                return false;
            const Machine::Delay expired = *delay;
            armed.erase(delay);
            take(machine.delayExpired(expired));
            break;
        }
        case Lose: {
            if (lost)
                return false;
            const Machine::Actions actions = machine.portLost();
            check(actions.turntableGone && !actions.command && !actions.delay
                      && actions.signal == Machine::Signal::None,
                  "losing the port did more than show it");
            lost = true;
            break;
        }
        case kEvents:
            break;
        }
        check(machine.arePanelsUsable() == (!capturing && !lost), "the rotation panels are not locked exactly while a capture runs");
        return true;
    }

    // The host answers every request, the device every command, and every delay expires.
    void runToEnd()
    {
        for (int step = 0; step < 100 && !broken; ++step) {
            if (!play(Snap) && !play(Answer) && !play(FireOldest))
                break;
        }
        if (capture > 0 && !lost && !turnDropped) {
            check(finished == 1 && requests == kFrames && turns == kFrames - 1,
                  "a confirmed capture did not end with N requests, N - 1 turns and one finished()");
        }
    }
};

// Depth-first to exactly depth, checking the rules after every event and at the leaves
// once the capture has run to its end.
bool explore(const World &world, std::vector<Event> &path, int depth, QString &failure)
{
    if (depth == 0) {
        World end = world;
        end.runToEnd();
        if (end.broken)
            failure = QString::fromLatin1(end.broken) + QStringLiteral(", then running to the end");
        return !end.broken;
    }
    for (int event = 0; event < kEvents; ++event) {
        World next = world;
        if (!next.play(Event(event)))
            continue;
        path.push_back(Event(event));
        if (next.broken)
            failure = QString::fromLatin1(next.broken);
        if (next.broken || !explore(next, path, depth - 1, failure))
            return false;
        path.pop_back();
    }
    return true;
}

} // namespace

void tst_Machine::keepsRulesInEverySequence()
{
    // Iterative deepening: the first failure found is one of the shortest.
    World start;
    start.machine.turntableFound();
    for (int depth = 0; depth <= kDepth; ++depth) {
        std::vector<Event> path;
        QString failure;
        if (explore(start, path, depth, failure))
            continue;
        QStringList events;
        for (Event event : path)
            events.append(QLatin1String(kEventNames[event]));
        QFAIL(qPrintable(QStringLiteral("%1 after: %2").arg(failure, events.join(QLatin1String(", ")))));
    }
}

QTEST_APPLESS_MAIN(tst_Machine)
#include "tst_machine.moc"
