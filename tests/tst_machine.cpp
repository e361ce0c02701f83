#include "OrbistoMachine.h"

#include <QTest>

#include <algorithm>
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
// ORBISTO_MODEL_DEPTH=9 looks further, for minutes; sanitizer builds look less far.
const int kDefaultDepth = 7;
const char *const kEvents[] = {"startCapture", "snapTaken", "dialog built", "Start pressed", "Stop pressed",
                               "device answers", "device drops a command", "oldest delay expires",
                               "newest delay expires", "port lost"};
enum Event { Start, Snap, Dialog, PressStart, PressStop, Answer, Drop, FireOldest, FireNewest, Lose, kEventCount };

struct World
{
    Machine machine;
    std::vector<std::pair<Machine::Command, int>> unanswered; // with the capture that sent it; answered in order
    std::vector<Machine::Delay> armed; // the controller never cancels a delay
    char lastRotation = 'c';
    bool lost = false, capturing = false, requestPending = false, turnDropped = false;
    int capture = 0, requests = 0, taken = 0, turns = 0, confirmed = 0, finished = 0;
    const char *broken = nullptr;

    void check(bool rule, const char *what)
    {
        if (!rule && !broken)
            broken = what;
    }
    bool owesTurn(bool earlierCaptureOnly) const
    {
        return std::any_of(unanswered.cbegin(), unanswered.cend(), [=](const auto &sent) {
            return sent.first.letter == 'p' && !(earlierCaptureOnly && sent.second == capture);
        });
    }

    void take(const Machine::Actions &actions)
    {
        check(!lost || actions.isEmpty(), "something acted after the port was lost");
        if (const std::optional<Machine::Command> command = actions.command) {
            const bool rotation = command->letter == 'r' || command->letter == 'c';
            check(!(rotation && capturing), "a rotation command during a capture");
            lastRotation = rotation ? command->letter : lastRotation;
            if (command->letter == 'p')
                check(capturing && turns++ < taken, "a turn that no picture of this capture asked for");
            unanswered.emplace_back(*command, capturing ? capture : 0);
        }
        if (actions.delay)
            armed.push_back(*actions.delay);
        if (actions.signal == Machine::Signal::SnapActionRequired) {
            check(capturing && !requestPending && requests == taken, "picture k + 1 requested before snapTaken(k)");
            check(requests == 0 || confirmed >= requests, "a picture requested before its turn was confirmed");
            check(!owesTurn(false), "a picture requested while the table turns");
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
        if (event == Start) {
            const Machine::Actions actions = machine.startCapture(kFrames);
            if (actions.accepted) {
                check(lastRotation != 'r', "a capture started while the table spins or is about to");
                ++capture;
                capturing = true;
                requestPending = turnDropped = false;
                requests = taken = turns = confirmed = finished = 0;
            }
            take(actions);
        } else if (event == Snap && requestPending) {
            requestPending = false;
            take(machine.snapTaken(++taken));
        } else if (event == Dialog || event == PressStart || event == PressStop) {
            take(event == Dialog ? machine.dialogBuilt()
                                 : event == PressStart ? machine.startPressed(true) : machine.stopPressed());
        } else if ((event == Answer || event == Drop) && !unanswered.empty()) {
            const auto [command, sentDuring] = unanswered.front();
            unanswered.erase(unanswered.begin());
            const bool own = command.letter == 'p' && sentDuring == capture && capturing;
            turnDropped = turnDropped || (own && event == Drop);
            confirmed += own && event == Answer ? 1 : 0;
            const QByteArray body = command.letter + QByteArray::number(command.value);
            const char *reply = command.letter == 'i' ? ":Orbisto#" : command.letter == 'p' ? " Success\r\n" : " OK\r\n";
            if (event == Answer)
                take(machine.read(body + reply));
        } else if ((event == FireOldest && !armed.empty()) || (event == FireNewest && armed.size() > 1)) {
            const auto delay = event == FireOldest ? armed.begin() : armed.end() - 1;
            // A device answers a turn well within the settling time, or never.
            if (delay->kind == Machine::DelayKind::Settle && owesTurn(true))
                return false;
            const Machine::Delay expired = *delay;
            armed.erase(delay);
            take(machine.delayExpired(expired));
        } else if (event == Lose && !lost) {
            const Machine::Actions actions = machine.portLost();
            check(actions.turntableGone && !actions.command && !actions.delay && actions.signal == Machine::Signal::None,
                  "losing the port did more than show it");
            lost = true;
        } else {
            return false;
        }
        check(machine.arePanelsUsable() == (!capturing && !lost),
              "the rotation panels are not locked exactly while a capture runs");
        return true;
    }

    // The host answers every request, the device every command, and every delay expires.
    void runToEnd()
    {
        for (int step = 0; step < 100 && !broken && (play(Snap) || play(Answer) || play(FireOldest)); ++step) {
        }
        check(capture == 0 || lost || turnDropped || (finished == 1 && requests == kFrames && turns == kFrames - 1),
              "a confirmed capture did not end with N requests, N - 1 turns and one finished()");
    }
};

// Depth-first to exactly depth, checking the rules after every event, and at
// the end of the sequence once it has run to its end.
const char *explore(const World &world, std::vector<Event> &path, int depth)
{
    if (depth == 0) {
        World end = world;
        end.runToEnd();
        return end.broken;
    }
    for (int event = 0; event < kEventCount; ++event) {
        World next = world;
        if (!next.play(Event(event)))
            continue;
        path.push_back(Event(event));
        if (const char *broken = next.broken ? next.broken : explore(next, path, depth - 1))
            return broken;
        path.pop_back();
    }
    return nullptr;
}

} // namespace

void tst_Machine::keepsRulesInEverySequence()
{
    World start;
    start.machine.turntableFound();
    // Iterative deepening: the first failure found is one of the shortest.
    bool set = false;
    const int maxDepth = qEnvironmentVariableIntValue("ORBISTO_MODEL_DEPTH", &set);
    for (int depth = 0; depth <= (set ? maxDepth : kDefaultDepth); ++depth) {
        std::vector<Event> path;
        if (const char *broken = explore(start, path, depth)) {
            QStringList events;
            for (Event event : path)
                events.append(QLatin1String(kEvents[event]));
            QFAIL(qPrintable(QStringLiteral("%1 after: %2").arg(QLatin1String(broken), events.join(QLatin1String(", ")))));
        }
    }
}

QTEST_APPLESS_MAIN(tst_Machine)
#include "tst_machine.moc"
