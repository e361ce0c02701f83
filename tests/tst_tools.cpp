#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
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

Run run(const QString &program, const QStringList &arguments,
        const std::function<void(QProcess &)> &whileRunning = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORBISTO_BUILD_DIR"), QStringLiteral(ORBISTO_BUILD_DIR));
    process.setProcessEnvironment(environment);
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
    QTest::newRow("command exits") << shell + QStringList{"test -c /dev/ttyACM0 && exit 3"} << false << 3;
    QTest::newRow("command crashes") << shell + QStringList{"kill -SEGV $$"} << false << 128 + SIGSEGV;
    QTest::newRow("command cannot start") << words("/nonexistent/command") << false << 127;
    QTest::newRow("Ctrl-C") << words("sleep 29.5") << true << 128 + SIGINT;
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
    QVERIFY2(result.err.contains(QStringLiteral("/dev/ttyACM0 received #e0.")), qPrintable(result.err));
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
                                  << 1 << 0 << "The port /dev/ttyACM0 left the system";
    // A driver that reports another maker: the plug-in would not take the port, --port does.
    QTest::newRow("another maker, named with --port")
        << words("--maker OtherCorp") << words("--port /dev/ttyACM0 --frames 8") << 0 << 7
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
    const Run result = run(kSandbox, sandboxOptions + words("--log --") + QStringList{kHost} + driver + hostOptions);
    QVERIFY(result.finished);
    QVERIFY2(result.status == status, qPrintable(result.out + result.err));
    QCOMPARE(result.err.count(QStringLiteral("received #p630.")), turns);
    QVERIFY2((result.out + result.err).contains(message), qPrintable(result.out + result.err));
    // A stall is reported within the host's own timeout, not the test's.
    QVERIFY(result.elapsedMs < kRunTimeoutMs / 2);
    QVERIFY(!sandboxLeftTestbed());
}

void tst_Tools::listsPorts_data()
{
    QTest::addColumn<QStringList>("sandboxOptions");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("lines");
    const QString turntable = QStringLiteral("/dev/ttyACM0  STMicroelectronics  0483:5740  ");
    const QString taken = QStringLiteral("plug-in: would take /dev/ttyACM");
    QTest::newRow("a turntable") << QStringList() << false << 0
                                 << QStringList{turntable + "read-write ok", taken + '0'};
    QTest::newRow("two turntables")
        << words("--count 2") << false << 0
        << QStringList{turntable + "read-write ok", "/dev/ttyACM1  STMicroelectronics  0483:5740  read-write ok",
                       taken + '1'};
    QTest::newRow("another maker")
        << words("--maker FTDI") << false << 1
        << QStringList{"/dev/ttyACM0  FTDI  0483:5740  read-write ok",
                       "  vendor id 0483 is STMicroelectronics, but the port names maker \"FTDI\": the plug-in will "
                       "not take this port",
                       "plug-in: would find no turntable: no port made by STMicroelectronics"};
    QTest::newRow("no permission")
        << QStringList() << true << 1
        << QStringList{turntable + "cannot open: permission denied",
                       "plug-in: would find no turntable: the last port made by STMicroelectronics, /dev/ttyACM0, "
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
    QCOMPARE(result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), lines);
    // Looking sends nothing to any port.
    QVERIFY2(!result.err.contains(QStringLiteral(" received #")), qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("/dev/ttyACM0 received 0 bytes in all")), qPrintable(result.err));
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
           "for i in $(seq 200); do [ -e /run/lock/LCK..ttyACM0 ] && break; sleep 0.05; done\n"
        << "/dev/ttyACM0  STMicroelectronics  0483:5740  cannot open: busy, held by orbisto-host (pid ";
    // As on a real machine, the pulled device leaves the system, node and all.
    QTest::newRow("gone: the cable was pulled")
        << words("--hang-up-after 0")
        << "for i in $(seq 200); do [ -e /sys/class/tty/ttyACM0 ] || break; sleep 0.05; done\n"
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
    QVERIFY2(result.out.contains(line), qPrintable(result.out));
}

QTEST_MAIN(tst_Tools)
#include "tst_tools.moc"
