#include "HostOptions.h"
#include "HostSetup.h"
#include "HostWindow.h"
#include "SimulatedTurntable.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>

// The reference host's window, driven as a user does, on the simulated turntable.
class tst_HostWindow : public QObject
{
    Q_OBJECT

private slots:
    void startRunsWhatWindowShows_data();
    void startRunsWhatWindowShows();
    void cancelLetsGoOfController_data();
    void cancelLetsGoOfController();
    void closingMidCaptureAsksFirst();
    void captureLocksSettings();
    void failedCaptureSaysWhatHostKnows_data();
    void failedCaptureSaysWhatHostKnows();
    void saveChecksFileAgain_data();
    void saveChecksFileAgain();
    void noTurntableShowsHint();
    void logWrapsLongLines();
};

namespace {

const int kWaitMs = 20000;

// A set-up and its window, shown.
struct Rig
{
    HostSetup setup;
    std::unique_ptr<HostWindow> window;

    bool open(const HostOptions &options)
    {
        if (!setup.open(options))
            return false;
        window = std::make_unique<HostWindow>(&setup);
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }
    template<typename T>
    T *child(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    QString log() const { return child<QPlainTextEdit>("eventLog")->toPlainText(); }
    bool capturing() const { return child<QPushButton>("cancelCaptureButton")->isEnabled(); }
    // Opens the window on a table that never confirms a turn, starts a capture
    // and waits until its first turn has gone out.
    bool startStalledCapture(int timeoutSeconds)
    {
        HostOptions options;
        options.fault = HostOptions::Fault::Silent;
        options.timeoutSeconds = timeoutSeconds;
        if (!open(options))
            return false;
        QTest::mouseClick(child<QPushButton>("startCaptureButton"), Qt::LeftButton);
        return QTest::qWaitFor([this] { return log().contains(QLatin1String("turn 1 sent")); }, kWaitMs);
    }
};

bool processGone(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
}

QString firstLine(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readLine()).trimmed() : QString();
}

} // namespace

void tst_HostWindow::startRunsWhatWindowShows_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("runs");
    QTest::addColumn<QString>("logged");
    QTest::newRow("4 typed, not saved: 4 pictures") << "4" << true << "finished: 4 pictures";
    QTest::newRow("100 typed: the plug-in's refusal, no capture")
        << "100" << false << "Frames count value must be in the range of 2-72.";
}

void tst_HostWindow::startRunsWhatWindowShows()
{
    QFETCH(QString, typed);
    QFETCH(bool, runs);
    QFETCH(QString, logged);
    Rig rig;
    QVERIFY(rig.open(HostOptions()));
    auto *frames = rig.child<QLineEdit>("framesCountEdit");
    QVERIFY(frames);
    QCOMPARE(frames->text(), QStringLiteral("24"));
    frames->selectAll();
    QTest::keyClicks(frames, typed);
    QCOMPARE(frames->text(), typed);

    QTest::mouseClick(rig.child<QPushButton>("startCaptureButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(logged), kWaitMs);
    auto *progress = rig.child<QProgressBar>("captureProgress");
    if (runs) {
        QVERIFY2(rig.log().contains(QLatin1String("capture started: 4 frames")), qPrintable(rig.log()));
        QCOMPARE(progress->maximum(), 4);
        QCOMPARE(progress->value(), 4);
        // The window's log leaves the progress to the bar.
        QVERIFY2(!rig.log().contains(QLatin1String("[#")), qPrintable(rig.log()));
        QVERIFY(!rig.log().contains(QLatin1String("4/4")));
    } else {
        QVERIFY(!rig.log().contains(QLatin1String("capture started")));
        QCOMPARE(progress->value(), 0);
    }
    QVERIFY(!rig.capturing());
}

void tst_HostWindow::cancelLetsGoOfController_data()
{
    QTest::addColumn<bool>("snapCommandRunning");
    QTest::newRow("snap command running") << true;
    QTest::newRow("post-snap delay pending") << false;
}

void tst_HostWindow::cancelLetsGoOfController()
{
    QFETCH(bool, snapCommandRunning);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString started = dir.filePath(QStringLiteral("started"));
    HostOptions options;
    options.frames = 3;
    // Picture 2 of the first capture hangs in a process the command started,
    // or the turn after picture 1 waits for its post-snap delay.
    if (snapCommandRunning) {
        options.snapCommand = QStringLiteral("[ \"$ORBISTO_PICTURE\" -lt 2 ] || [ -e '%1' ] || "
                                             "{ sleep 120 & echo $! > '%1.tmp'; mv '%1.tmp' '%1'; wait; }")
                                  .arg(started);
    } else {
        options.postDelaySeconds = 1;
    }
    Rig rig;
    QVERIFY(rig.open(options));
    auto *start = rig.child<QPushButton>("startCaptureButton");
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(snapCommandRunning ? QFile::exists(started)
                                                : rig.log().contains(QLatin1String("picture 1 taken")),
                             kWaitMs);
    QVERIFY(rig.capturing());
    QVERIFY(!start->isEnabled());

    QTest::mouseClick(rig.child<QPushButton>("cancelCaptureButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QLatin1String("a new controller took its place")), kWaitMs);
    QVERIFY(start->isEnabled() && !rig.capturing());
    QVERIFY2(rig.log().contains(QLatin1String("Capture cancelled with 1 of 3 pictures taken.")), qPrintable(rig.log()));
    QVERIFY(!rig.log().contains(QLatin1String("picture 2 taken")));
    QVERIFY(!rig.log().contains(QLatin1String("Capture failed")));
    QVERIFY(!rig.window->findChild<QMessageBox *>());
    // The new controller's settings widget took the old one's place, its rotation panel usable.
    auto *rotate = rig.child<QPushButton>("continousRotateStartButton");
    QVERIFY(rotate && rotate->isEnabled());
    if (snapCommandRunning) {
        const QString pid = firstLine(started);
        QVERIFY(!pid.isEmpty());
        QTRY_VERIFY(processGone(pid));
    } else {
        // The cancelled capture's post-snap delay expires: no turn follows.
        QVERIFY(!QTest::qWaitFor([&rig] { return rig.log().contains(QLatin1String(" sent: #p")); }, 1500));
    }

    // The next capture runs its whole length, and the cancelled one turns the
    // table no more, though its delay expires meanwhile.
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QLatin1String("finished: 3 pictures")), kWaitMs);
    const QString log = rig.log();
    QCOMPARE(log.mid(log.indexOf(QLatin1String("Capture cancelled"))).count(QLatin1String(" sent: #p")), 2);
    QVERIFY2(!log.mid(log.indexOf(QLatin1String("finished"))).contains(QLatin1String(" sent: #p")), qPrintable(log));
}

void tst_HostWindow::closingMidCaptureAsksFirst()
{
    // Without a timeout the stalled capture keeps running.
    Rig rig;
    QVERIFY(rig.startStalledCapture(0));

    const auto answer = [&rig](QMessageBox::StandardButton button) {
        QVERIFY(!rig.window->close());
        QVERIFY(rig.window->isVisible());
        QMessageBox *box = nullptr;
        QTRY_VERIFY((box = rig.child<QMessageBox>("confirmCloseBox")) && box->isVisible());
        QTest::mouseClick(box->button(button), Qt::LeftButton);
    };
    answer(QMessageBox::Cancel);
    QTRY_VERIFY(!rig.child<QMessageBox>("confirmCloseBox"));
    QVERIFY(rig.window->isVisible());
    QVERIFY(rig.capturing());

    answer(QMessageBox::Close);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->isVisible(), kWaitMs);
    QVERIFY(!rig.capturing());
    QVERIFY2(rig.log().contains(QLatin1String("Capture cancelled")), qPrintable(rig.log()));
}

void tst_HostWindow::captureLocksSettings()
{
    // The capture stalls after picture 1 and times out.
    Rig rig;
    QVERIFY(rig.startStalledCapture(1));
    QVERIFY(!rig.child<QLineEdit>("framesCountEdit")->isEnabled());
    QVERIFY(!rig.window->close());
    QTRY_VERIFY(rig.child<QMessageBox>("confirmCloseBox") && rig.child<QMessageBox>("confirmCloseBox")->isVisible());

    // The stall ends the capture, and the question with it; the window stays.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.child<QMessageBox>("confirmCloseBox"), kWaitMs);
    QVERIFY(rig.window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QLatin1String("a new controller took its place")), kWaitMs);
    QCOMPARE(rig.child<QProgressBar>("captureProgress")->value(), 1);
    QVERIFY(rig.child<QLineEdit>("framesCountEdit")->isEnabled());
    // The old controller's goodbye is answered as what it is, and so are rotation presses.
    rig.child<QPushButton>("continousRotateStartButton")->click();
    rig.child<QPushButton>("continousRotateStopButton")->click();
    for (const char *line : {"turntable answered #e0.: ", "turntable received #r1.", "turntable received #c1."})
        QTRY_VERIFY2(rig.log().contains(QLatin1String(line)), line);
    QVERIFY2(!rig.log().contains(QLatin1String("answered turn")), qPrintable(rig.log()));
}

void tst_HostWindow::failedCaptureSaysWhatHostKnows_data()
{
    QTest::addColumn<int>("timeoutSeconds");
    // How the turntable takes the first turn: never answered, refused, or
    // with the line hung up as a pulled cable does.
    QTest::addColumn<QString>("fault");
    // %1 is the port.
    QTest::addColumn<QString>("failure");
    QTest::newRow("stall") << 1 << "silent" << "Capture failed. Stalled: picture 2 was never requested within 1 s.";
    // Without a timeout only what the host saw can end these captures.
    QTest::newRow("refused turn") << 0 << "error"
                                  << "Capture failed. The turntable refused turn 1: Error: motor blocked.";
    QTest::newRow("pulled cable") << 0 << "hang-up"
                                  << "Capture failed. The port %1 left the system, as a port does when its "
                                     "cable is pulled.";
}

void tst_HostWindow::failedCaptureSaysWhatHostKnows()
{
    QFETCH(int, timeoutSeconds);
    QFETCH(QString, fault);
    QFETCH(QString, failure);
    HostOptions options;
    options.timeoutSeconds = timeoutSeconds;
    options.fault = fault == QLatin1String("error") ? HostOptions::Fault::Error : HostOptions::Fault::Silent;
    // A cable is pulled on a turntable of the test's own, named as the port.
    SimulatedTurntable turntable;
    if (fault == QLatin1String("hang-up")) {
        QVERIFY(turntable.isOpen());
        SimulatedTurntable::Fault hangUp;
        hangUp.hangUp = true;
        turntable.setFault('p', hangUp);
        options.portPath = turntable.systemLocation();
        failure = failure.arg(options.portPath);
    }
    Rig rig;
    QVERIFY(rig.open(options));
    QTest::mouseClick(rig.child<QPushButton>("startCaptureButton"), Qt::LeftButton);
    QTRY_VERIFY2_WITH_TIMEOUT(rig.log().contains(QLatin1String("Capture failed")), qPrintable(rig.log()), kWaitMs);
    const auto lineAfterFailure = [&rig, &failure] {
        const QStringList lines = rig.log().split(QLatin1Char('\n'));
        const int index = lines.indexOf(failure);
        return index < 0 ? QStringLiteral("(no line '%1')").arg(failure) : lines.value(index + 1);
    };
    // The host says what it did, and nothing of what the device may have received.
    QTRY_COMPARE_WITH_TIMEOUT(lineAfterFailure(),
                              QStringLiteral("The host let go of the controller, which turns the table no "
                                             "further; a new controller took its place."),
                              kWaitMs);
    QVERIFY2(!rig.log().contains(QLatin1String("disable command")), qPrintable(rig.log()));
}

void tst_HostWindow::saveChecksFileAgain_data()
{
    // Written over the settings file while the window is open; empty for no change.
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<bool>("keepTime");
    QTest::addColumn<QString>("logged");
    // What the frames count shows after Reload settings file; empty when the
    // file is not the host's any more and is not taken.
    QTest::addColumn<QString>("reloaded");
    const QString changed = QStringLiteral("The settings file %1 changed since the host read it; it is left as it is");
    QByteArray noise(20000, '\0');
    QRandomGenerator(28).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    QTest::newRow("unchanged: saved") << QByteArray() << false << "Settings saved." << QString();
    QTest::newRow("new value") << QByteArray("[Orbisto]\nframesCount=12\n") << false << changed << "12";
    QTest::newRow("comment added") << QByteArray("[Orbisto]\n; studio\nframesCount=8\n") << false << changed
                                   << QString();
    QTest::newRow("random bytes") << noise << false << changed << QString();
    QTest::newRow("other bytes, same size and time")
        << QByteArray("[Orbisto]\nframesCount=9\npostSnap=0\npreSnap=0\n") << true << changed << "9";
}

void tst_HostWindow::saveChecksFileAgain()
{
    QFETCH(QByteArray, change);
    QFETCH(bool, keepTime);
    QFETCH(QString, logged);
    QFETCH(QString, reloaded);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    HostOptions options;
    options.settingsPath = dir.filePath(QStringLiteral("host.ini"));
    QFile file(options.settingsPath);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[Orbisto]\nframesCount=8\n") > 0);
    file.close();
    Rig rig;
    QVERIFY(rig.open(options));
    auto *frames = rig.child<QLineEdit>("framesCountEdit");
    frames->selectAll();
    QTest::keyClicks(frames, QStringLiteral("6"));
    if (!change.isEmpty()) {
        struct stat status = {};
        QCOMPARE(::stat(QFile::encodeName(file.fileName()), &status), 0);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(change) == change.size());
        file.close();
        const struct timespec times[] = {status.st_atim, status.st_mtim};
        if (keepTime)
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(file.fileName()), times, 0), 0);
    }
    const auto fileHolds = [&file](const QByteArray &bytes) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes);
        file.close();
    };
    auto *reload = rig.child<QPushButton>("reloadSettingsButton");
    QTest::mouseClick(rig.child<QPushButton>("saveButton"), Qt::LeftButton);
    QTRY_VERIFY2(rig.log().contains(logged.arg(options.settingsPath)), qPrintable(rig.log()));
    QVERIFY(!rig.window->findChild<QMessageBox *>());
    if (change.isEmpty()) {
        fileHolds("[Orbisto]\nframesCount=6\npostSnap=0\npreSnap=0\n");
        QVERIFY(reload->isHidden());
        return;
    }
    fileHolds(change);
    // Stuck no longer: the window offers the file as it is now.
    QVERIFY(reload->isVisible());
    QVERIFY2(rig.log().contains(QLatin1String("The settings file changed from outside.")), qPrintable(rig.log()));
    QTest::mouseClick(reload, Qt::LeftButton);
    fileHolds(change);
    if (reloaded.isEmpty()) {
        QVERIFY2(rig.log().endsWith(QLatin1String("the file is left as it was.")), qPrintable(rig.log()));
        QVERIFY(reload->isVisible());
        QCOMPARE(rig.child<QLineEdit>("framesCountEdit")->text(), QStringLiteral("6"));
        return;
    }
    QVERIFY(reload->isHidden());
    QCOMPARE(rig.child<QLineEdit>("framesCountEdit")->text(), reloaded);
    QVERIFY2(rig.log().endsWith(QStringLiteral("Reloaded the settings file %1 (framesCount=%2%3); nothing was written.")
                                    .arg(options.settingsPath, reloaded,
                                         change.contains("postSnap") ? QStringLiteral(", postSnap=0, preSnap=0") : QString())),
             qPrintable(rig.log()));
    QCOMPARE(rig.child<QProgressBar>("captureProgress")->maximum(), reloaded.toInt());
    // The file is the host's again: an edit saves.
    frames = rig.child<QLineEdit>("framesCountEdit");
    frames->selectAll();
    QTest::keyClicks(frames, QStringLiteral("5"));
    QTest::mouseClick(rig.child<QPushButton>("saveButton"), Qt::LeftButton);
    QVERIFY2(rig.log().endsWith(QLatin1String("Settings saved.")), qPrintable(rig.log()));
    fileHolds("[Orbisto]\nframesCount=5\npostSnap=0\npreSnap=0\n");
}

void tst_HostWindow::noTurntableShowsHint()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A file that is no serial port: the controller finds no turntable on it.
    const QString notAPort = dir.filePath(QStringLiteral("not-a-port"));
    QFile file(notAPort);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    HostOptions options;
    options.portPath = notAPort;
    Rig rig;
    QVERIFY(rig.open(options));
    auto *hint = rig.child<QLabel>("noTurntableHint");
    QVERIFY(hint);
    QVERIFY(hint->isVisible());
    QCOMPARE(hint->text(), QStringLiteral("No turntable found: run orbisto-host --list-ports"));
    QVERIFY(!rig.child<QLineEdit>("framesCountEdit"));
}

void tst_HostWindow::logWrapsLongLines()
{
    Rig rig;
    QVERIFY(rig.open(HostOptions()));
    auto *log = rig.child<QPlainTextEdit>("eventLog");
    rig.setup.log()->add(QString(200, QLatin1Char('x')));
    // A screenshot shows the start of every line: a long one wraps instead.
    QTRY_VERIFY(log->document()->lineCount() > log->document()->blockCount());
    QCOMPARE(log->horizontalScrollBar()->maximum(), 0);
}

QTEST_MAIN(tst_HostWindow)
#include "tst_hostwindow.moc"
