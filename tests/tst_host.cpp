#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

// Runs the reference host as a user does and checks what it prints and how it exits.
class tst_Host : public QObject
{
    Q_OBJECT

private slots:
    void runsWholeCapture_data();
    void runsWholeCapture();
    void waitsConfiguredDelays_data();
    void waitsConfiguredDelays();
    void pluginJudgesSettings_data();
    void pluginJudgesSettings();
    void unusablePluginIsRefused_data();
    void unusablePluginIsRefused();
    void endsFailedCapture_data();
    void endsFailedCapture();
    void zeroTimeoutWaitsForever();
    void portRunsCapture_data();
    void portRunsCapture();
    void signalEndsCaptureCleanly_data();
    void signalEndsCaptureCleanly();
    void rejectsBadOptions_data();
    void rejectsBadOptions();
    void settingsFileProblemIsNamed_data();
    void settingsFileProblemIsNamed();
    void settingsFileIsLeftAsItWas_data();
    void settingsFileIsLeftAsItWas();
    void settingsFileIsWrittenOnlyWhereSafe_data();
    void settingsFileIsWrittenOnlyWhereSafe();
    void screenshotFailureSaysWhy();
    void helpNamesEveryOption();
    void guiSavesScreenshot_data();
    void guiSavesScreenshot();
};

// In the sanitizer build the host runs instrumented too; a report fails the test
// even where the expected exit status would hide it.
#define VERIFY_NO_SANITIZER_REPORT(run)                                                     \
    QVERIFY2(!(run).err.contains(QLatin1String("Sanitizer"))                                \
                 && !(run).err.contains(QLatin1String("runtime error:")),                   \
             qPrintable((run).err))

namespace {

const int kRunTimeoutMs = 60000;

struct Event
{
    qint64 ms;
    QString text;
};

struct HostRun
{
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    QString out;
    QString err;
    qint64 elapsedMs = 0;
    QList<Event> events;

    // Event texts without the progress bar and the step count in brackets: the
    // checks compare the picture numbers and the frame itself.
    QStringList texts() const
    {
        static const QRegularExpression decoration(
            QStringLiteral("(  \\[[#-]+\\]  \\d+/\\d+| \\(\\d+ steps\\))$"));
        QStringList result;
        for (const Event &event : events)
            result.append(QString(event.text).remove(decoration));
        return result;
    }
};

// Command-line runs must not need a display, so they get none.
QProcessEnvironment headlessEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

HostRun runHost(const QStringList &arguments,
                const QProcessEnvironment &environment = headlessEnvironment(),
                const QStringList &launcher = {}, const QString &folder = QString())
{
    HostRun run;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    QElapsedTimer clock;
    clock.start();
    const QStringList command = launcher + QStringList{ORBISTO_HOST_FILE} + arguments;
    process.start(command.constFirst(), command.mid(1));
    run.finished = process.waitForFinished(kRunTimeoutMs);
    run.elapsedMs = clock.elapsed();
    if (!run.finished) {
        process.kill();
        process.waitForFinished(kRunTimeoutMs);
    }
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());

    static const QRegularExpression eventLine(QStringLiteral("^\\[ *(\\d+) ms\\] (.*)$"));
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = eventLine.match(line);
        if (match.hasMatch())
            run.events.append({match.captured(1).toLongLong(), match.captured(2)});
    }
    return run;
}

// What a run with no faults must report, in this order.
QStringList wholeCapture(int framesCount, const QString &turn)
{
    QStringList texts;
    for (int picture = 1; picture <= framesCount; ++picture) {
        texts << QStringLiteral("picture %1 of %2 requested").arg(picture).arg(framesCount)
              << QStringLiteral("picture %1 taken").arg(picture);
        if (picture < framesCount) {
            // The turntable repeats the command's body before its verdict.
            texts << QStringLiteral("turn %1 sent: %2").arg(picture).arg(turn)
                  << QStringLiteral("turntable answered turn %1: %2 Success")
                         .arg(picture)
                         .arg(turn.mid(1, turn.size() - 2));
        }
    }
    texts << QStringLiteral("finished: %1 pictures").arg(framesCount);
    return texts;
}

QStringList captureEvents(const HostRun &run)
{
    QStringList texts = run.texts();
    // The opening line restates the settings; the rest is the capture itself.
    if (!texts.isEmpty() && texts.constFirst().startsWith(QLatin1String("capture started")))
        texts.removeFirst();
    return texts;
}

QString diagnostics(const HostRun &run)
{
    return QStringLiteral("exit %1, stdout:\n%2\nstderr:\n%3")
        .arg(run.exitCode)
        .arg(run.out.right(2000), run.err.right(2000));
}

bool realTurntableConnected()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        if (info.manufacturer().startsWith(QLatin1String("STMicroelectronics")))
            return true;
    }
    return false;
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// orbisto-simulator with its log of received commands: the device's side of a
// capture the host runs with --port.
class DeviceLog
{
public:
    explicit DeviceLog(const QStringList &faults = {})
    {
        m_process.start(QStringLiteral(ORBISTO_SIMULATOR_FILE), QStringList{"--log"} + faults);
    }
    ~DeviceLog()
    {
        m_process.kill();
        m_process.waitForFinished(kRunTimeoutMs);
    }
    // The port it serves, from its first line; empty when it did not start.
    QString port()
    {
        if (!QTest::qWaitFor([this] { return lines().size() > 0; }, kRunTimeoutMs))
            return QString();
        return lines().constFirst();
    }
    // Every line so far: the port, then "received #e1." and so on.
    QStringList lines()
    {
        m_out += QString::fromLocal8Bit(m_process.readAllStandardOutput());
        return m_out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QStringList received()
    {
        QStringList frames;
        for (const QString &line : lines()) {
            if (line.startsWith(QLatin1String("received ")))
                frames.append(line.mid(9));
        }
        return frames;
    }

private:
    QProcess m_process;
    QString m_out;
};

bool processGone(const QString &pid)
{
    const QString stat = QStringLiteral("/proc/%1/stat").arg(pid);
    return !QFile::exists(stat) || readLines(stat).value(0).contains(QLatin1String(") Z "));
}

} // namespace

void tst_Host::runsWholeCapture_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("framesCount");
    QTest::addColumn<QString>("turn");
    QTest::addColumn<bool>("snapCommand");
    QTest::newRow("defaults, no display") << QStringList() << 24 << "#p210." << false;
    QTest::newRow("8 frames") << QStringList{"--frames", "8"} << 8 << "#p630." << false;
    QTest::newRow("2 frames, fewest") << QStringList{"--frames=2"} << 2 << "#p2520." << false;
    QTest::newRow("72 frames, most") << QStringList{"--frames", "72"} << 72 << "#p70." << false;
    QTest::newRow("7 frames, not a divisor of 360")
        << QStringList{"--frames", "7"} << 7 << "#p714." << false;
    // As --help says: 7 whole degrees each, 47 turns make 329 degrees.
    QTest::newRow("48 frames, 7 degrees each") << QStringList{"--frames", "48"} << 48 << "#p98."
                                               << false;
    QTest::newRow("zero delays given")
        << QStringList{"--frames", "3", "--post-snap", "0", "--pre-snap", "0"} << 3 << "#p1680."
        << false;
    QTest::newRow("snap command takes every picture")
        << QStringList{"--frames", "6"} << 6 << "#p840." << true;
}

void tst_Host::runsWholeCapture()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, framesCount);
    QFETCH(QString, turn);
    QFETCH(bool, snapCommand);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("pictures.log"));
    if (snapCommand) {
        arguments << QStringLiteral("--snap-command")
                  << QStringLiteral("echo \"$ORBISTO_PICTURE/$ORBISTO_FRAMES\" >> '%1'").arg(log);
    }
    const HostRun run = runHost(arguments);
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitStatus == QProcess::NormalExit && run.exitCode == 0,
             qPrintable(diagnostics(run)));
    QCOMPARE(run.texts().value(0), QStringLiteral("capture started: %1 frames").arg(framesCount));
    QCOMPARE(captureEvents(run), wholeCapture(framesCount, turn));
    const QString total = QString::number(framesCount);
    QVERIFY(run.out.contains(QStringLiteral("picture 1 of %1 requested  [").arg(total)));
    QVERIFY(run.out.contains(QStringLiteral("picture %1 of %1 requested  [%2]  %1/%1")
                                 .arg(total, QString(24, QLatin1Char('#')))));
    for (int i = 1; i < run.events.size(); ++i)
        QVERIFY(run.events.at(i).ms >= run.events.at(i - 1).ms);
    if (snapCommand) {
        QStringList pictures;
        for (int picture = 1; picture <= framesCount; ++picture)
            pictures << QStringLiteral("%1/%2").arg(picture).arg(framesCount);
        QCOMPARE(readLines(log), pictures);
    }
}

void tst_Host::waitsConfiguredDelays_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::newRow("post-snap: picture to turn")
        << QStringList{"--frames", "2", "--post-snap", "1"} << "picture 1 taken"
        << "turn 1 sent: #p2520.";
    QTest::newRow("pre-snap: confirmation to next picture")
        << QStringList{"--frames", "2", "--pre-snap", "1"}
        << "turntable answered turn 1: p2520 Success"
        << "picture 2 of 2 requested";
}

void tst_Host::waitsConfiguredDelays()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, from);
    QFETCH(QString, to);
    // A delay counts towards the time a step may take, so a short timeout must not cut it off.
    const HostRun run = runHost(arguments + QStringList{"--timeout", "1"});
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(diagnostics(run)));
    const QStringList texts = run.texts();
    const int fromIndex = texts.indexOf(from);
    const int toIndex = texts.indexOf(to);
    QVERIFY2(fromIndex >= 0 && toIndex > fromIndex, qPrintable(diagnostics(run)));
    const qint64 gap = run.events.at(toIndex).ms - run.events.at(fromIndex).ms;
    QVERIFY2(gap >= 990 && gap < 5000, qPrintable(QString::number(gap)));
}

void tst_Host::pluginJudgesSettings_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QVariant>("saved");
    const QString range = QStringLiteral("Frames count value must be in the range of 2-72.");
    QTest::newRow("nothing stored: default 24") << QVariant() << QStringList() << 0
                                                << "turn 1 sent: #p210." << QVariant(24);
    QTest::newRow("stored value used") << QVariant(8) << QStringList() << 0
                                       << "turn 1 sent: #p630." << QVariant(8);
    QTest::newRow("option overrides stored value")
        << QVariant(100) << QStringList{"--frames", "12"} << 0 << "turn 1 sent: #p420."
        << QVariant(12);
    // A refused value names where it came from and leaves the file as it was.
    QTest::newRow("stored value refused") << QVariant(100) << QStringList() << 1
                                          << "on getting framesCount=100 from " << QVariant(100);
    QTest::newRow("--frames 1 refused") << QVariant(8) << QStringList{"--frames", "1"} << 1
                                        << "on getting --frames 1: " + range << QVariant(8);
    QTest::newRow("--frames 73 refused") << QVariant(8) << QStringList{"--frames", "73"} << 1
                                         << range << QVariant(8);
    QTest::newRow("--frames read as another count")
        << QVariant(8) << QStringList{"--frames", "65538"} << 1
        << "The plug-in reads --frames 65538 as 2." << QVariant(8);
    QTest::newRow("--frames beyond any integer")
        << QVariant(8) << QStringList{"--frames", "99999999999999999999"} << 1
        << "--frames 99999999999999999999 is too large" << QVariant(8);
    QTest::newRow("--frames beyond any integer, after a space")
        << QVariant(8) << QStringList{"--frames", " 99999999999999999999"} << 1
        << "--frames 99999999999999999999 is too large" << QVariant(8);
    if (!realTurntableConnected()) {
        QTest::newRow("plug-in without turntable")
            << QVariant() << QStringList{"--plugin", QStringLiteral(ORBISTO_PLUGIN_FILE), "--frames", "8"} << 1
            << "orbisto-host: No turntable found: The Orbisto turntable was not detected." << QVariant();
    }
}

void tst_Host::pluginJudgesSettings()
{
    QFETCH(QVariant, stored);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    QFETCH(QVariant, saved);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("host.ini"));
    if (stored.isValid()) {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Orbisto/framesCount"), stored);
    }

    const HostRun run = runHost(arguments + QStringList{"--settings", path});
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == exitCode, qPrintable(diagnostics(run)));
    QVERIFY2((exitCode == 0 ? run.out : run.err).contains(expected), qPrintable(diagnostics(run)));
    if (exitCode != 0)
        QVERIFY(run.events.isEmpty());

    // The file holds only what the plug-in accepted.
    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("Orbisto/framesCount")).toInt(), saved.toInt());
    const QString delay = exitCode == 0 ? QStringLiteral("0") : QString();
    QCOMPARE(settings.value(QStringLiteral("Orbisto/postSnap")).toString(), delay);
    QCOMPARE(settings.value(QStringLiteral("Orbisto/preSnap")).toString(), delay);
}

void tst_Host::unusablePluginIsRefused_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing file, named as given")
        << "no-such-plugin.so" << "Cannot load the plug-in: there is no file no-such-plugin.so";
    QTest::newRow("not a library") << QStringLiteral("notes.so")
                                   << QStringLiteral("Cannot load the plug-in");
    QTest::newRow("library without the entry")
        << QStringLiteral(ORBISTO_QT_CORE_FILE)
        << QStringLiteral("does not export NXSDK_RegisterTurntableController");
    // A bare name is the file in the current folder, not one on the library path.
    if (!realTurntableConnected()) {
        QTest::newRow("bare name, in the current folder")
            << "libOrbisto.so" << "The Orbisto turntable was not detected.";
    }
}

void tst_Host::unusablePluginIsRefused()
{
    QFETCH(QString, library);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile notes(dir.filePath(QStringLiteral("notes.so")));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("not a shared object\n");
    notes.close();
    QVERIFY(QFile::copy(QStringLiteral(ORBISTO_PLUGIN_FILE), dir.filePath("libOrbisto.so")));

    const HostRun run = runHost({QStringLiteral("--plugin"), library}, headlessEnvironment(), {},
                                dir.path());
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == 1, qPrintable(diagnostics(run)));
    QVERIFY2(run.err.contains(message), qPrintable(diagnostics(run)));
    QVERIFY(run.events.isEmpty());
}

void tst_Host::endsFailedCapture_data()
{
    QTest::addColumn<QStringList>("arguments");
    // A shell command that fails picture 2; empty for no snap command.
    QTest::addColumn<QString>("snapFailure");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("lastEvent");
    QTest::addColumn<int>("minimumMs");
    QTest::newRow("snap command exits 3 on picture 2")
        << QStringList{"--frames", "4"} << "exit 3" << 3
        << "The snap command for picture 2 failed with exit status 3"
        << "picture 2 of 4 requested" << 0;
    QTest::newRow("snap command crashes on picture 2")
        << QStringList{"--frames", "4"} << "kill -SEGV $$" << 1
        << "The snap command for picture 2 was killed by SIGSEGV" << "picture 2 of 4 requested"
        << 0;
    QTest::newRow("snap command hangs on picture 2")
        << QStringList{"--frames", "4", "--timeout", "1"}
        << "{ sleep 120 & echo $! > \"$STARTED\"; wait; }" << 1
        << "Stalled: the snap command for picture 2 did not finish within 1 s"
        << "picture 2 of 4 requested" << 1000;
    QTest::newRow("silent turntable")
        << QStringList{"--simulate-fault", "silent", "--timeout", "1"} << QString() << 1
        << "Stalled: picture 2 was never requested within 1 s" << "turn 1 sent: #p210." << 1000;
    // Named as it is seen, long before the timeout the run would otherwise wait out.
    QTest::newRow("turntable refuses a turn")
        << QStringList{"--simulate-fault", "error", "--timeout", "60", "--frames", "4"} << QString()
        << 1 << "The turntable refused turn 1: Error: motor blocked"
        << "turntable answered turn 1: Error: motor blocked" << 0;
    QTest::newRow("silent turntable after a post-snap delay")
        << QStringList{"--simulate-fault=silent", "--timeout=1", "--post-snap=1"} << QString() << 1
        << "Stalled: picture 2 was never requested within 2 s" << "turn 1 sent: #p210." << 2000;
}

void tst_Host::endsFailedCapture()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, snapFailure);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, lastEvent);
    QFETCH(int, minimumMs);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("pictures.log"));
    // The pid of a process the command started, if it starts one.
    const QString started = dir.filePath(QStringLiteral("started"));
    if (!snapFailure.isEmpty()) {
        arguments << QStringLiteral("--snap-command")
                  << QStringLiteral("echo \"$ORBISTO_PICTURE\" >> '%1'; STARTED='%2'; "
                                    "[ \"$ORBISTO_PICTURE\" -lt 2 ] || %3")
                         .arg(log, started, snapFailure);
    }
    const HostRun run = runHost(arguments);
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitStatus == QProcess::NormalExit && run.exitCode == exitCode,
             qPrintable(diagnostics(run)));
    QVERIFY2(run.err.contains(message), qPrintable(diagnostics(run)));
    // Nothing after the failure: the failed picture is neither reported nor followed by a turn.
    const QStringList texts = captureEvents(run);
    QVERIFY2(!texts.isEmpty(), qPrintable(diagnostics(run)));
    QCOMPARE(texts.constLast(), lastEvent);
    if (!snapFailure.isEmpty()) {
        QCOMPARE(readLines(log), (QStringList{"1", "2"}));
        // Giving up on the command also stopped what it started: its process is
        // gone, or a zombie waiting to be reaped.
        const QStringList pids = readLines(started);
        QCOMPARE(pids.size(), snapFailure.contains(QLatin1String("STARTED")) ? 1 : 0);
        for (const QString &pid : pids) {
            const QString stat = QStringLiteral("/proc/%1/stat").arg(pid);
            QTRY_VERIFY(!QFile::exists(stat) || readLines(stat).value(0).contains(QLatin1String(") Z ")));
        }
    }
    // The host gives a step the whole timeout, never less; a hung command is not waited for.
    QVERIFY2(run.elapsedMs >= minimumMs && run.elapsedMs < 30000,
             qPrintable(QString::number(run.elapsedMs)));
}

void tst_Host::zeroTimeoutWaitsForever()
{
    QProcess process;
    process.setProcessEnvironment(headlessEnvironment());
    process.start(QStringLiteral(ORBISTO_HOST_FILE),
                  {"--simulate-fault", "silent", "--timeout", "0"});
    QVERIFY(process.waitForStarted(kRunTimeoutMs));
    QByteArray out;
    QVERIFY(QTest::qWaitFor([&] {
        out += process.readAllStandardOutput();
        return out.contains("turn 1 sent");
    }, kRunTimeoutMs));
    // Well past what any other timeout would allow, it is still waiting.
    QVERIFY(!process.waitForFinished(1500));
    QCOMPARE(process.state(), QProcess::Running);
    process.kill();
    QVERIFY(process.waitForFinished(kRunTimeoutMs));
}

void tst_Host::portRunsCapture_data()
{
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::addColumn<int>("exitCode");
    // %1 is the port.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("received");
    QStringList whole{"#e1."};
    for (int turn = 1; turn < 8; ++turn)
        whole << "#p630.";
    // The device got the whole capture and the goodbye.
    QTest::newRow("whole capture") << QStringList() << 0 << "finished: 8 pictures" << (whole << "#e0.");
    // The cable is pulled while the host waits for the first turn's answer; it
    // says so at once rather than at its timeout, and no goodbye can arrive.
    QTest::newRow("cable pulled mid-capture")
        << QStringList{"--silent", "--hang-up-after", "1"} << 1
        << "The port %1 left the system, as a port does when its cable is pulled"
        << QStringList{"#e1.", "#p630."};
}

void tst_Host::portRunsCapture()
{
    QFETCH(QStringList, deviceOptions);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QStringList, received);
    DeviceLog device(deviceOptions);
    const QString port = device.port();
    QVERIFY(!port.isEmpty());
    const HostRun run = runHost({"--port", port, "--frames", "8", "--timeout", "60"});
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == exitCode, qPrintable(diagnostics(run)));
    QVERIFY2((run.out + run.err).contains(message.replace(QLatin1String("%1"), port)), qPrintable(diagnostics(run)));
    QVERIFY2(!run.err.contains(QLatin1String("Stalled")), qPrintable(diagnostics(run)));
    QVERIFY2(run.elapsedMs < 30000, qPrintable(QString::number(run.elapsedMs)));
    QTRY_COMPARE(device.received(), received);
    // The host learnt nothing from the line: no turn lines are printed.
    QVERIFY(!run.out.contains(QLatin1String("turn 1 sent")));
}

void tst_Host::signalEndsCaptureCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("hangingSnapCommand");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("gui");
    // Milliseconds before the same signal again; -1 sends it once.
    QTest::addColumn<int>("againAfterMs");
    QTest::newRow("Ctrl-C during a snap command") << int(SIGINT) << 130 << true << "SIGINT" << false << -1;
    QTest::newRow("SIGTERM during a snap command") << int(SIGTERM) << 143 << true << "SIGTERM" << false << -1;
    QTest::newRow("SIGHUP while the table turns") << int(SIGHUP) << 129 << false << "SIGHUP" << false << -1;
    QTest::newRow("SIGTERM to the window") << int(SIGTERM) << 143 << false << "SIGTERM" << true << -1;
    // The ending is bounded: a second Ctrl-C, even mid-ending, waits for the goodbye.
    QTest::newRow("two Ctrl-Cs 1 ms apart") << int(SIGINT) << 130 << false << "SIGINT" << false << 1;
    QTest::newRow("two Ctrl-Cs 50 ms apart") << int(SIGINT) << 130 << false << "SIGINT" << false << 50;
}

void tst_Host::signalEndsCaptureCleanly()
{
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    QFETCH(bool, hangingSnapCommand);
    QFETCH(QString, name);
    QFETCH(bool, gui);
    QFETCH(int, againAfterMs);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString started = dir.filePath(QStringLiteral("started"));
    // A silent table never confirms its turn, so the capture is mid-turn.
    DeviceLog device(hangingSnapCommand ? QStringList() : QStringList{"--silent"});
    const QString port = device.port();
    QVERIFY(!port.isEmpty());
    QStringList arguments{"--port", port, "--frames", "4", "--timeout", "0"};
    if (hangingSnapCommand) {
        // Picture 2 hangs in a process the command started, as a camera client might.
        arguments << "--snap-command"
                  << QStringLiteral("[ \"$ORBISTO_PICTURE\" -lt 2 ] || "
                                    "{ sleep 120 & echo $! > '%1.tmp'; mv '%1.tmp' '%1'; wait; }")
                         .arg(started);
    }
    QProcessEnvironment environment = headlessEnvironment();
    if (gui) {
        arguments << "--gui";
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    QProcess host;
    host.setProcessEnvironment(environment);
    host.start(QStringLiteral(ORBISTO_HOST_FILE), arguments);
    QVERIFY(host.waitForStarted(kRunTimeoutMs));
    // The window's settings widget asks the device for its identification.
    if (gui)
        QTRY_VERIFY_WITH_TIMEOUT(device.received().contains(QLatin1String("#i1.")), kRunTimeoutMs);
    else if (hangingSnapCommand)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), kRunTimeoutMs);
    else
        QTRY_VERIFY_WITH_TIMEOUT(device.received().contains(QLatin1String("#p1260.")), kRunTimeoutMs);

    QCOMPARE(::kill(pid_t(host.processId()), signalNumber), 0);
    if (againAfterMs >= 0) {
        QTest::qSleep(againAfterMs);
        ::kill(pid_t(host.processId()), signalNumber);
    }
    QVERIFY(host.waitForFinished(kRunTimeoutMs));
    const QString err = QString::fromLocal8Bit(host.readAllStandardError());
    QVERIFY2(!err.contains(QLatin1String("Sanitizer")) && !err.contains(QLatin1String("runtime error:")),
             qPrintable(err));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), exitCode);
    // The command line says why it ended; the window just closes.
    if (!gui)
        QVERIFY2(err.contains(QStringLiteral("Interrupted by %1").arg(name)), qPrintable(err));
    // The controller was destroyed: the table got its disable command last.
    QTRY_COMPARE(device.received().value(device.received().size() - 1), QStringLiteral("#e0."));
    if (hangingSnapCommand) {
        const QString pid = readLines(started).value(0);
        QVERIFY(!pid.isEmpty());
        QTRY_VERIFY(processGone(pid));
    }
}

void tst_Host::rejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("unknown option") << QStringList{"--speed", "3"} << "speed";
    QTest::newRow("frames not a number") << QStringList{"--frames", "many"} << "--frames";
    QTest::newRow("frames a fraction") << QStringList{"--frames", "2.5"} << "--frames";
    QTest::newRow("negative frames") << QStringList{"--frames", "-5"} << "above 0";
    QTest::newRow("zero frames") << QStringList{"--frames", "0"} << "above 0";
    QTest::newRow("screenshot in a format Qt cannot write")
        << QStringList{"--gui", "--screenshot", "window.xyz"} << "'xyz'";
    QTest::newRow("screenshot without a suffix")
        << QStringList{"--gui", "--screenshot", "window"} << "png";
    QTest::newRow("frames missing its value") << QStringList{"--frames"} << "frames";
    QTest::newRow("negative timeout") << QStringList{"--timeout", "-1"} << "--timeout";
    QTest::newRow("timeout not a number") << QStringList{"--timeout", "soon"} << "--timeout";
    QTest::newRow("timeout beyond its range")
        << QStringList{"--timeout", "2147483648"} << "from 0 to 2147483647, not '2147483648'";
    QTest::newRow("negative post-snap") << QStringList{"--post-snap", "-2"} << "--post-snap";
    QTest::newRow("pre-snap not a number") << QStringList{"--pre-snap", "x"} << "--pre-snap";
    QTest::newRow("unknown fault") << QStringList{"--simulate-fault", "fire"} << "fire";
    QTest::newRow("fault with a plug-in")
        << QStringList{"--simulate-fault", "silent", "--plugin", ORBISTO_PLUGIN_FILE} << "--plugin";
    QTest::newRow("port with a plug-in")
        << QStringList{"--port", "/dev/null", "--plugin", ORBISTO_PLUGIN_FILE} << "--plugin";
    QTest::newRow("fault with a port")
        << QStringList{"--simulate-fault", "error", "--port", "/dev/null"} << "--port";
    QTest::newRow("screenshot without window") << QStringList{"--screenshot", "x.png"}
                                               << "--gui";
    QTest::newRow("stray argument") << QStringList{"capture"} << "capture";
    QTest::newRow("flag given a value") << QStringList{"--gui=yes"} << "gui";
    QTest::newRow("list-ports with another option")
        << QStringList{"--list-ports", "--frames", "3"} << "--list-ports";
}

void tst_Host::rejectsBadOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, mentions);
    const HostRun run = runHost(arguments);
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == 2, qPrintable(diagnostics(run)));
    QVERIFY2(run.out.isEmpty(), qPrintable(diagnostics(run)));
    const QStringList errorLines = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(errorLines.size(), 1);
    QVERIFY2(errorLines.constFirst().contains(mentions), qPrintable(errorLines.constFirst()));
}

void tst_Host::settingsFileProblemIsNamed_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("message");
    QTest::newRow("folder missing") << "missing/host.ini"
                                    << "The folder %1/missing for the settings file does not exist";
    QTest::newRow("the file is a folder")
        << "folder" << "The settings file %1/folder is a folder";
    // Not even root may make files in /sys.
    QTest::newRow("read-only file system")
        << "/sys/orbisto-host.ini" << "Cannot write the settings file /sys/orbisto-host.ini: ";
}

void tst_Host::settingsFileProblemIsNamed()
{
    QFETCH(QString, file);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    const QString path = QDir::isAbsolutePath(file) ? file : dir.filePath(file);
    const HostRun run = runHost({"--settings", path, "--frames", "2"});
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == 1, qPrintable(diagnostics(run)));
    const QString expected = message.contains(QLatin1String("%1")) ? message.arg(dir.path()) : message;
    QVERIFY2(run.err.contains(expected), qPrintable(diagnostics(run)));
    // A reason follows the colon.
    const QString line = run.err.split(QLatin1Char('\n')).value(0);
    QVERIFY2(!line.endsWith(QLatin1String(": ")), qPrintable(line));
    QVERIFY(run.events.isEmpty());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing"))));
}

void tst_Host::settingsFileIsLeftAsItWas_data()
{
    // What is at the path: S_IFLNK is a link to nothing.
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    // Another user's file, run with --frames 4 as root: what it holds afterwards.
    QTest::addColumn<QByteArray>("after");
    const QByteArray good = "[Orbisto]\nframesCount=8\npostSnap=0\npreSnap=0\n";
    QByteArray utf16 = "\xFF\xFE";
    for (const char byte : good)
        utf16 += QByteArray(1, byte) + '\0';
    const int file = S_IFREG | 0644;
    QTest::newRow("device") << int(S_IFCHR) << QByteArray() << 0700 << 1 << "settings is a character device" << QByteArray();
    QTest::newRow("FIFO") << int(S_IFIFO) << QByteArray() << 0700 << 1 << "settings is a FIFO" << QByteArray();
    QTest::newRow("folder") << int(S_IFDIR) << QByteArray() << 0700 << 1 << "settings is a folder" << QByteArray();
    QTest::newRow("link to nothing") << int(S_IFLNK) << QByteArray() << 0700 << 1
                                     << "settings is a symbolic link to %1/missing.ini, which does not exist" << QByteArray();
    QTest::newRow("other text") << file << QByteArray("MIT License\n\nCopyright\n") << 0700 << 1
                                << "line 1 is 'MIT License'" << QByteArray();
    QTest::newRow("foreign INI") << file << QByteArray("[Orbisto]\nframesCount=8\nmodel=Nikon D850 ; main body\n")
                                 << 0700 << 1 << "line 3 is 'model=Nikon D850 ; main body'" << QByteArray();
    QTest::newRow("comment") << file << QByteArray("[Orbisto]\n; the studio's table\nframesCount=8\n") << 0700
                             << 1 << "line 2 is '; the studio's table'" << QByteArray();
    QTest::newRow("blank line") << file << QByteArray(good).replace("8\n", "8\n\n") << 0700 << 1 << "line 3 is blank"
                                << QByteArray();
    QTest::newRow("UTF-16 text") << file << utf16 << 0700 << 1 << "line 1 holds a NUL byte" << QByteArray();
    QTest::newRow("zero-filled") << file << QByteArray(1 << 20, '\0') << 0700 << 1
                                 << "it holds 1048576 bytes, more than the host ever writes" << QByteArray();
    QTest::newRow("NUL inside a line") << file << QByteArray("[Orbisto]\nframesCount=4\0 secret\n", 32) << 0700
                                       << 1 << "line 2 holds a NUL byte" << QByteArray();
    QTest::newRow("byte order mark") << file << "\xEF\xBB\xBF" + good << 0700 << 1
                                     << "it starts with a byte order mark" << QByteArray();
    QTest::newRow("CR LF") << file << QByteArray(good).replace("\n", "\r\n") << 0700 << 1
                           << "line 1 ends in a carriage return" << QByteArray();
    QTest::newRow("read-only, good values") << int(S_IFREG | 0444) << good << 0700 << 0 << "finished: 8 pictures"
                                            << QByteArray();
    QTest::newRow("unreadable") << int(S_IFREG) << good << 0700 << 1 << "Cannot read the settings file" << QByteArray();
    QTest::newRow("folder without search permission")
        << file << good << 0600 << 1 << "Cannot read the settings file %1/settings: Permission denied" << QByteArray();
    QTest::newRow("another user's, written by root") << int(S_IFREG | 0600) << QByteArray("[Orbisto]\nframesCount=8\n")
                                                      << 0700 << 0 << "finished: 4 pictures"
                                                      << QByteArray(good).replace('8', '4');
}

void tst_Host::settingsFileIsLeftAsItWas()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, content);
    QFETCH(int, folderMode);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QByteArray, after);
    const bool root = ::geteuid() == 0;
    if ((S_ISCHR(mode) || !after.isEmpty()) && !root)
        QSKIP("only root may make a device node or write a file another user owns");
    const uid_t nobody = 65534;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray folder = QFile::encodeName(dir.filePath(QStringLiteral("folder")));
    const QByteArray path = folder + "/settings";
    QCOMPARE(::mkdir(folder, 0700), 0);
    int made = 0;
    if (S_ISLNK(mode))
        made = ::symlink("missing.ini", path);
    else if (S_ISDIR(mode))
        made = ::mkdir(path, 0777);
    else if (!S_ISREG(mode))
        made = ::mknod(path, (mode & S_IFMT) | 0600, makedev(1, 3));
    QCOMPARE(made, 0);
    if (S_ISREG(mode)) {
        QFile settings(QFile::decodeName(path));
        QVERIFY(settings.open(QIODevice::WriteOnly) && settings.write(content) == content.size());
        settings.close();
        QCOMPARE(::chmod(path, mode & 0777), 0);
    }
    if (!after.isEmpty())
        QCOMPARE(::chown(path, nobody, nobody), 0);
    // Any write shows in the modification time, a new copy in the inode.
    const auto snapshot = [&path] {
        struct stat status = {};
        ::lstat(path, &status);
        return QList<qint64>{status.st_mode, qint64(status.st_ino), status.st_size, status.st_uid,
                             status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
    };
    // Taken while the folder may still be searched: only root looks into one that may not.
    const QList<qint64> before = snapshot();
    QCOMPARE(::chmod(folder, mode_t(folderMode)), 0);
    // Root may read and write any file: the host then runs without that power,
    // but for another user's file, which only root may write as that user's.
    QStringList launcher;
    if (root && after.isEmpty())
        launcher = QStringList{"setpriv", "--inh-caps=-all", "--bounding-set=-all"};
    QStringList arguments{"--settings", QFile::decodeName(path)};
    if (!after.isEmpty())
        arguments << "--frames" << "4";
    const HostRun run = runHost(arguments, headlessEnvironment(), launcher);
    VERIFY_NO_SANITIZER_REPORT(run);
    QCOMPARE(::chmod(folder, 0700), 0);
    QVERIFY2(run.finished && run.exitCode == exitCode, qPrintable(diagnostics(run)));
    QVERIFY2((exitCode == 0 ? run.out : run.err).contains(QString(message).replace(QLatin1String("%1"), QFile::decodeName(folder))),
             qPrintable(diagnostics(run)));
    if (after.isEmpty()) {
        QCOMPARE(snapshot(), before);
    } else {
        const QList<qint64> now = snapshot();
        // A new copy, with the user's owner, group and mode.
        QCOMPARE(now.at(0), qint64(S_IFREG | 0600));
        QVERIFY(now.at(1) != before.at(1));
        QCOMPARE(now.at(3), qint64(nobody));
        struct stat status = {};
        QCOMPARE(::lstat(path, &status), 0);
        QCOMPARE(status.st_gid, gid_t(nobody));
    }
    QFile settings(QFile::decodeName(path));
    if (S_ISREG(mode) && (root || settings.permissions() & QFile::ReadOwner)) {
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QCOMPARE(settings.readAll(), after.isEmpty() ? content : after);
    }
}

void tst_Host::settingsFileIsWrittenOnlyWhereSafe_data()
{
    // What is done to a folder holding a good file "settings" before root runs
    // the host with --frames 4; in the message %1 is that folder, %2 the one above.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString finished = QStringLiteral("finished: 4 pictures");
    QTest::newRow("ACL and extended attribute, kept") << "acl" << 0 << finished;
    QTest::newRow("ACL and extended attribute, not kept")
        << "acl, no attributes" << 1
        << "a new copy cannot keep its extended attributes (system.posix_acl_access, user.studio) exactly";
    QTest::newRow("file system that cannot swap")
        << "no exchange" << 1 << "the file system of its folder %1 cannot swap two files in one step";
    QTest::newRow("file system that cannot swap, no file yet") << "no exchange, new file" << 0 << finished;
    QTest::newRow("own file in a sticky folder") << "sticky" << 0 << finished;
    QTest::newRow("group of root alone may write") << "root group" << 0 << finished;
    QTest::newRow("second hard link") << "hard link" << 1 << "it has 2 hard links";
    QTest::newRow("owner may not write, even for root") << "read-only" << 1 << "its owner may not write it (mode 0444)";
    QTest::newRow("folder of another user")
        << "user folder" << 1 << "the folder %1 belongs to user nobody (65534); run the host as that user";
    QTest::newRow("parent folder of another user")
        << "user parent" << 1 << "the folder %2 belongs to user nobody (65534)";
    QTest::newRow("folder everyone may write") << "open" << 1 << "everyone may write in the folder %1";
    QTest::newRow("another user's file in a sticky folder")
        << "sticky, user file" << 1 << "everyone may write in the folder %1, and settings in it belongs to user nobody";
    QTest::newRow("group with another user may write")
        << "nogroup" << 1 << "group nogroup (65534) may write in the folder %1";
    QTest::newRow("link into another user's folder")
        << "link" << 1 << "the folder %2/user belongs to user nobody (65534)";
}

void tst_Host::settingsFileIsWrittenOnlyWhereSafe()
{
    QFETCH(QString, setup);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    if (::geteuid() != 0)
        QSKIP("only root may give a folder or file to another user, and only root's host may be refused one");
    const uid_t nobody = 65534;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(::chmod(QFile::encodeName(dir.path()), 0755), 0);
    const QString folderPath = dir.filePath(setup == QLatin1String("user parent") ? "user/folder" : "folder");
    const QByteArray folder = QFile::encodeName(folderPath);
    const QByteArray path = folder + "/settings";
    QVERIFY(QDir().mkpath(folderPath));
    const QByteArray good = "[Orbisto]\nframesCount=8\npostSnap=0\npreSnap=0\n";
    QFile settings(QFile::decodeName(path));
    QVERIFY(settings.open(QIODevice::WriteOnly) && settings.write(good) == good.size());
    settings.close();
    QCOMPARE(::chmod(path, setup == QLatin1String("read-only") ? 0444 : 0640), 0);
    int made = 0;
    const bool newFile = setup.endsWith(QLatin1String("new file"));
    if (newFile) {
        made = ::unlink(path);
    } else if (setup.startsWith(QLatin1String("acl"))) {
        // An ACL (version 2; tag, permissions, id) letting user nobody read, and one of the user's own attributes.
        QByteArray acl;
        const auto add = [&acl](quint16 tag, quint16 permissions, quint32 id) {
            for (const quint32 value : {quint32(tag | permissions << 16), id})
                acl.append(reinterpret_cast<const char *>(&value), sizeof value);
        };
        const quint32 version = 2;
        acl.append(reinterpret_cast<const char *>(&version), sizeof version);
        add(0x01, 6, quint32(-1));
        add(0x02, 4, nobody);
        add(0x04, 4, quint32(-1));
        add(0x10, 4, quint32(-1));
        add(0x20, 0, quint32(-1));
        made = ::setxattr(path, "system.posix_acl_access", acl.constData(), size_t(acl.size()), 0)
            | ::setxattr(path, "user.studio", "north", 5, 0);
    } else if (setup == QLatin1String("hard link")) {
        made = ::link(path, folder + "/other");
    } else if (setup.startsWith(QLatin1String("user"))) {
        made = ::chown(setup == QLatin1String("user parent") ? folder + "/.." : folder, nobody, nobody);
    } else if (setup == QLatin1String("open")) {
        made = ::chmod(folder, 0777);
    } else if (setup.startsWith(QLatin1String("sticky"))) {
        made = ::chmod(folder, 01777) | (setup.endsWith(QLatin1String("file")) ? ::chown(path, nobody, nobody) : 0);
    } else if (setup.endsWith(QLatin1String("group"))) {
        made = ::chown(folder, 0, setup == QLatin1String("nogroup") ? nobody : 0) | ::chmod(folder, 0770);
    } else if (setup == QLatin1String("link")) {
        const QByteArray user = folder + "/../user";
        made = ::mkdir(user, 0755) | ::rename(path, user + "/settings.ini") | ::symlink("../user/settings.ini", path)
            | ::chown(user, nobody, nobody);
    }
    QCOMPARE(made, 0);
    // What a write shows: mode, inode, owner, group, time, size, attributes; and any new name in the folder.
    const auto snapshot = [&path, &folder] {
        struct stat status = {};
        ::stat(path, &status);
        QStringList facts{QString::number(status.st_mode, 8), QString::number(status.st_ino),
                          QString::number(status.st_uid), QString::number(status.st_gid),
                          QString::number(status.st_mtim.tv_nsec), QString::number(status.st_size)};
        char names[1024] = {};
        const ssize_t listed = ::listxattr(path, names, sizeof names);
        const QList<QByteArray> attributes = QByteArray(names, int(qMax<ssize_t>(listed, 0))).split('\0');
        for (const QByteArray &name : attributes) {
            char value[256] = {};
            const ssize_t length = name.isEmpty() ? 0 : ::getxattr(path, name.constData(), value, sizeof value);
            facts << QString::fromLatin1(name + '=' + QByteArray(value, int(qMax<ssize_t>(length, 0))).toHex());
        }
        return facts + QDir(QFile::decodeName(folder)).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
    };
    const QStringList before = snapshot();
    // What no file system here lacks is refused to the host by its system calls.
    QStringList launcher;
    if (setup.startsWith(QLatin1String("no exchange")))
        launcher = QStringList{ORBISTO_REFUSE_CALLS_FILE, "--no-exchange"};
    else if (setup.endsWith(QLatin1String("no attributes")))
        launcher = QStringList{ORBISTO_REFUSE_CALLS_FILE, "--no-attributes"};
    const HostRun run = runHost({"--settings", QFile::decodeName(path), "--frames", "4"}, headlessEnvironment(), launcher);
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == exitCode, qPrintable(diagnostics(run)));
    message.replace(QLatin1String("%1"), QFile::decodeName(folder)).replace(QLatin1String("%2"), QFileInfo(folderPath).path());
    QVERIFY2((exitCode == 0 ? run.out : run.err).contains(message), qPrintable(diagnostics(run)));
    const QStringList after = snapshot();
    QVERIFY(settings.open(QIODevice::ReadOnly));
    if (exitCode != 0) {
        QCOMPARE(after, before);
        QCOMPARE(settings.readAll(), good);
    } else if (newFile) {
        // Linked in where nothing can swap, and its temporary name gone.
        QCOMPARE(after.mid(6), before.mid(6) + QStringList{"settings"});
        QVERIFY(settings.readAll().contains("framesCount=4"));
    } else {
        // A new copy (inode, time) with the same mode, owner, group, attributes and names around it.
        QCOMPARE(after.at(0), before.at(0));
        QVERIFY(after.at(1) != before.at(1));
        QCOMPARE(after.mid(2, 2), before.mid(2, 2));
        QCOMPARE(after.mid(6), before.mid(6));
        QCOMPARE(settings.readAll(), QByteArray(good).replace('8', '4'));
    }
}

void tst_Host::screenshotFailureSaysWhy()
{
    const HostRun run = runHost({"--gui", "--screenshot", "/nonexistent/window.png"});
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.exitCode == 1 && run.err.contains("Cannot write the screenshot /nonexistent/window.png: ")
                 && run.err.contains("No such file or directory"), qPrintable(diagnostics(run)));
}

void tst_Host::helpNamesEveryOption()
{
    const HostRun run = runHost({QStringLiteral("--help")});
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(diagnostics(run)));
    const QStringList options{"--frames",  "--post-snap", "--pre-snap",       "--timeout",
                              "--plugin",  "--snap-command", "--settings", "--simulate-fault",
                              "--gui",     "--screenshot", "--help", "--port", "--list-ports"};
    for (const QString &option : options)
        QVERIFY2(run.out.contains(option), qPrintable(option));
    // What a photographer needs besides: the counts that work, and a real camera.
    for (const char *text : {"2 to 72", "divisors of 360", "31-degree gap", "gphoto2",
                             "ORBISTO_PICTURE", "ORBISTO_FRAMES", "130, 143 or 129"}) {
        QVERIFY2(run.out.simplified().contains(QLatin1String(text)), text);
    }
    QVERIFY(run.events.isEmpty());
}

void tst_Host::guiSavesScreenshot_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("simulated turntable, PNG") << QStringList() << "window.png" << QByteArray("png");
    QTest::newRow("plug-in without turntable")
        << QStringList{"--plugin", QStringLiteral(ORBISTO_PLUGIN_FILE)} << "window.png"
        << QByteArray("png");
    QTest::newRow("JPEG, from the suffix") << QStringList() << "window.jpg" << QByteArray("jpeg");
    QTest::newRow("BMP, suffix in capitals") << QStringList() << "window.BMP" << QByteArray("bmp");
}

void tst_Host::guiSavesScreenshot()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, file);
    QFETCH(QByteArray, format);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(file);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Without it Qt warns on every start.
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));

    const HostRun run =
        runHost(arguments + QStringList{"--gui", "--screenshot", path}, environment);
    VERIFY_NO_SANITIZER_REPORT(run);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(diagnostics(run)));
    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY(image.width() > 0 && image.height() > 0);
    // The window prints nothing on the command line; its log is in the window.
    QVERIFY(run.events.isEmpty());
    // Not even Qt's noise about the offscreen platform or the session.
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
}

QTEST_MAIN(tst_Host)
#include "tst_host.moc"
