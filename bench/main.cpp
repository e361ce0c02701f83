#include "Orbisto.h"
#include "SimulatedTurntable.h"
#include "TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QIntValidator>
#include <QLibrary>
#include <QLineEdit>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int kRoundTripRuns = 7;
const int kRoundTripFrames = 300;
const int kWarmUpFrames = 100;
const int kCaptureFrames = 72;
const int kLibraryIterations = 200;
const int kDialogs = 1000;
const int kWarmUpDialogs = 1000;
const int kCycles = 10000;
const int kWarmUpCycles = 500;
const int kValidatorSample = 10000;
const int kPortLooks = 10000;
// How often the reference host looks at the turntable's port during a capture.
const int kPortLookIntervalMs = 200;
const double kRoundTripTarget = 2.0;

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

// Moves size bytes in as many calls as it takes, through interruptions.
template<typename Transfer>
bool transferFully(int size, Transfer transfer)
{
    int done = 0;
    while (done < size) {
        const ssize_t n = transfer(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += int(n);
    }
    return true;
}

bool readFully(int fd, char *buffer, int size)
{
    return transferFully(size, [&](int done) { return ::read(fd, buffer + done, size_t(size - done)); });
}

bool writeFully(int fd, const QByteArray &bytes)
{
    return transferFully(bytes.size(), [&](int done) {
        return ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
    });
}

// A raw pseudo-terminal pair in raw mode, no Qt in between.
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
        closeSlave();
        ::close(m_master);
    }
    BarePty(const BarePty &) = delete;
    BarePty &operator=(const BarePty &) = delete;

    int master() const { return m_master; }
    int slave() const { return m_slave; }
    // The master then reads an end of file or an error.
    void closeSlave()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        m_slave = -1;
    }

    // The turn command out and its reply back, with one thread playing both sides.
    qint64 roundTripInOneThread()
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

// The floor: the turn command out and its reply back over a raw pty, with the
// device answering from a thread of its own through blocking POSIX calls, as
// the simulated device does for the controller, minus Qt on both sides.
class BareDevice
{
public:
    BareDevice()
        : m_device([this] { serve(); })
    {
    }
    ~BareDevice()
    {
        m_pty.closeSlave();
        m_device.join();
    }
    BareDevice(const BareDevice &) = delete;
    BareDevice &operator=(const BareDevice &) = delete;

    qint64 roundTrip()
    {
        char buffer[64];
        QElapsedTimer clock;
        clock.start();
        if (!writeFully(m_pty.slave(), kTurnCommand) || !readFully(m_pty.slave(), buffer, kTurnReply.size()))
            qFatal("the pseudo-terminal round trip failed");
        return clock.nsecsElapsed();
    }

private:
    void serve()
    {
        char buffer[64];
        while (readFully(m_pty.master(), buffer, kTurnCommand.size())) {
            if (!writeFully(m_pty.master(), kTurnReply))
                return;
        }
    }

    BarePty m_pty;
    std::thread m_device;
};

// A controller on a simulated turntable that runs on a thread of its own, so
// the device's work is not billed to the controller's thread.
class ThreadedRig
{
public:
    explicit ThreadedRig(int framesCount)
        : m_turntable(new SimulatedTurntable)
    {
        if (!m_turntable->isOpen())
            qFatal("cannot open a pseudo-terminal: %s", qPrintable(m_turntable->errorString()));
        // The enable acknowledgement must not be read as the first turn's answer.
        SimulatedTurntable::Fault quietEnable;
        quietEnable.silent = true;
        m_turntable->setFault('e', quietEnable);
        m_turntable->moveToThread(&m_thread);
        m_thread.start();
        controller = std::make_unique<COrbisto>(QList<SerialPortCandidate>{m_turntable->candidate()});
        loadValues(*controller, framesCount, 0, 0);
    }
    ~ThreadedRig()
    {
        // The controller says goodbye to a device that still listens.
        controller.reset();
        m_turntable->deleteLater();
        m_thread.quit();
        m_thread.wait();
    }
    ThreadedRig(const ThreadedRig &) = delete;
    ThreadedRig &operator=(const ThreadedRig &) = delete;

    // Lives on the device's thread: connect with it as context, or across threads.
    SimulatedTurntable *turntable() const { return m_turntable; }

    std::unique_ptr<COrbisto> controller;

private:
    QThread m_thread;
    SimulatedTurntable *m_turntable;
};

// One run of samples, taken in turns: a whole frame, then the floor, then the
// one-thread pty round trip, so that all three see the machine alike.
struct RoundTrips
{
    std::vector<qint64> frame;         // snapTaken() -> next picture request
    std::vector<qint64> turnToRequest; // the device has the turn -> next picture request
    std::vector<qint64> floor;         // BareDevice::roundTrip()
    std::vector<qint64> oneThread;     // BarePty::roundTripInOneThread()
};

// Zero-delay captures until enough frames are timed.
RoundTrips measureRoundTrips(int wanted, BareDevice &device, BarePty &pty)
{
    RoundTrips trips;
    QElapsedTimer clock;
    clock.start();
    while (int(trips.frame.size()) < wanted) {
        ThreadedRig rig(kCaptureFrames);
        COrbisto *controller = rig.controller.get();
        std::atomic<qint64> turnAt{-1};
        qint64 snapAt = -1;
        int pictures = 0;
        // Runs on the device's thread, as the turn command arrives.
        QObject::connect(rig.turntable(), &SimulatedTurntable::frameReceived, rig.turntable(),
                         [&](const QByteArray &frame) {
                             if (frame.startsWith(kTurnCommandStart))
                                 turnAt = clock.nsecsElapsed();
                         });
        QObject::connect(controller, &CAbstractTurntableController::snapActionRequired, controller, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (snapAt >= 0 && turnAt >= 0 && int(trips.frame.size()) < wanted) {
                trips.frame.push_back(now - snapAt);
                trips.turnToRequest.push_back(now - turnAt);
                trips.floor.push_back(device.roundTrip());
                trips.oneThread.push_back(pty.roundTripInOneThread());
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
    }
    return trips;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void benchRoundTrip()
{
    BareDevice device;
    BarePty pty;
    measureRoundTrips(kWarmUpFrames, device, pty);
    RoundTrips all;
    std::vector<double> ratios;
    for (int run = 0; run < kRoundTripRuns; ++run) {
        const RoundTrips trips = measureRoundTrips(kRoundTripFrames, device, pty);
        // Each frame against the floor sample taken right after it, so that a
        // machine that changes speed between samples moves both.
        std::vector<double> pairs;
        for (size_t i = 0; i < trips.frame.size(); ++i)
            pairs.push_back(double(trips.frame[i]) / double(trips.floor[i]));
        ratios.push_back(median(pairs));
        for (auto [from, to] : {std::pair(&trips.frame, &all.frame), std::pair(&trips.turnToRequest, &all.turnToRequest),
                                std::pair(&trips.floor, &all.floor), std::pair(&trips.oneThread, &all.oneThread)})
            to->insert(to->end(), from->begin(), from->end());
    }

    const Spread frame = spreadOf(all.frame);
    const Spread half = spreadOf(all.turnToRequest);
    const Spread floor = spreadOf(all.floor);
    const Spread oneThread = spreadOf(all.oneThread);
    const double ratio = median(ratios);
    std::printf("Round trip per frame: zero-delay captures of %d frames, the simulated turntable on its own thread,\n"
                "%d runs of %d frames; each frame is followed by one sample of each floor\n",
                kCaptureFrames, kRoundTripRuns, kRoundTripFrames);
    std::printf("  whole frame: snapTaken() -> next picture request, device included  median %7.1f us  p95 %7.1f us\n",
                frame.medianUs, frame.p95Us);
    std::printf("  half a round trip: the device has the turn -> next picture request median %7.1f us  p95 %7.1f us\n",
                half.medianUs, half.p95Us);
    std::printf("  floor: \"#p210.\" out and \"p210 Success\\r\\n\" back over a raw pty, the device on its\n"
                "  own thread, blocking read/write                                    median %7.1f us  p95 %7.1f us\n",
                floor.medianUs, floor.p95Us);
    std::printf("  the same with one thread playing both sides (no wake-ups)          median %7.1f us  p95 %7.1f us\n",
                oneThread.medianUs, oneThread.p95Us);
    std::printf("  whole frame / floor, median of each frame over the floor sample after it, per run:\n   ");
    for (double runRatio : ratios)
        std::printf(" %.2fx", runRatio);
    std::printf("\n  whole frame / floor: median of runs %.2fx, spread %.2fx .. %.2fx\n",
                ratio, *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
    std::printf("  target: whole frame within %.0fx of the floor: %s\n\n", kRoundTripTarget,
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
    // Each picture request is answered with a count that is never the frames
    // count, so the table turns again; the turntable's record of frames is
    // cleared so that only the controller's memory is measured.
    const int kNeverLast = 0;
    QObject::connect(controller, &CAbstractTurntableController::snapActionRequired, &loop, [&] {
        rig.turntable.clearReceived();
        if (++cycles == target)
            loop.quit();
        else
            controller->snapTaken(kNeverLast);
    });
    bool started = false;
    auto run = [&](int count) {
        cycles = 0;
        target = count;
        if (!std::exchange(started, true))
            controller->startCapture();
        else
            controller->snapTaken(kNeverLast);
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

// The host watches the turntable's port during a capture by looking at its
// node, where the system's port list would cost milliseconds each time.
void benchPortLooks()
{
    SimulatedTurntable turntable;
    if (!turntable.isOpen())
        qFatal("cannot open a pseudo-terminal: %s", qPrintable(turntable.errorString()));
    const QString node = turntable.systemLocation();
    std::vector<qint64> looks;
    looks.reserve(kPortLooks);
    QElapsedTimer clock;
    bool present = true;
    for (int i = 0; i < kPortLooks; ++i) {
        clock.start();
        present = QFileInfo::exists(node) && present;
        looks.push_back(clock.nsecsElapsed());
    }
    std::vector<qint64> scans;
    for (int i = 0; i < kLibraryIterations; ++i) {
        clock.start();
        QSerialPortInfo::availablePorts();
        scans.push_back(clock.nsecsElapsed());
    }
    const Spread lookSpread = spreadOf(looks);
    const Spread scanSpread = spreadOf(scans);
    std::printf("Watching the turntable's port, %d looks at a pty's node (%s), %d port lists\n", kPortLooks,
                present ? "always there" : "missing once", kLibraryIterations);
    std::printf("  a look at the node                 median %8.2f us  p95 %8.2f us\n", lookSpread.medianUs,
                lookSpread.p95Us);
    std::printf("  the system's port list instead     median %8.1f us  p95 %8.1f us\n", scanSpread.medianUs,
                scanSpread.p95Us);
    std::printf("  share of the event loop at one look every %d ms: node %.4f %%, list %.2f %%\n\n",
                kPortLookIntervalMs, lookSpread.medianUs / (kPortLookIntervalMs * 10.0),
                scanSpread.medianUs / (kPortLookIntervalMs * 10.0));
}

int main(int argc, char *argv[])
{
    // Dialogs are built without a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Names on the command line pick benchmarks; none runs them all.
    const QStringList picked = app.arguments().mid(1);
    const auto wanted = [&picked](const char *name) {
        return picked.isEmpty() || picked.contains(QLatin1String(name));
    };
    printMachine();
    if (wanted("round-trip"))
        benchRoundTrip();
    if (wanted("library"))
        benchLibrary();
    if (wanted("dialogs"))
        benchDialogs();
    if (wanted("cycles"))
        benchCycles();
    if (wanted("port-looks"))
        benchPortLooks();
    return 0;
}
