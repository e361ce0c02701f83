#include "UsbTestbed.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QLockFile>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <elf.h>
#include <unistd.h>

// The tools for photographers and host developers, run as a user runs them:
// the standalone simulated turntable, the USB sandbox and the port listing
// inside it.
class tst_Tools : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void simulatorAnswersWithItsFaults_data();
    void simulatorAnswersWithItsFaults();
    void simulatorHangsUpWhenAsked();
    void toolsRefuseBadUsage_data();
    void toolsRefuseBadUsage();
    void sandboxEndsWithItsCommand_data();
    void sandboxEndsWithItsCommand();
    void sandboxGivesCommandOneInterrupt_data();
    void sandboxGivesCommandOneInterrupt();
    void hostRunsInSandbox_data();
    void hostRunsInSandbox();
    void sandboxesKeepToTheirOwnPorts_data();
    void sandboxesKeepToTheirOwnPorts();
    void windowRunByHandEndsCleanly_data();
    void windowRunByHandEndsCleanly();
    void sandboxScriptLeavesOthersBuildAlone_data();
    void sandboxScriptLeavesOthersBuildAlone();
    void sanitizedPluginRunsInPlainHost_data();
    void sanitizedPluginRunsInPlainHost();
    void listsPorts_data();
    void listsPorts();
    void listingSaysWhyPortCannotBeOpened_data();
    void listingSaysWhyPortCannotBeOpened();

private:
    // Copies for another user, who may not reach into the build folder; also
    // the sandbox's temporary folder, where its testbed lives.
    QTemporaryDir m_shared;
};

namespace {

const int kRunTimeoutMs = 60000;
const QString kSimulator = QStringLiteral(ORBISTO_SIMULATOR_FILE);
const QString kSandbox = QStringLiteral(ORBISTO_SOURCE_DIR "/scripts/usb-sandbox.sh");
const QString kHost = QStringLiteral(ORBISTO_HOST_FILE);
const QString kPlugin = QStringLiteral(ORBISTO_PLUGIN_FILE);
const QStringList kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

struct Run
{
    bool finished = false;
    int status = -1; // the exit code, or 128 + the signal, as a shell reports it
    QString out;
    QString err;
    qint64 elapsedMs = 0;
};

// The sandbox script runs the tools of this build.
QProcessEnvironment toolEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORBISTO_BUILD_DIR"), QStringLiteral(ORBISTO_BUILD_DIR));
    return environment;
}

Run run(const QString &program, const QStringList &arguments,
        const std::function<void(QProcess &)> &whileRunning = {})
{
    QProcess process;
    process.setProcessEnvironment(toolEnvironment());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    process.waitForStarted();
    if (whileRunning)
        whileRunning(process);
    Run result;
    result.finished = process.waitForFinished(kRunTimeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.elapsedMs = clock.elapsed();
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128 + process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// Arguments without spaces of their own, written as one line.
QStringList words(const char *line)
{
    return QString::fromLatin1(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool isRoot()
{
    return ::geteuid() == 0;
}

const char kNeedsRoot[] = "running a program as another user needs root";

// Whether a process runs this command with exactly these arguments.
bool isRunning(const QStringList &command)
{
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QStringList arguments;
        for (const QByteArray &argument : file.readAll().split('\0'))
            arguments.append(QString::fromLocal8Bit(argument));
        arguments.removeLast(); // after the closing NUL
        if (!arguments.isEmpty() && QFileInfo(arguments.first()).fileName() == command.first()
            && arguments.mid(1) == command.mid(1)) {
            return true;
        }
    }
    return false;
}

// The ports the sandbox printed, in its order.
QStringList sandboxPorts(const QString &err)
{
    static const QRegularExpression line(QStringLiteral("^usb-sandbox: (/dev/ttyACM\\d+) \\(.*\\): simulated turntable$"),
                                         QRegularExpression::MultilineOption);
    QStringList ports;
    for (auto match = line.globalMatch(err); match.hasNext();)
        ports.append(match.next().captured(1));
    return ports;
}

// "%1", "%2", ... in lines, as the sandbox's first, second, ... port.
QStringList withPorts(QStringList lines, const QStringList &ports)
{
    for (QString &line : lines) {
        for (int i = 0; i < ports.size(); ++i)
            line.replace(QStringLiteral("%%1").arg(i + 1), ports.at(i));
    }
    return lines;
}

// What the turntable on the sandbox's first port (or on port) received, frame by frame, as --log prints it.
QStringList framesReceived(const QString &err, const QString &port = {})
{
    const QString prefix =
        QStringLiteral("usb-sandbox: %1 received ").arg(port.isEmpty() ? sandboxPorts(err).value(0) : port);
    QStringList frames;
    for (const QString &line : err.split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix) && line.mid(prefix.size()).startsWith(QLatin1Char('#')))
            frames.append(line.mid(prefix.size()));
    }
    return frames;
}

// What the turntable receives in an 8-picture capture: the greeting, seven
// turns and the goodbye, and nothing else.
QStringList eightPictures()
{
    QStringList frames = {"#e1."};
    for (int turn = 0; turn < 7; ++turn)
        frames.append(QStringLiteral("#p630."));
    frames.append(QStringLiteral("#e0."));
    return frames;
}

// The sandbox's testbed must go away with it.
bool sandboxLeftTestbed()
{
    const QDir temporary(QString::fromLocal8Bit(qgetenv("TMPDIR")));
    return !temporary.entryList({QStringLiteral("umockdev.*")}, QDir::AllEntries | QDir::Hidden).isEmpty();
}

} // namespace

void tst_Tools::initTestCase()
{
    QVERIFY(m_shared.isValid());
    QFile::setPermissions(m_shared.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ReadOther | QFileDevice::ExeOther);
    QVERIFY(QFile::copy(kHost, m_shared.filePath(QFileInfo(kHost).fileName())));
    qputenv("TMPDIR", QFile::encodeName(m_shared.path()));
}

void tst_Tools::simulatorAnswersWithItsFaults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray turn = "#p210.";
    const QByteArray success = "p210 Success\r\n";
    QTest::newRow("no fault") << QStringList() << turn << success;
    QTest::newRow("error text") << QStringList{QStringLiteral("--error"), QStringLiteral("Error: motor blocked")}
                                << turn << QByteArray("Error: motor blocked\r\n");
    QTest::newRow("garbage first") << words("--garbage ~~") << turn << "~~" + success;
    QTest::newRow("doubled") << words("--doubled") << turn << success + success;
    QTest::newRow("split") << words("--split 3") << turn << success;
    QTest::newRow("silent turn, other commands answered") << words("--silent") << turn + "#c1." << QByteArray("c1 OK\r\n");
    QTest::newRow("fault on another command") << words("--command c --silent") << QByteArray("#c1.#p70.")
                                              << QByteArray("p70 Success\r\n");
}

void tst_Tools::simulatorAnswersWithItsFaults()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, frames);
    QFETCH(QByteArray, answer);
    const Run result = run(kSimulator, options, [&](QProcess &simulator) {
        QVERIFY(simulator.waitForReadyRead());
        const QString location = QString::fromLocal8Bit(simulator.readLine()).trimmed();
        QSerialPort port(location);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(location + QLatin1Char(' ') + port.errorString()));
        port.write(frames);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += port.readAll()).size() >= answer.size(), 5000);
        QCOMPARE(received, answer);
        simulator.terminate();
    });
    QVERIFY(result.finished);
    QCOMPARE(result.status, 0);
}

void tst_Tools::simulatorHangsUpWhenAsked()
{
    const Run result = run(kSimulator, words("--hang-up-after 1"),
                           [](QProcess &simulator) {
                               QVERIFY(simulator.waitForReadyRead());
                               const QString location = QString::fromLocal8Bit(simulator.readLine()).trimmed();
                               QVERIFY(QFile::exists(location));
                               // A pulled cable: the line goes away, the simulator keeps serving nobody.
                               QTRY_VERIFY(!QFile::exists(location));
                               QCOMPARE(simulator.state(), QProcess::Running);
                               ::kill(pid_t(simulator.processId()), SIGINT);
                           });
    QVERIFY(result.finished);
    QCOMPARE(result.status, 0);
}

void tst_Tools::toolsRefuseBadUsage_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    QTest::newRow("simulator: unknown option") << kSimulator << words("--bogus") << 2 << "bogus";
    QTest::newRow("simulator: split at 0") << kSimulator << words("--split 0") << 2 << "--split";
    QTest::newRow("simulator: unknown command letter") << kSimulator << words("--command x") << 2 << "--command";
    QTest::newRow("simulator: negative hang-up") << kSimulator << words("--hang-up-after -1") << 2
                                                 << "--hang-up-after";
    QTest::newRow("sandbox: no command") << kSandbox << QStringList() << 2 << "no command";
    QTest::newRow("sandbox: no turntable") << kSandbox << words("--count 0 -- true") << 2 << "--count";
    QTest::newRow("sandbox: hang-up not a number") << kSandbox << words("--hang-up-after soon -- true") << 2
                                                   << "--hang-up-after";
    QTest::newRow("sandbox: unknown option") << kSandbox << words("--bogus -- true") << 2 << "bogus";
}

void tst_Tools::toolsRefuseBadUsage()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, reason);
    const Run result = run(program, arguments);
    QVERIFY(result.finished);
    QCOMPARE(result.status, status);
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
    QVERIFY2(result.err.contains(reason), qPrintable(result.err));
}

void tst_Tools::sandboxEndsWithItsCommand_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<bool>("interrupted");
    QTest::addColumn<int>("status");
    const QStringList shell = words("sh -c");
    QTest::newRow("command exits") << shell + QStringList{"test -c \"$ORBISTO_SANDBOX_PORTS\" && exit 3"} << false << 3;
    QTest::newRow("command crashes") << shell + QStringList{"kill -SEGV $$"} << false << 128 + SIGSEGV;
    QTest::newRow("command cannot start") << words("/nonexistent/command") << false << 127;
    QTest::newRow("Ctrl-C") << words("sleep 29.5") << true << 128 + SIGINT;
    // The sandbox reads files among the arguments for the sanitizer runtime they need.
    const QString damaged = m_shared.filePath(QStringLiteral("damaged.so"));
    QTest::newRow("a damaged ELF file among its arguments") << shell + QStringList{"exit 4", damaged} << false << 4;
    // A header, and one dynamic section claiming 2^62 bytes.
    Elf64_Ehdr header = {};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_shoff = sizeof header;
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = 1;
    Elf64_Shdr dynamic = {};
    dynamic.sh_type = SHT_DYNAMIC;
    dynamic.sh_size = quint64(1) << 62;
    QFile file(damaged);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char *>(&header), sizeof header);
    file.write(reinterpret_cast<const char *>(&dynamic), sizeof dynamic);
}

void tst_Tools::sandboxEndsWithItsCommand()
{
    QFETCH(QStringList, command);
    QFETCH(bool, interrupted);
    QFETCH(int, status);
    const Run result = run(kSandbox, words("--") + command, [&](QProcess &sandbox) {
        if (!interrupted)
            return;
        QTRY_VERIFY(isRunning(command));
        ::kill(pid_t(sandbox.processId()), SIGINT);
    });
    QVERIFY(result.finished);
    QCOMPARE(result.status, status);
    QVERIFY(!isRunning(command));
    QVERIFY(!sandboxLeftTestbed());
}

void tst_Tools::sandboxGivesCommandOneInterrupt_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("wholeGroup");
    QTest::newRow("SIGINT to the sandbox's whole group, as a terminal's Ctrl-C") << int(SIGINT) << true;
    QTest::newRow("SIGINT to the sandbox alone") << int(SIGINT) << false;
    QTest::newRow("SIGHUP to the sandbox's whole group, as a closed terminal") << int(SIGHUP) << true;
    QTest::newRow("SIGHUP to the sandbox alone") << int(SIGHUP) << false;
}

// One signal lets the host end its capture as a normal end does: it says so
// once and the turntable gets its goodbye. A second one would have ended the
// host at once, before the goodbye.
void tst_Tools::sandboxGivesCommandOneInterrupt()
{
    QFETCH(int, signal);
    QFETCH(bool, wholeGroup);
    const QStringList host = {kHost, "--plugin", kPlugin, "--frames", "6", "--post-snap", "1", "--snap-command",
                              "sleep 0.3"};
    // setsid makes the sandbox the leader of a group of its own, as a terminal's job is.
    const Run result = run(QStringLiteral("setsid"), QStringList{kSandbox} + words("--log --") + host,
                           [&](QProcess &sandbox) {
                               const pid_t pid = pid_t(sandbox.processId());
                               QTRY_VERIFY_WITH_TIMEOUT(sandbox.peek(1 << 20).contains("picture 3 of 6 requested"),
                                                        kRunTimeoutMs / 2);
                               QCOMPARE(::getpgid(pid), pid);
                               ::kill(wholeGroup ? -pid : pid, signal);
                           });
    QVERIFY(result.finished);
    QVERIFY2(result.status == 128 + signal, qPrintable(result.out + result.err));
    const QString interrupted = QStringLiteral("Interrupted by SIG") + (signal == SIGINT ? "INT" : "HUP");
    QVERIFY2((result.out + result.err).count(interrupted) == 1, qPrintable(result.out + result.err));
    QVERIFY2(framesReceived(result.err).endsWith(QStringLiteral("#e0.")), qPrintable(result.err));
    // Nothing outlives the sandbox.
    QVERIFY(!isRunning(QStringList{QFileInfo(kHost).fileName()} + host.mid(1)));
}

void tst_Tools::hostRunsInSandbox_data()
{
    QTest::addColumn<QStringList>("sandboxOptions");
    QTest::addColumn<QStringList>("hostOptions");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("turns");
    QTest::addColumn<QString>("message");
    QTest::newRow("whole capture") << QStringList() << words("--frames 8") << 0 << 7 << "finished: 8 pictures";
    // The cable is pulled while the host waits to turn after picture 1: named
    // as it happens, not waited out as a stall.
    QTest::newRow("pulled cable") << words("--hang-up-after 2") << words("--frames 8 --post-snap 4 --timeout 60")
                                  << 1 << 0 << "The port %1 left the system";
    // A driver that reports another maker: the plug-in would not take the port, --port does.
    QTest::newRow("another maker, named with --port")
        << words("--maker OtherCorp") << words("--port %1 --frames 8") << 0 << 7
        << "finished: 8 pictures";
}

void tst_Tools::hostRunsInSandbox()
{
    QFETCH(QStringList, sandboxOptions);
    QFETCH(QStringList, hostOptions);
    QFETCH(int, status);
    QFETCH(int, turns);
    QFETCH(QString, message);
    // The loaded plug-in, unless the row names the port for the host's own controller.
    const QStringList driver = hostOptions.contains(QStringLiteral("--port")) ? QStringList()
                                                                             : QStringList{"--plugin", kPlugin};
    // The port the host is told, "%1", is the one the sandbox gives it.
    QString host = QStringLiteral("exec");
    for (const QString &argument : QStringList{kHost} + driver + hostOptions)
        host += argument == QLatin1String("%1") ? QStringLiteral(" \"$ORBISTO_SANDBOX_PORTS\"") : " '" + argument + "'";
    const Run result = run(kSandbox, sandboxOptions + words("--log -- sh -c") + QStringList{host});
    QVERIFY(result.finished);
    QVERIFY2(result.status == status, qPrintable(result.out + result.err));
    QCOMPARE(result.err.count(QStringLiteral("received #p630.")), turns);
    // "%1" is the port the sandbox gave, whichever number was free.
    const QStringList ports = sandboxPorts(result.err);
    QVERIFY2(ports.size() == 1, qPrintable(result.err));
    QVERIFY2((result.out + result.err).contains(withPorts({message}, ports).constFirst()),
             qPrintable(result.out + result.err));
    // A stall is reported within the host's own timeout, not the test's.
    QVERIFY(result.elapsedMs < kRunTimeoutMs / 2);
    QVERIFY(!sandboxLeftTestbed());
}

void tst_Tools::sandboxesKeepToTheirOwnPorts_data()
{
    QTest::addColumn<bool>("secondSandbox");
    QTest::addColumn<bool>("lockOnFreeName");
    QTest::newRow("two sandboxes capturing at once") << true << false;
    QTest::newRow("beside a lock held on a real port's name") << false << true;
}

// A port's lock is taken in the system's own lock folder, which no sandbox
// covers: each sandbox numbers its ports around every name in use, and its
// capture is then exact.
void tst_Tools::sandboxesKeepToTheirOwnPorts()
{
    QFETCH(bool, secondSandbox);
    QFETCH(bool, lockOnFreeName);
    QString lockFile;
    std::unique_ptr<QLockFile> lock;
    QByteArray lockText;
    if (lockOnFreeName) {
        // A name no port and no sandbox has, locked as Qt's serial port locks it.
        const std::unique_ptr<UsbTestbed::PortNumber> free = UsbTestbed::PortNumber::claimFree();
        QVERIFY(free);
        const QStringList folders = UsbTestbed::lockFolders();
        const auto folder = std::find_if(folders.cbegin(), folders.cend(), [](const QString &path) {
            return QFileInfo(path).isWritable();
        });
        QVERIFY(folder != folders.cend());
        lockFile = QStringLiteral("%1/LCK..ttyACM%2").arg(*folder).arg(free->number());
        lock = std::make_unique<QLockFile>(lockFile);
        QVERIFY(lock->tryLock(0));
        QFile file(lockFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        lockText = file.readAll();
    }
    const QString release = m_shared.filePath(QStringLiteral("release"));
    const auto removeRelease = qScopeGuard([&] { QFile::remove(release); });
    const QStringList host = {kHost, "--plugin", kPlugin, "--frames", "8", "--timeout", "60"};
    // The first capture waits at its first picture until the second has finished.
    const QString waitForRelease =
        QStringLiteral("for i in $(seq 1200); do [ -e '%1' ] && break; sleep 0.05; done").arg(release);
    QProcess first;
    first.setProcessEnvironment(toolEnvironment());
    first.setReadChannel(QProcess::StandardError);
    first.start(kSandbox, words("--log --") + host + QStringList{"--snap-command", waitForRelease});
    QTRY_VERIFY_WITH_TIMEOUT(first.peek(1 << 20).contains("received #e1."), kRunTimeoutMs / 2);
    Run second;
    if (secondSandbox) {
        second = run(kSandbox, words("--log --") + host);
        QVERIFY(second.finished);
        QVERIFY2(second.status == 0, qPrintable(second.out + second.err));
    }
    QVERIFY(QFile(release).open(QIODevice::WriteOnly));
    QVERIFY(first.waitForFinished(kRunTimeoutMs));
    const QString err = QString::fromLocal8Bit(first.readAllStandardError());
    QVERIFY2(first.exitStatus() == QProcess::NormalExit && first.exitCode() == 0, qPrintable(err));

    const QStringList exact = eightPictures();
    QCOMPARE(framesReceived(err), exact);
    QStringList ports = sandboxPorts(err);
    if (secondSandbox) {
        QCOMPARE(framesReceived(second.err), exact);
        ports += sandboxPorts(second.err);
        QCOMPARE(ports.size(), 2);
        QVERIFY2(ports.first() != ports.last(), qPrintable(ports.join(QLatin1Char(' '))));
    }
    if (lockOnFreeName) {
        QVERIFY2(!ports.contains(QStringLiteral("/dev/") + QFileInfo(lockFile).fileName().mid(5)), qPrintable(err));
        QFile file(lockFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), lockText);
    }
}

// The window as a user runs it, without the tests' sanitizer options: in a
// sanitizer build its leak suppressions are built in. SIGTERM ends it as a
// normal end does, with the shell's status for it.
void tst_Tools::windowRunByHandEndsCleanly_data()
{
    QTest::addColumn<bool>("closesItself");
    QTest::addColumn<int>("status");
    // With --screenshot the window closes itself once it is drawn, as a user closes it.
    QTest::newRow("closed") << true << 0;
    QTest::newRow("SIGTERM") << false << 128 + SIGTERM;
}

void tst_Tools::windowRunByHandEndsCleanly()
{
    QFETCH(bool, closesItself);
    QFETCH(int, status);
    const QString screenshot = m_shared.filePath(QStringLiteral("window.png"));
    QFile::remove(screenshot);
    QProcess sandbox;
    QProcessEnvironment environment = toolEnvironment();
    environment.remove(QStringLiteral("LSAN_OPTIONS"));
    environment.remove(QStringLiteral("ASAN_OPTIONS"));
    sandbox.setProcessEnvironment(environment);
    sandbox.setReadChannel(QProcess::StandardError);
    sandbox.start(kSandbox, words("--log --") + QStringList{kHost, "--gui", "--plugin", kPlugin}
                      + (closesItself ? QStringList{"--screenshot", screenshot} : QStringList()));
    // The window's settings widget asks the turntable for its identification.
    // A failed check must not leave the window behind: the sandbox passes SIGTERM on.
    const auto stop = qScopeGuard([&sandbox] {
        if (sandbox.state() != QProcess::NotRunning && ::kill(pid_t(sandbox.processId()), SIGTERM) == 0)
            sandbox.waitForFinished(kRunTimeoutMs);
    });
    QTRY_VERIFY2_WITH_TIMEOUT(sandbox.peek(1 << 20).contains("received #i1."), sandbox.peek(1 << 20).constData(),
                              kRunTimeoutMs);
    if (!closesItself)
        QCOMPARE(::kill(pid_t(sandbox.processId()), SIGTERM), 0);
    // A window that closes itself may already be gone while the wait above
    // still runs the event loop, and waitForFinished() is false for an ended process.
    QTRY_COMPARE_WITH_TIMEOUT(sandbox.state(), QProcess::NotRunning, kRunTimeoutMs);
    const QString err = QString::fromLocal8Bit(sandbox.readAllStandardError());
    QVERIFY2(!err.contains(QLatin1String("Sanitizer")), qPrintable(err));
    QCOMPARE(sandbox.exitStatus(), QProcess::NormalExit);
    QVERIFY2(sandbox.exitCode() == status, qPrintable(err));
    QCOMPARE(QFile::exists(screenshot), closesItself);
    QVERIFY2(framesReceived(err).endsWith(QStringLiteral("#e0.")), qPrintable(err));
}

void tst_Tools::sandboxScriptLeavesOthersBuildAlone_data()
{
    QTest::addColumn<bool>("built");
    QTest::addColumn<int>("status");
    QTest::newRow("up to date: used as it is") << true << 0;
    QTest::newRow("not built: one line says what to do") << false << 1;
}

// Another user's checkout, whose build/release this user may not write.
void tst_Tools::sandboxScriptLeavesOthersBuildAlone()
{
    QFETCH(bool, built);
    QFETCH(int, status);
    if (!isRoot())
        QSKIP(kNeedsRoot);
    QTemporaryDir checkout(m_shared.filePath(QStringLiteral("checkout-XXXXXX")));
    QVERIFY(checkout.isValid());
    QFile::setPermissions(checkout.path(), QFile::permissions(m_shared.path()));
    const QString script = checkout.filePath(QStringLiteral("scripts/usb-sandbox.sh"));
    const QString sandbox = checkout.filePath(QStringLiteral("build/release/simulator/orbisto-usb-sandbox"));
    // The sandbox's sources, older than its build.
    QVERIFY(QDir().mkpath(QFileInfo(script).path()) && QDir().mkpath(checkout.filePath(QStringLiteral("simulator"))));
    QVERIFY(QFile::copy(kSandbox, script));
    QVERIFY(QFile(checkout.filePath(QStringLiteral("CMakeLists.txt"))).open(QIODevice::WriteOnly));
    QVERIFY(QDir().mkpath(QFileInfo(sandbox).path()));
    if (built)
        QVERIFY(QFile::copy(QStringLiteral(ORBISTO_BUILD_DIR "/simulator/orbisto-usb-sandbox"), sandbox));
    const Run result = run(QStringLiteral("setpriv"), kAsNobody.mid(1) + QStringList{"env", "-u", "ORBISTO_BUILD_DIR",
                                                                                    "TMPDIR=/tmp", "bash", script,
                                                                                    "--", "sh", "-c",
                                                                                    "test -c \"$ORBISTO_SANDBOX_PORTS\""});
    QVERIFY(result.finished);
    QVERIFY2(result.status == status, qPrintable(result.out + result.err));
    if (!built) {
        QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(result.err.contains(QStringLiteral("run scripts/build.sh build/release")), qPrintable(result.err));
    }
    QVERIFY(!QFileInfo::exists(checkout.filePath(QStringLiteral("build/release/CMakeCache.txt"))));
}

void tst_Tools::sanitizedPluginRunsInPlainHost_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<bool>("refused");
#ifndef ORBISTO_ASAN_PLUGIN_FILE
    QSKIP("needs a plug-in built with AddressSanitizer beside a host built without");
#else
    const QString plugin = QStringLiteral(ORBISTO_ASAN_PLUGIN_FILE);
    const QString preload = QStringLiteral("LD_PRELOAD=" ORBISTO_ASAN_RUNTIME);
    const QStringList capture = {kHost, "--plugin", plugin, "--frames", "8"};
    QTest::newRow("the runtime the named plug-in needs") << QStringList{kSandbox, "--log", "--"} + capture << false;
    // A plug-in the command does not name: the README's recipe.
    QTest::newRow("the runtime preloaded into the sandbox")
        << QStringList{preload, kSandbox, "--log", "--", "sh", "-c", "exec \"$0\" --plugin \"$1\" --frames 8", kHost,
                       plugin}
        << false;
    QTest::newRow("env LD_PRELOAD=... inside the command: refused, with the command to run")
        << QStringList{kSandbox, "--log", "--", "env", preload} + capture << true;
#endif
}

// A host developer's case: the plug-in built with AddressSanitizer, inside
// their own application built without. The runtime must come first in the
// application, and the sandbox must neither run under it nor lose its preload.
void tst_Tools::sanitizedPluginRunsInPlainHost()
{
    QFETCH(QStringList, command);
    QFETCH(bool, refused);
    Run result = run(QStringLiteral("env"), command);
    QVERIFY(result.finished);
    if (refused) {
        QCOMPARE(result.status, 2);
        static const QRegularExpression advice(QStringLiteral("; run: (.*) \\(see --help\\)\n$"));
        const QRegularExpressionMatch match = advice.match(result.err);
        QVERIFY2(match.hasMatch(), qPrintable(result.err));
        result = run(QStringLiteral("sh"), {"-c", match.captured(1)});
        QVERIFY(result.finished);
    }
    QVERIFY2(result.status == 0, qPrintable(result.out + result.err));
    QCOMPARE(framesReceived(result.err), eightPictures());
}

void tst_Tools::listsPorts_data()
{
    QTest::addColumn<QStringList>("sandboxOptions");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("lines");
    // "%1" and "%2" stand for the sandbox's first and second port.
    const QString turntable = QStringLiteral("%1  STMicroelectronics  0483:5740  ");
    const QString taken = QStringLiteral("plug-in: would take %");
    QTest::newRow("a turntable") << QStringList() << false << 0
                                 << QStringList{turntable + "read-write ok", taken + '1'};
    QTest::newRow("two turntables")
        << words("--count 2") << false << 0
        << QStringList{turntable + "read-write ok", "%2  STMicroelectronics  0483:5740  read-write ok",
                       taken + '2'};
    QTest::newRow("another maker")
        << words("--maker FTDI") << false << 1
        << QStringList{"%1  FTDI  0483:5740  read-write ok",
                       "  vendor id 0483 is STMicroelectronics, but the port names maker \"FTDI\": the plug-in will "
                       "not take this port",
                       "plug-in: would find no turntable: no port made by STMicroelectronics"};
    QTest::newRow("no permission")
        << QStringList() << true << 1
        << QStringList{turntable + "cannot open: permission denied",
                       "plug-in: would find no turntable: the last port made by STMicroelectronics, %1, "
                       "cannot be opened (permission denied)"};
}

void tst_Tools::listsPorts()
{
    QFETCH(QStringList, sandboxOptions);
    QFETCH(bool, asNobody);
    QFETCH(int, status);
    QFETCH(QStringList, lines);
    if (asNobody && !isRoot())
        QSKIP(kNeedsRoot);
    const QStringList listing = {m_shared.filePath(QFileInfo(kHost).fileName()), "--list-ports"};
    const Run result = run(kSandbox, sandboxOptions + words("--log --") + (asNobody ? kAsNobody : QStringList())
                                         + listing);
    QVERIFY(result.finished);
    QVERIFY2(result.status == status, qPrintable(result.out + result.err));
    const QStringList ports = sandboxPorts(result.err);
    QCOMPARE(ports.size(), sandboxOptions.contains(QStringLiteral("2")) ? 2 : 1);
    QCOMPARE(result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), withPorts(lines, ports));
    // Looking sends nothing to any port.
    QVERIFY2(!result.err.contains(QStringLiteral(" received #")), qPrintable(result.err));
    QVERIFY2(result.err.contains(ports.first() + QStringLiteral(" received 0 bytes in all")), qPrintable(result.err));
}

void tst_Tools::listingSaysWhyPortCannotBeOpened_data()
{
    QTest::addColumn<QStringList>("sandboxOptions");
    // Brings the port into its state, waiting for it with a bound, before the listing runs.
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<QString>("line");
    QTest::newRow("busy: a capture holds it through a long delay")
        << QStringList()
        << "\"$0\" --plugin \"$1\" --frames 2 --post-snap 30 --timeout 1 >/dev/null & holder=$!\n"
           "for i in $(seq 200); do [ -e \"/run/lock/LCK..${ORBISTO_SANDBOX_PORTS#/dev/}\" ] && break; sleep 0.05; done\n"
        << "%1  STMicroelectronics  0483:5740  cannot open: busy, held by orbisto-host (pid ";
    // As on a real machine, the pulled device leaves the system, node and all.
    QTest::newRow("gone: the cable was pulled")
        << words("--hang-up-after 0")
        << "for i in $(seq 200); do [ -e \"/sys/class/tty/${ORBISTO_SANDBOX_PORTS#/dev/}\" ] || break; sleep 0.05; done\n"
        << "no serial ports";
}

void tst_Tools::listingSaysWhyPortCannotBeOpened()
{
    QFETCH(QStringList, sandboxOptions);
    QFETCH(QString, setUp);
    QFETCH(QString, line);
    const QString script = setUp + "\"$0\" --list-ports; status=$?; kill $holder 2>/dev/null; exit $status";
    const Run result = run(kSandbox, sandboxOptions + words("-- sh -c") + QStringList{script, kHost, kPlugin});
    QVERIFY(result.finished);
    QVERIFY2(result.status == 1, qPrintable(result.out + result.err));
    QVERIFY2(result.out.contains(withPorts({line}, sandboxPorts(result.err)).first()), qPrintable(result.out));
}

QTEST_MAIN(tst_Tools)
#include "tst_tools.moc"
