#include "OrbistoMachine.h"

#include <QTest>

#include <algorithm>
#include <random>
#include <vector>

// The controller's state machine against a model of the whole world: hosts that
// call at any time, twice or with any count, devices that answer late, twice,
// never, with an error or two answers at once, delays that expire in any order
// and a port that goes away. Every sequence up to a depth is played, then long
// random ones; after each event the rules are checked, and from the state
// reached a cooperating host and device must finish a capture. A failure
// names the shortest sequence found that breaks a rule.
class tst_Machine : public QObject
{
    Q_OBJECT

private slots:
    void keepsRulesInEverySequence();
    void keepsRulesInLongSequences();
};

namespace {

using Machine = OrbistoMachine;

// What a host may save between or during captures, and what a capture with
// it must do: a count that divides 360 and one that does not (division
// first), delays that tell the two kinds apart, and a negative one.
struct Row
{
    Machine::Settings settings;
    int stepsPerTurn;
    int postSnapMs;
    int preSnapMs;
};
const Row kRows[] = {{{2, 3, 2}, 2520, 3000, 2000}, {{7, -1, 1}, 714, 0, 1000}};
const char kInfoText[] = "Orbisto";

// ORBISTO_MODEL_DEPTH looks further or less far; sanitizer builds look less far.
const int kDefaultDepth = 6;
const int kRandomSequences = 3000;
const int kRandomLength = 40;

#define EVENTS(X)                                                                                            \
    X(Start, "startCapture")                                                                                 \
    X(Snap, "snapTaken(next count)")                                                                         \
    X(SnapLast, "snapTaken(frames count)")                                                                   \
    X(Save, "settings saved")                                                                                \
    X(Dialog, "dialog built")                                                                                \
    X(PressStart, "Start pressed")                                                                           \
    X(PressStop, "Stop pressed")                                                                             \
    X(Answer, "device answers")                                                                              \
    X(AnswerError, "device answers with an error")                                                           \
    X(AnswerTwice, "device answers twice")                                                                   \
    X(AnswerTwo, "device answers two commands in one read")                                                  \
    X(Drop, "device never answers")                                                                          \
    X(FireOldest, "oldest delay expires")                                                                    \
    X(FireNewest, "newest delay expires")                                                                    \
    X(Lose, "port lost")
#define NAME(event, text) event,
#define TEXT(event, text) text,
enum Event { EVENTS(NAME) kEventCount };
const char *const kEventTexts[] = {EVENTS(TEXT)};

struct Sent
{
    Machine::Command command;
    int capture; // the capture running when it was sent, 0 for none
};

struct World
{
    Machine machine;
    std::vector<Sent> owed; // sent, not yet answered; the device answers in order
    std::vector<Machine::Delay> armed; // the controller never cancels a delay
    int saved = 0, running = 0; // rows of kRows: the next capture's, this capture's
    char lastRotation = 'c';
    bool readSinceStart = false, turnLost = false, lost = false;
    bool capturing = false, requestPending = false;
    int capture = 0, requests = 0, taken = 0, turns = 0, confirmed = 0, finished = 0;
    int presses = 0, dialogs = 0, infoAnswered = 0, infoShown = 0;
    std::optional<bool> panels; // what the rotation panels of the open forms show
    const char *broken = nullptr;

    const Row &row() const { return kRows[running]; }
    void check(bool rule, const char *what)
    {
        if (!rule && !broken)
            broken = what;
    }
    bool owes(char letter) const
    {
        return std::any_of(owed.cbegin(), owed.cend(), [=](const Sent &sent) { return sent.command.letter == letter; });
    }
    // The table spins, or will once the device reads a Start it has not
    // answered. Replies are unframed, so any read after a Start is taken as its
    // answer, and a Stop already sent ends a spin the device has begun: it
    // reads its commands in order.
    bool mayMove() const { return lastRotation == 'r' || (owes('r') && !readSinceStart); }

    // Carries out what the shell would, checking what holds whatever the event.
    void take(const Machine::Actions &actions)
    {
        check(!lost || actions.isEmpty(), "something acted after the port was lost");
        if (actions.command)
            owed.push_back({*actions.command, capturing ? capture : 0});
        if (const std::optional<Machine::Delay> delay = actions.delay) {
            const int expected = delay->kind == Machine::DelayKind::PostSnap ? row().postSnapMs
                : delay->kind == Machine::DelayKind::PreSnap                 ? row().preSnapMs
                                                                             : 0;
            check(capturing && delay->milliseconds == expected, "a delay of the wrong length");
            armed.push_back(*delay);
        }
        if (actions.signal == Machine::Signal::SnapActionRequired) {
            check(capturing && !requestPending && requests == taken, "picture k + 1 requested before snapTaken(k)");
            check(confirmed == requests, "a picture requested before its turn was confirmed");
            check(!owes('p') && !mayMove(), "a picture requested while the table moves");
            ++requests;
            requestPending = true;
        } else if (actions.signal == Machine::Signal::Finished) {
            check(capturing, "finished() outside a capture");
            ++finished;
            capturing = false;
        }
        if (actions.panelsUsable)
            panels = *actions.panelsUsable;
        if (actions.deviceInfo) {
            check(*actions.deviceInfo == QLatin1String(kInfoText) && ++infoShown <= infoAnswered,
                  "information shown that the device did not send, or shown twice");
        }
        check(!actions.turntableGone, "the turntable shown gone while it is there");
    }

    // Answers the oldest command still owed: reply is what the device sends.
    QByteArray answer(Event event)
    {
        const Sent sent = owed.front();
        owed.erase(owed.begin());
        const char letter = sent.command.letter;
        const bool fails = event == AnswerError;
        // A turn that fails or goes unanswered leaves every capture after it waiting.
        if (letter == 'p' && (fails || event == Drop))
            turnLost = true;
        if (letter == 'p' && !turnLost && sent.capture == capture && capturing)
            ++confirmed;
        if (letter == 'i' && !fails && event != Drop)
            ++infoAnswered;
        const QByteArray body = letter + QByteArray::number(sent.command.value);
        if (fails)
            return body + " ERR\r\n";
        if (letter == 'i')
            return body + ':' + kInfoText + '#';
        return body + (letter == 'p' ? " Success\r\n" : " OK\r\n");
    }

    // False when the event cannot happen now.
    bool play(Event event)
    {
        const bool wasCapturing = capturing;
        const bool dueFinish = requestPending && (event == SnapLast || taken + 1 == int(kRows[running].settings.framesCount));
        switch (event) {
        case Start: {
            const Machine::Actions actions = machine.startCapture(kRows[saved].settings);
            check(!actions.accepted || (!lost && !mayMove()), "a capture started without a turntable, or while the table may spin");
            if (actions.accepted) {
                const bool turnOwed = owes('p') || turnLost;
                running = saved;
                ++capture;
                capturing = true;
                requestPending = false;
                requests = taken = turns = confirmed = finished = 0;
                check(turnOwed ? !actions.delay : actions.delay && actions.delay->kind == Machine::DelayKind::FirstPicture,
                      "a new capture did not wait for exactly the turn still owed");
            }
            take(actions);
            break;
        }
        case Snap:
        case SnapLast: {
            const bool asked = requestPending;
            const int count = event == SnapLast ? kRows[running].settings.framesCount : taken + 1;
            const Machine::Actions actions = machine.snapTaken(count);
            if (asked) {
                requestPending = false;
                taken = count;
                check(actions.signal == (dueFinish && !lost ? Machine::Signal::Finished : Machine::Signal::None),
                      "finished() not exactly when the count reached the capture's frames count");
                check(dueFinish || lost || (actions.delay && actions.delay->kind == Machine::DelayKind::PostSnap),
                      "a picture not followed by the post-snap delay");
            } else {
                check(actions.isEmpty(), "a picture nobody asked for did something");
            }
            take(actions);
            break;
        }
        case Save:
            saved = 1 - saved;
            break;
        case Dialog: {
            const Machine::Actions actions = machine.dialogBuilt();
            check(lost || (actions.command && actions.command->letter == 'i' && actions.command->value == 1),
                  "a dialog built without asking the device for its information");
            check(lost || actions.panelsUsable, "a dialog built without its panel's state");
            ++dialogs;
            take(actions);
            break;
        }
        case PressStart:
        case PressStop: {
            const bool clockwise = ++presses % 2;
            const Machine::Actions actions = event == PressStart ? machine.startPressed(clockwise) : machine.stopPressed();
            const Machine::Command expected = event == PressStart ? Machine::Command{'r', clockwise ? 1 : 0}
                                                                  : Machine::Command{'c', 1};
            const bool free = !capturing && !lost;
            check(actions.accepted == free && (!free || (actions.command && actions.command->letter == expected.letter
                                                          && actions.command->value == expected.value)),
                  "a rotation press refused while idle, accepted during a capture, or sent the wrong command");
            check(free || actions.isEmpty(), "a refused press did something");
            if (actions.accepted) {
                lastRotation = expected.letter;
                readSinceStart = readSinceStart && event == PressStop;
            }
            take(actions);
            break;
        }
        case Answer:
        case AnswerError:
        case AnswerTwice:
        case AnswerTwo:
        case Drop: {
            if (owed.empty() || (event == AnswerTwo && owed.size() < 2))
                return false;
            const bool turn = owed.front().command.letter == 'p' || (event == AnswerTwo && owed[1].command.letter == 'p');
            QByteArray reply = answer(event);
            if (event == AnswerTwo)
                reply += answer(event);
            if (event == Drop)
                break;
            readSinceStart = true;
            const Machine::Actions actions = machine.read(reply);
            check(!actions.delay || (turn && event != AnswerError && actions.delay->kind == Machine::DelayKind::PreSnap),
                  "a read started a delay other than the pre-snap delay after a turn's \"Success\"");
            take(actions);
            if (event == AnswerTwice)
                take(machine.read(reply));
            break;
        }
        case FireOldest:
        case FireNewest: {
            if (armed.empty() || (event == FireNewest && armed.size() < 2))
                return false;
            const auto delay = event == FireOldest ? armed.begin() : armed.end() - 1;
            const Machine::Delay expired = *delay;
            armed.erase(delay);
            const Machine::Actions actions = machine.delayExpired(expired);
            if (actions.command) {
                check(expired.kind == Machine::DelayKind::PostSnap && actions.command->letter == 'p'
                          && actions.command->value == row().stepsPerTurn,
                      "a turn not after the post-snap delay, or by the wrong number of steps");
                check(capturing && turns++ < taken && !owes('p'), "a turn that no picture of this capture asked for");
            }
            check(actions.signal == Machine::Signal::None || expired.kind != Machine::DelayKind::PostSnap,
                  "a picture requested when the post-snap delay ended");
            take(actions);
            break;
        }
        case Lose: {
            if (lost)
                return false;
            const Machine::Actions actions = machine.portLost();
            check(actions.turntableGone && !actions.command && !actions.delay && actions.signal == Machine::Signal::None,
                  "losing the port did more than show it");
            lost = true;
            if (actions.panelsUsable)
                panels = *actions.panelsUsable;
            break;
        }
        case kEventCount:
            return false;
        }
        if (wasCapturing && !capturing)
            check(confirmed == requests - 1, "finished() before every turn was confirmed");
        check(dialogs == 0 || panels == (!capturing && !lost),
              "the rotation panels are not locked exactly while a capture runs");
        return true;
    }

    // The host answers every request with the next count, the device every
    // command, and every delay expires.
    void cooperate()
    {
        for (int step = 0; step < 400 && !broken && ((requestPending && play(Snap)) || play(Answer) || play(FireOldest)); ++step) {
        }
    }

    // From here a cooperating world finishes the capture that runs, then an
    // idle controller takes a Stop press and a whole capture of the other row.
    void runToEnd()
    {
        if (lost || turnLost)
            return;
        const int before = finished;
        const bool wasCapturing = capturing;
        cooperate();
        check(!wasCapturing || finished == before + 1, "a running capture did not finish");
        // A Stop press, answered, lets any idle controller start.
        play(PressStop);
        cooperate();
        play(Save);
        play(Start);
        check(capturing, "an idle controller refused a capture after a Stop press");
        cooperate();
        check(finished == 1 && requests == int(row().settings.framesCount) && turns == requests - 1,
              "a cooperating capture did not end with N requests, N - 1 turns and one finished()");
    }
};

using Path = std::vector<Event>;

QString describe(const char *broken, const Path &path)
{
    QStringList events;
    for (Event event : path)
        events.append(QLatin1String(kEventTexts[event]));
    if (events.isEmpty())
        events.append(QStringLiteral("no event but a cooperating host and device"));
    return QStringLiteral("%1 after: %2").arg(QLatin1String(broken), events.join(QLatin1String(", ")));
}

World startingWorld()
{
    World world;
    world.machine.turntableFound();
    return world;
}

// Plays the events that can happen, in order, then runs to the end.
const char *replay(const Path &path)
{
    World world = startingWorld();
    for (Event event : path) {
        world.play(event);
        if (world.broken)
            return world.broken;
    }
    world.runToEnd();
    return world.broken;
}

// Depth-first to exactly depth, checking the rules after every event, and at
// the end of the sequence once it has run to its end. Nothing is explored
// past a lost port but the next event.
const char *explore(const World &world, Path &path, int depth)
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
        if (const char *broken = next.broken ? next.broken : explore(next, path, world.lost ? 0 : depth - 1))
            return broken;
        path.pop_back();
    }
    return nullptr;
}

} // namespace

void tst_Machine::keepsRulesInEverySequence()
{
    // Iterative deepening: the first failure found is one of the shortest.
    bool set = false;
    const int maxDepth = qEnvironmentVariableIntValue("ORBISTO_MODEL_DEPTH", &set);
    for (int depth = 0; depth <= (set ? maxDepth : kDefaultDepth); ++depth) {
        Path path;
        if (const char *broken = explore(startingWorld(), path, depth))
            QFAIL(qPrintable(describe(broken, path)));
    }
}

void tst_Machine::keepsRulesInLongSequences()
{
    std::mt19937 random(20261209);
    for (int sequence = 0; sequence < kRandomSequences; ++sequence) {
        World world = startingWorld();
        Path path;
        while (int(path.size()) < kRandomLength && !world.broken) {
            const Event event = Event(random() % kEventCount);
            if ((event != Lose || random() % 8 == 0) && world.play(event))
                path.push_back(event);
        }
        if (!replay(path))
            continue;
        // Shrinks the sequence while it still breaks a rule, one event at a time.
        for (std::size_t i = path.size(); i-- > 0;) {
            Path shorter(path.cbegin(), path.cbegin() + std::ptrdiff_t(i));
            shorter.insert(shorter.end(), path.cbegin() + std::ptrdiff_t(i) + 1, path.cend());
            if (replay(shorter))
                path = shorter;
        }
        QFAIL(qPrintable(describe(replay(path), path)));
    }
}

QTEST_APPLESS_MAIN(tst_Machine)
#include "tst_machine.moc"
