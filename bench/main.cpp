#include "Orbisto.h"
#include "SimulatedTurntable.h"
#include "TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QIntValidator>
#include <QLibrary>
#include <QLineEdit>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int kRoundTripFrames = 500;
const int kWarmUpFrames = 50;
const int kCaptureFrames = 72;
const int kLibraryIterations = 200;
const int kDialogs = 1000;
const int kWarmUpDialogs = 1000;
const int kCycles = 10000;
const int kWarmUpCycles = 500;
const int kValidatorSample = 10000;
const double kRoundTripTarget = 3.0;

const QByteArray kTurnCommand("#p210.");
const QByteArray kTurnReply("p210 Success\r\n");
const QByteArray kTurnCommandStart("#p");

double microseconds(qint64 nanoseconds)
{
    return double(nanoseconds) / 1000.0;
}

struct Spread
{
    double medianUs = 0;
    double p95Us = 0;
};

Spread spreadOf(std::vector<qint64> samples)
{
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    const size_t p95 = size_t(std::ceil(0.95 * double(n))) - 1;
    const double median = n % 2 ? double(samples[n / 2])
                                : (double(samples[n / 2 - 1]) + double(samples[n / 2])) / 2.0;
    return {median / 1000.0, microseconds(samples[p95])};
}

// Resident set from /proc/self/statm, and what malloc has handed out: the
// second sees single objects that the page-sized first one rounds away.
struct Memory
{
    qint64 residentBytes = 0;
    qint64 heapBytes = 0;
};

Memory memoryNow()
{
    Memory memory;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().split(' ');
        if (fields.size() > 1)
            memory.residentBytes = fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE);
    }
    const struct mallinfo2 info = mallinfo2();
    memory.heapBytes = qint64(info.uordblks + info.hblkhd);
    return memory;
}

// Files under /proc report a size of 0, so they are read whole rather than by line.
QByteArray firstLineStartingWith(const QString &path, const QByteArray &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key))
            return line.mid(line.indexOf(':') + 1).trimmed();
    }
    return {};
}

void printMachine()
{
    std::printf("machine: %d cores (nproc), %s, %s memory\n", QThread::idealThreadCount(),
                firstLineStartingWith(QStringLiteral("/proc/cpuinfo"), "model name").constData(),
                firstLineStartingWith(QStringLiteral("/proc/meminfo"), "MemTotal").constData());
    std::printf("build: %s\n\n", ORBISTO_BUILD_TYPE[0] ? ORBISTO_BUILD_TYPE : "(no build type)");
}

// The tests' rig: a controller on a fresh simulated turntable whose enable
// acknowledgement cannot be read as the first turn's answer.
struct Rig : TurntableRig
{
    explicit Rig(int framesCount) { loadValues(*controller, framesCount, 0, 0); }
};

bool readFully(int fd, char *buffer, int size)
{
    int done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += int(n);
    }
    return true;
}

bool writeFully(int fd, const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += int(n);
    }
    return true;
}

// The floor: the same bytes over a raw pseudo-terminal pair with blocking
// POSIX calls, no event loop and no Qt in between.
class BarePty
{
public:
    BarePty()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char slavePath[PATH_MAX] = {};
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
            || ::ptsname_r(m_master, slavePath, sizeof slavePath) != 0)
            qFatal("cannot open a pseudo-terminal");
        m_slave = ::open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings;
        if (m_slave < 0 || ::tcgetattr(m_slave, &settings) != 0)
            qFatal("cannot open %s", slavePath);
        ::cfmakeraw(&settings);
        ::tcsetattr(m_slave, TCSANOW, &settings);
    }
    ~BarePty()
    {
        ::close(m_slave);
        ::close(m_master);
    }
    BarePty(const BarePty &) = delete;
    BarePty &operator=(const BarePty &) = delete;

    qint64 roundTrip()
    {
        char buffer[64];
        QElapsedTimer clock;
        clock.start();
        if (!writeFully(m_slave, kTurnCommand) || !readFully(m_master, buffer, kTurnCommand.size())
            || !writeFully(m_master, kTurnReply) || !readFully(m_slave, buffer, kTurnReply.size()))
            qFatal("the pseudo-terminal round trip failed");
        return clock.nsecsElapsed();
    }

private:
    int m_master = -1;
    int m_slave = -1;
};

struct RoundTrips
{
    std::vector<qint64> turnToRequest;
    std::vector<qint64> snapToRequest;
    std::vector<qint64> floor;
};

// Zero-delay captures until enough turns are timed: from the moment the
// device has the turn command to the next picture request, and from the
// host's snapTaken() to that request. After each capture the floor is timed
// as often, so both see the machine in the same state.
void measureRoundTrips(int wanted, BarePty &pty, RoundTrips &trips)
{
    QElapsedTimer clock;
    clock.start();
    while (int(trips.turnToRequest.size()) < wanted) {
        const size_t before = trips.turnToRequest.size();
        Rig rig(kCaptureFrames);
        COrbisto *controller = rig.controller.get();
        qint64 turnAt = -1;
        qint64 snapAt = -1;
        int pictures = 0;
        QObject::connect(&rig.turntable, &SimulatedTurntable::frameReceived, &rig.turntable,
                         [&](const QByteArray &frame) {
                             if (frame.startsWith(kTurnCommandStart))
                                 turnAt = clock.nsecsElapsed();
                         });
        QObject::connect(controller, &CAbstractTurntableController::snapActionRequired, controller, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (turnAt >= 0 && int(trips.turnToRequest.size()) < wanted) {
                trips.turnToRequest.push_back(now - turnAt);
                trips.snapToRequest.push_back(now - snapAt);
            }
            turnAt = -1;
            snapAt = clock.nsecsElapsed();
            controller->snapTaken(++pictures);
        });
        QEventLoop loop;
        QObject::connect(controller, &CAbstractTurntableController::finished, &loop, &QEventLoop::quit);
        if (!controller->startCapture())
            qFatal("the capture did not start");
        loop.exec();
        for (size_t i = before; i < trips.turnToRequest.size(); ++i)
            trips.floor.push_back(pty.roundTrip());
    }
}

void benchRoundTrip()
{
    BarePty pty;
    RoundTrips warmUp;
    measureRoundTrips(kWarmUpFrames, pty, warmUp);
    RoundTrips trips;
    measureRoundTrips(kRoundTripFrames, pty, trips);

    const Spread turn = spreadOf(trips.turnToRequest);
    const Spread frame = spreadOf(trips.snapToRequest);
    const Spread floor = spreadOf(trips.floor);
    const double ratio = turn.medianUs / floor.medianUs;
    std::printf("Round trip per frame: zero-delay captures of %d frames on the simulated turntable, %zu frames\n",
                kCaptureFrames, trips.turnToRequest.size());
    std::printf("  controller, turn command at the device -> next picture request  median %7.1f us  p95 %7.1f us\n",
                turn.medianUs, turn.p95Us);
    std::printf("  controller, snapTaken() -> next picture request (whole frame)   median %7.1f us  p95 %7.1f us\n",
                frame.medianUs, frame.p95Us);
    std::printf("  floor, \"#p210.\" out and \"p210 Success\\r\\n\" back, raw pty, blocking read/write\n"
                "                                                                  median %7.1f us  p95 %7.1f us\n",
                floor.medianUs, floor.p95Us);
    std::printf("  ratio to the floor: turn -> request %.2fx (p95 %.2fx), whole frame %.2fx (p95 %.2fx)\n",
                ratio, turn.p95Us / floor.p95Us, frame.medianUs / floor.medianUs, frame.p95Us / floor.p95Us);
    std::printf("  target: turn -> request within %.0fx of the floor: %s\n\n", kRoundTripTarget,
                ratio <= kRoundTripTarget ? "met" : "NOT met");
}

bool orbistoMapped()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libOrbisto.so");
}

using Register = CAbstractTurntableController *(*)();

Register resolveEntry(QLibrary &library)
{
    if (!library.load())
        qFatal("cannot load the plug-in: %s", qPrintable(library.errorString()));
    auto entry = reinterpret_cast<Register>(library.resolve("NXSDK_RegisterTurntableController"));
    if (!entry)
        qFatal("the plug-in exports no NXSDK_RegisterTurntableController");
    return entry;
}

// Each controller scans the system's serial ports, as it does in a host.
void benchLibrary()
{
    const QString path = QStringLiteral(ORBISTO_PLUGIN_FILE);
    std::vector<qint64> whole;
    std::vector<qint64> loads;
    std::vector<qint64> registrations;
    std::vector<qint64> unloads;
    bool unmappedEveryTime = true;
    QElapsedTimer clock;
    QElapsedTimer phase;
    for (int i = 0; i < kLibraryIterations; ++i) {
        clock.start();
        phase.start();
        QLibrary library(path);
        Register entry = resolveEntry(library);
        loads.push_back(phase.nsecsElapsed());
        phase.start();
        std::unique_ptr<CAbstractTurntableController>(entry()).reset();
        registrations.push_back(phase.nsecsElapsed());
        phase.start();
        library.unload();
        unloads.push_back(phase.nsecsElapsed());
        whole.push_back(clock.nsecsElapsed());
        unmappedEveryTime = unmappedEveryTime && !orbistoMapped();
    }

    std::vector<qint64> scans;
    for (int i = 0; i < kLibraryIterations; ++i) {
        clock.start();
        QSerialPortInfo::availablePorts();
        scans.push_back(clock.nsecsElapsed());
    }

    const Spread wholeSpread = spreadOf(whole);
    const Spread loadSpread = spreadOf(loads);
    const Spread registrationSpread = spreadOf(registrations);
    const Spread unloadSpread = spreadOf(unloads);
    const Spread scanSpread = spreadOf(scans);
    std::printf("Plug-in through QLibrary, loaded and unloaded in each of %d iterations (%s)\n",
                kLibraryIterations, unmappedEveryTime ? "unmapped after every unload" : "stayed mapped after unload");
    std::printf("  load + resolve + register + delete + unload  median %8.1f us  p95 %8.1f us\n",
                wholeSpread.medianUs, wholeSpread.p95Us);
    std::printf("    load + resolve                             median %8.1f us  p95 %8.1f us\n",
                loadSpread.medianUs, loadSpread.p95Us);
    std::printf("    register + delete                          median %8.1f us  p95 %8.1f us\n",
                registrationSpread.medianUs, registrationSpread.p95Us);
    std::printf("    unload                                     median %8.1f us  p95 %8.1f us\n",
                unloadSpread.medianUs, unloadSpread.p95Us);
    std::printf("  the system's serial-port scan alone, which each controller runs\n"
                "                                               median %8.1f us  p95 %8.1f us\n\n",
                scanSpread.medianUs, scanSpread.p95Us);
}

// Lets the controller read everything the turntable has sent, so neither side
// piles up replies between measurements.
void drain(SimulatedTurntable &turntable)
{
    QCoreApplication::processEvents();
    while (turntable.bytesUnread() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    turntable.clearReceived();
}

// What one QIntValidator costs on the heap as the controller keeps it: a child
// of a long-lived object, watched by a line edit's guarded pointer.
qint64 validatorFootprint()
{
    QObject parent;
    QLineEdit edit;
    const Memory before = memoryNow();
    for (int i = 0; i < kValidatorSample; ++i)
        edit.setValidator(new QIntValidator(&parent));
    const Memory after = memoryNow();
    return (after.heapBytes - before.heapBytes) / kValidatorSample;
}

void benchDialogs()
{
    SimulatedTurntable turntable;
    COrbisto controller(QList<SerialPortCandidate>{turntable.candidate()});
    drain(turntable);
    for (int i = 0; i < kWarmUpDialogs; ++i) {
        std::unique_ptr<QWidget>(controller.createSettingsWidget()).reset();
        drain(turntable);
    }
    // Measurement only: a validator is unused once its dialog is gone, so
    // freeing the ones the controller keeps shows whatever else is left behind.
    qDeleteAll(controller.findChildren<QIntValidator *>());
    const Memory before = memoryNow();
    std::vector<qint64> samples;
    QElapsedTimer clock;
    for (int i = 0; i < kDialogs; ++i) {
        clock.start();
        std::unique_ptr<QWidget>(controller.createSettingsWidget()).reset();
        samples.push_back(clock.nsecsElapsed());
        drain(turntable);
    }
    const Memory after = memoryNow();
    const QList<QIntValidator *> kept = controller.findChildren<QIntValidator *>();
    qDeleteAll(kept);
    const Memory withoutValidators = memoryNow();

    const Spread spread = spreadOf(samples);
    std::printf("Settings dialog with a simulated turntable, offscreen, not shown, %d dialogs built and destroyed\n",
                kDialogs);
    std::printf("  build + destroy  median %8.1f us  p95 %8.1f us\n", spread.medianUs, spread.p95Us);
    std::printf("  after %d dialogs: resident set %+.1f KiB, heap in use %+.1f KiB = %.0f bytes per dialog\n",
                kDialogs, (after.residentBytes - before.residentBytes) / 1024.0,
                (after.heapBytes - before.heapBytes) / 1024.0,
                double(after.heapBytes - before.heapBytes) / kDialogs);
    std::printf("  the controller kept %d QIntValidators: sizeof %zu bytes; %lld bytes of heap each, measured\n"
                "  as a child of a long-lived object that a line edit points at\n",
                int(kept.size()), sizeof(QIntValidator), validatorFootprint());
    std::printf("  with those freed: heap %+.1f KiB = %.0f bytes per dialog left, the controller's list of\n"
                "  children included, which keeps its capacity\n\n",
                (withoutValidators.heapBytes - before.heapBytes) / 1024.0,
                double(withoutValidators.heapBytes - before.heapBytes) / kDialogs);
}

void benchCycles()
{
    Rig rig(kCaptureFrames);
    COrbisto *controller = rig.controller.get();
    int cycles = 0;
    int target = 0;
    QEventLoop loop;
    // Each picture request sends the next turn; the turntable's record of
    // frames is cleared so that only the controller's memory is measured.
    QObject::connect(controller, &CAbstractTurntableController::snapActionRequired, &loop, [&] {
        rig.turntable.clearReceived();
        if (++cycles == target)
            loop.quit();
        else
            controller->sendCommand('p', 210);
    });
    auto run = [&](int count) {
        cycles = 0;
        target = count;
        controller->sendCommand('p', 210);
        loop.exec();
    };
    run(kWarmUpCycles);
    const Memory before = memoryNow();
    QElapsedTimer clock;
    clock.start();
    run(kCycles);
    const qint64 elapsed = clock.nsecsElapsed();
    const Memory after = memoryNow();
    std::printf("Command/reply cycles (\"#p210.\" -> \"p210 Success\\r\\n\" -> picture request), %d cycles\n", kCycles);
    std::printf("  %.1f us per cycle on average\n", microseconds(elapsed) / kCycles);
    std::printf("  resident set %+.1f KiB, heap in use %+.1f KiB: %+.1f bytes of heap per 1,000 cycles\n",
                (after.residentBytes - before.residentBytes) / 1024.0,
                (after.heapBytes - before.heapBytes) / 1024.0,
                double(after.heapBytes - before.heapBytes) * 1000.0 / kCycles);
}

} // namespace

int main(int argc, char *argv[])
{
    // Dialogs are built without a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    printMachine();
    benchRoundTrip();
    benchLibrary();
    benchDialogs();
    benchCycles();
    return 0;
}
