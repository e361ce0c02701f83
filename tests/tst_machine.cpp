#include "OrbistoMachine.h"

#include <QTest>

#include <algorithm>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

// The controller's state machine against a model of the whole world: hosts that
// call at any time, twice or with any count, devices that answer late, twice,
// never, with an error, in pieces or two answers at once, delays that expire
// in any order, a port that goes away and one that was never there. Every
// sequence up to a depth is played, then long random ones; after each event
// the rules are checked, both what must not happen and what must, and from
// the state reached a cooperating host and device must finish a capture. A
// failure names the shortest sequence found that breaks a rule.
class tst_Machine : public QObject
{
    Q_OBJECT

private slots:
    void keepsRulesInEverySequence();
    void keepsRulesInLongSequences();
};

namespace {

using Machine = OrbistoMachine;

// What a host may save between or during captures, drawn from the whole range:
// one frame and the most, counts that divide 360 and counts that do not, none
// (as before anything was saved), and
// delays of none, one second, one past a 16-bit millisecond count, a negative
// one and one whose milliseconds overflow an int. Each delay appears as
// post-snap and as pre-snap delay, each time beside a different one.
const int kFrames[] = {1, 2, 7, 11, 13, 72, 0};
const int kBeyondTimerRange = std::numeric_limits<int>::max() / 1000 + 1;
const int kDelays[] = {0, 1, 33, -1, kBeyondTimerRange};
const int kRowCount = int(std::size(kFrames));
const int kDelayCount = int(std::size(kDelays));
Machine::Settings settingsOf(int row)
{
    return {quint16(kFrames[row]), kDelays[row % kDelayCount], kDelays[(row + 2) % kDelayCount]};
}

// What a capture must do, from the rules rather than from a table: the
// revolution divided first, so a count that does not divide 360 falls short of
// it; a delay in whole seconds, never negative, at most the longest interval
// a timer takes.
int stepsPerTurn(const Machine::Settings &settings)
{
    return 360 / settings.framesCount * 14;
}
int intervalOf(int seconds)
{
    const qint64 milliseconds = qint64(seconds) * 1000;
    const qint64 longest = std::numeric_limits<int>::max();
    return milliseconds < 0 ? 0 : int(std::min(milliseconds, longest));
}

const char kInfoText[] = "Orbisto";

bool doesNothing(const Machine::Actions &actions)
{
    return !actions.command && !actions.delay && actions.signal == Machine::Signal::None && !actions.panelsUsable
        && !actions.deviceInfo && !actions.turntableGone;
}

// ORBISTO_MODEL_DEPTH looks further or less far; sanitizer builds look less far.
const int kDefaultDepth = 5;
// The row explored to the full depth (7 frames: turns of several kinds of
// delay); the other rows, and a controller without a turntable, this much less.
const int kDeepRow = 2;
const int kShallowerBy = 2;
const int kRandomSequences = 20000;
const int kRandomLength = 40;

#define EVENTS(X)                                                                                            \
    X(Start, "startCapture")                                                                                 \
    X(Snap, "snapTaken(next count)")                                                                         \
    X(SnapLast, "snapTaken(frames count)")                                                                   \
    X(SnapAbove, "snapTaken(a count above the frames count)")                                                \
    X(Save, "next settings saved")                                                                           \
    X(Dialog, "dialog built")                                                                                \
    X(PressStart, "Start pressed")                                                                           \
    X(PressStop, "Stop pressed")                                                                             \
    X(Answer, "device answers")                                                                              \
    X(AnswerError, "device answers with an error")                                                           \
    X(AnswerTwice, "device answers twice")                                                                   \
    X(AnswerTwo, "device answers two commands in one read")                                                  \
    X(AnswerSplit, "device answers in two reads")                                                            \
    X(ReadEmpty, "an empty read")                                                                            \
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
    int saved = 0, running = 0; // rows of settings: the next capture's, this capture's
    char lastRotation = 0; // the last rotation command sent, 0 for none
    // Whether anything was read since the last Start, and since the last
    // rotation command: replies are unframed, so any read is taken as the answer.
    bool readSinceStart = false, readSinceRotation = false;
    bool turnLost = false, lost = false, found = true, loseTried = false;
    bool capturing = false, requestPending = false;
    // What the answers to rotation commands said.
    bool rotating = false;
    int capture = 0, requests = 0, answered = 0, lastCount = 0, turns = 0, confirmed = 0, finished = 0;
    int presses = 0, dialogs = 0;
    // An information request awaits its answer: the next one read is shown.
    bool infoAwaited = false;
    // The delay the capture waits for, and the pre-snap delay after the last
    // confirmed turn while it runs; 0 for none.
    quint64 pendingDelay = 0, settleDelay = 0;
    std::optional<bool> panels; // what the rotation panels of the open forms show
    const char *broken = nullptr;

    Machine::Settings row() const { return settingsOf(running); }
    int frames() const { return row().framesCount; }
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
    // The table is known to stand still: no rotation was ever asked for, or
    // the last was a Stop, and it was answered.
    bool isStill() const { return lastRotation == 0 || (lastRotation == 'c' && readSinceRotation); }

    // Carries out what the shell would, checking what holds whatever the event.
    void take(const Machine::Actions &actions)
    {
        check(!lost || doesNothing(actions), "something acted without a turntable, or after the port was lost");
        if (actions.command)
            owed.push_back({*actions.command, capturing ? capture : 0});
        if (const std::optional<Machine::Delay> delay = actions.delay) {
            const int expected = delay->kind == Machine::DelayKind::PostSnap ? intervalOf(row().postSnapSeconds)
                : delay->kind == Machine::DelayKind::PreSnap                 ? intervalOf(row().preSnapSeconds)
                                                                             : 0;
            check(capturing && delay->milliseconds == expected, "a delay of the wrong length");
            armed.push_back(*delay);
            pendingDelay = delay->id;
            if (delay->kind == Machine::DelayKind::PreSnap)
                settleDelay = delay->id;
        }
        if (actions.signal == Machine::Signal::SnapActionRequired) {
            check(capturing && !requestPending && requests == answered, "picture k + 1 requested before snapTaken(k)");
            check(confirmed == requests, "a picture requested before its turn was confirmed");
            check(!owes('p') && !mayMove(), "a picture requested while the table moves");
            check(settleDelay == 0, "a picture requested before the pre-snap delay after the last turn ended");
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
            check(*actions.deviceInfo == QLatin1String(kInfoText) && infoAwaited,
                  "information shown that the device did not send, or shown twice");
            infoAwaited = false;
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
        const QByteArray body = letter + QByteArray::number(sent.command.value);
        // An error does not echo the request, so it cannot pass for a part of
        // the information text.
        if (fails)
            return letter == 'i' ? QByteArray("ERR\r\n") : body + " ERR\r\n";
        if (letter == 'i')
            return body + ':' + kInfoText + '#';
        return body + (letter == 'p' ? " Success\r\n" : " OK\r\n");
    }

    // False when the event cannot happen now.
    bool play(Event event)
    {
        const bool wasCapturing = capturing;
        const bool dueFinish = requestPending && (event == SnapLast || (event == Snap && lastCount + 1 == frames()));
        switch (event) {
        case Start: {
            const Machine::Actions actions = machine.startCapture(settingsOf(saved));
            check(!actions.accepted || (!lost && !mayMove()), "a capture started without a turntable, or while the table may spin");
            const bool framed = settingsOf(saved).framesCount > 0;
            check(!actions.accepted || framed, "a capture started with no frames to divide a revolution into");
            check(actions.accepted || lost || !isStill() || !framed, "a capture refused on a still table");
            if (actions.accepted) {
                const bool turnOwed = owes('p') || turnLost;
                running = saved;
                ++capture;
                capturing = true;
                requestPending = false;
                requests = answered = lastCount = turns = confirmed = finished = 0;
                if (turnOwed)
                    pendingDelay = 0;
                // The turn still owed and the settling table are waited for;
                // otherwise the first picture is requested straight away.
                check(turnOwed || settleDelay ? !actions.delay
                                              : actions.delay && actions.delay->kind == Machine::DelayKind::FirstPicture,
                      "a new capture did not wait for exactly the turn still owed or settling");
            }
            take(actions);
            break;
        }
        case Snap:
        case SnapLast:
        case SnapAbove: {
            const bool asked = requestPending;
            // Above: one more than the frames count, or twice it.
            const int count = event == SnapLast ? frames()
                : event == SnapAbove            ? frames() + 1 + (answered % 2) * (frames() - 1)
                                                : lastCount + 1;
            const Machine::Actions actions = machine.snapTaken(count);
            if (asked) {
                requestPending = false;
                lastCount = count;
                ++answered;
                check(actions.signal == (dueFinish && !lost ? Machine::Signal::Finished : Machine::Signal::None),
                      "finished() not exactly when the count reached the capture's frames count");
                check(dueFinish || lost || (actions.delay && actions.delay->kind == Machine::DelayKind::PostSnap),
                      "a picture not followed by the post-snap delay");
            } else {
                check(doesNothing(actions), "a picture nobody asked for did something");
            }
            take(actions);
            break;
        }
        case Save:
            saved = (saved + 1) % kRowCount;
            break;
        case Dialog: {
            const Machine::Actions actions = machine.dialogBuilt();
            check(lost || (actions.command && actions.command->letter == 'i' && actions.command->value == 1),
                  "a dialog built without asking the device for its information");
            check(lost || actions.panelsUsable, "a dialog built without its panel's state");
            // Without a turntable the widget is empty: no panels to lock.
            dialogs += found ? 1 : 0;
            infoAwaited = infoAwaited || !lost;
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
            check(free || doesNothing(actions), "a refused press did something");
            if (actions.accepted) {
                lastRotation = expected.letter;
                readSinceStart = readSinceStart && event == PressStop;
                readSinceRotation = false;
            }
            take(actions);
            break;
        }
        case Answer:
        case AnswerError:
        case AnswerTwice:
        case AnswerTwo:
        case AnswerSplit:
        case ReadEmpty:
        case Drop: {
            if (event != ReadEmpty && (owed.empty() || (event == AnswerTwo && owed.size() < 2)))
                return false;
            const int answers = event == ReadEmpty ? 0 : event == AnswerTwo ? 2 : 1;
            const bool fine = event != AnswerError && event != Drop;
            // What the answers must bring: a confirmed turn its pre-snap delay,
            // information that a request awaits its text.
            bool confirmsTurn = false, brings = false;
            QByteArray reply;
            for (int i = 0; i < answers; ++i) {
                const char letter = owed.front().command.letter;
                confirmsTurn = confirmsTurn || (letter == 'p' && fine && !turnLost && !lost);
                brings = brings || (letter == 'i' && fine && infoAwaited && !lost);
                reply += answer(event);
            }
            if (event == Drop)
                break;
            readSinceStart = readSinceRotation = true;
            if (lastRotation && !lost)
                rotating = lastRotation == 'r';
            QByteArrayList reads{reply};
            if (event == AnswerTwice)
                reads.append(reply);
            if (event == AnswerSplit)
                reads = QByteArrayList{reply.left(reply.size() / 2), reply.mid(reply.size() / 2)};
            int delays = 0, shown = 0;
            for (const QByteArray &bytes : reads) {
                const Machine::Actions actions = machine.read(bytes);
                check(!actions.delay || (confirmsTurn && actions.delay->kind == Machine::DelayKind::PreSnap),
                      "a read started a delay other than the pre-snap delay after a turn's \"Success\"");
                delays += actions.delay ? 1 : 0;
                shown += actions.deviceInfo ? 1 : 0;
                take(actions);
            }
            check(delays == (confirmsTurn ? 1 : 0), "a turn's \"Success\" not followed by exactly one pre-snap delay");
            check(shown == (brings ? 1 : 0), "the information awaited not shown exactly once");
            break;
        }
        case FireOldest:
        case FireNewest: {
            if (armed.empty() || (event == FireNewest && armed.size() < 2))
                return false;
            const auto delay = event == FireOldest ? armed.begin() : armed.end() - 1;
            const Machine::Delay expired = *delay;
            armed.erase(delay);
            if (expired.id == settleDelay)
                settleDelay = 0;
            const bool due = !lost && expired.id == pendingDelay;
            const Machine::Actions actions = machine.delayExpired(expired);
            if (due) {
                pendingDelay = 0;
                check(expired.kind == Machine::DelayKind::PostSnap ? bool(actions.command)
                                                                   : actions.signal == Machine::Signal::SnapActionRequired,
                      "the delay a capture waited for ended, and neither its turn nor its picture followed");
            } else {
                check(doesNothing(actions), "an outdated delay did something");
            }
            if (actions.command) {
                check(expired.kind == Machine::DelayKind::PostSnap && actions.command->letter == 'p'
                          && actions.command->value == stepsPerTurn(row()),
                      "a turn not after the post-snap delay, or by the wrong number of steps");
                check(capturing && turns++ < answered && !owes('p'), "a turn that no picture of this capture asked for");
            }
            check(actions.signal == Machine::Signal::None || expired.kind != Machine::DelayKind::PostSnap,
                  "a picture requested when the post-snap delay ended");
            take(actions);
            break;
        }
        case Lose: {
            if (!found && !loseTried) {
                // A controller that never had a port cannot lose it.
                loseTried = true;
                check(doesNothing(machine.portLost()), "a port lost that was never found");
                break;
            }
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
        check(machine.isRotating() == rotating, "rotation believed other than its last answer said");
        return true;
    }

    // The host answers every request with the next count, the device every
    // command, and every delay expires.
    void cooperate()
    {
        for (int step = 0; step < 400 && !broken
             && ((requestPending && play(lastCount + 1 >= frames() ? SnapLast : Snap)) || play(Answer) || play(FireOldest));
             ++step) {
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
        do
            play(Save);
        while (settingsOf(saved).framesCount == 0);
        play(Start);
        check(capturing, "an idle controller refused a capture after a Stop press");
        cooperate();
        check(finished == 1 && requests == frames() && turns == requests - 1,
              "a cooperating capture did not end with N requests, N - 1 turns and one finished()");
    }
};

using Path = std::vector<Event>;

// Where a sequence starts: the settings row saved, and whether the scan found
// a turntable at all.
struct Origin
{
    int row = 0;
    bool found = true;
};

QString describe(const char *broken, Origin origin, const Path &path)
{
    QStringList events;
    for (Event event : path)
        events.append(QLatin1String(kEventTexts[event]));
    if (events.isEmpty())
        events.append(QStringLiteral("no event but a cooperating host and device"));
    const Machine::Settings settings = settingsOf(origin.row);
    return QStringLiteral("%1 after: %2 (%3 frames, post-snap %4 s, pre-snap %5 s saved%6)")
        .arg(QLatin1String(broken), events.join(QLatin1String(", ")))
        .arg(settings.framesCount)
        .arg(settings.postSnapSeconds)
        .arg(settings.preSnapSeconds)
        .arg(origin.found ? QString() : QStringLiteral(", no turntable found"));
}

World startingWorld(Origin origin)
{
    World world;
    world.saved = origin.row;
    world.found = origin.found;
    world.lost = !origin.found;
    if (origin.found)
        world.machine.turntableFound();
    return world;
}

// Plays the events that can happen, in order, then runs to the end.
const char *replay(Origin origin, const Path &path)
{
    World world = startingWorld(origin);
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
    // One row of settings is explored deepest; "settings saved" reaches the
    // next rows from there, and every row is a starting point a little less deep.
    bool set = false;
    const int maxDepth = qEnvironmentVariableIntValue("ORBISTO_MODEL_DEPTH", &set);
    const int deepest = set ? maxDepth : kDefaultDepth;
    for (int depth = 0; depth <= deepest; ++depth) {
        for (int row = 0; row <= kRowCount; ++row) {
            if (row != kDeepRow && depth > deepest - kShallowerBy)
                continue;
            const Origin origin = row == kRowCount ? Origin{0, false} : Origin{row, true};
            Path path;
            if (const char *broken = explore(startingWorld(origin), path, depth))
                QFAIL(qPrintable(describe(broken, origin, path)));
        }
    }
}

void tst_Machine::keepsRulesInLongSequences()
{
    std::mt19937 random(20261209);
    for (int sequence = 0; sequence < kRandomSequences; ++sequence) {
        // Every row in turn, and now and then a controller without a turntable.
        const Origin origin{sequence % kRowCount, sequence % 16 != 15};
        World world = startingWorld(origin);
        Path path;
        while (int(path.size()) < kRandomLength && !world.broken) {
            const Event event = Event(random() % kEventCount);
            if ((event != Lose || random() % 8 == 0) && world.play(event))
                path.push_back(event);
        }
        if (!replay(origin, path))
            continue;
        // Shrinks the sequence while it still breaks a rule, one event at a time.
        for (std::size_t i = path.size(); i-- > 0;) {
            Path shorter(path.cbegin(), path.cbegin() + std::ptrdiff_t(i));
            shorter.insert(shorter.end(), path.cbegin() + std::ptrdiff_t(i) + 1, path.cend());
            if (replay(origin, shorter))
                path = shorter;
        }
        QFAIL(qPrintable(describe(replay(origin, path), origin, path)));
    }
}

QTEST_APPLESS_MAIN(tst_Machine)
#include "tst_machine.moc"
