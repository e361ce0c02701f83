#include "CaptureSession.h"

#include "CAbstractTurntableController.h"
#include "EventLog.h"
#include "HostPlatform.h"
#include "HostSignals.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <csignal>
#include <unistd.h>
#endif

namespace {

const int kFailureStatus = 1;
const int kProgressBarWidth = 24;
const qint64 kMillisecondsPerSecond = 1000;

const QString kPictureVariable = QStringLiteral("ORBISTO_PICTURE");
const QString kFramesVariable = QStringLiteral("ORBISTO_FRAMES");

QString progressBar(int done, int total)
{
    // Rounded up, so the first picture already shows.
    const int filled = total > 0 ? (done * kProgressBarWidth + total - 1) / total : 0;
    const int clamped = std::clamp(filled, 0, kProgressBarWidth);
    return QLatin1Char('[') + QString(clamped, QLatin1Char('#'))
        + QString(kProgressBarWidth - clamped, QLatin1Char('-')) + QLatin1Char(']');
}

// For a crash, QProcess gives the number of the signal that ended the
// command on Unix, and Windows' exception code elsewhere.
QString crashed(int exitCode)
{
#ifdef Q_OS_UNIX
    return QStringLiteral("was killed by %1").arg(HostSignals::signalName(exitCode));
#else
    return QStringLiteral("crashed with code 0x%1").arg(uint(exitCode), 8, 16, QLatin1Char('0'));
#endif
}

} // namespace

// A snap command in a process group of its own, so that giving up on it also
// stops whatever it started. Windows has no process groups of this kind: there
// the command itself is killed, and what it started runs on.
class SnapProcess : public QProcess
{
    Q_OBJECT

public:
    explicit SnapProcess(QObject *parent)
        : QProcess(parent)
    {
#if defined(Q_OS_UNIX) && QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        // Qt 6 replaced the virtual hook below with a modifier function.
        setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
    }

    void killGroup()
    {
#ifdef Q_OS_UNIX
        const qint64 pid = processId();
        if (pid > 0)
            ::kill(-pid_t(pid), SIGKILL);
#endif
        // On Unix the child may not have made its group yet; on Windows this
        // is all there is.
        kill();
    }

#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
#endif
};

CaptureSession::CaptureSession(CAbstractTurntableController *controller, const Plan &plan,
                               EventLog *log, QObject *parent)
    : QObject(parent)
    , m_controller(controller)
    , m_plan(plan)
    , m_log(log)
{
    m_watchdog.setSingleShot(true);
    // A coarse timer may fire early, and a stall must never be declared early.
    m_watchdog.setTimerType(Qt::PreciseTimer);
    connect(&m_watchdog, &QTimer::timeout, this,
            [this] { end(kFailureStatus, m_stallMessage); });
}

CaptureSession::~CaptureSession()
{
    if (m_snapProcess && m_snapProcess->state() != QProcess::NotRunning)
        m_snapProcess->killGroup();
}

void CaptureSession::start()
{
    if (m_step != Step::Idle)
        return;
    m_log->restart();
    if (!m_controller) {
        end(kFailureStatus, QStringLiteral("The controller is gone"));
        return;
    }
    connect(m_controller, &CAbstractTurntableController::snapActionRequired, this,
            &CaptureSession::onSnapActionRequired);
    connect(m_controller, &CAbstractTurntableController::finished, this,
            &CaptureSession::onFinished);
    // What the host learns from the device's side ends the capture at once,
    // instead of at the timeout.
    connect(m_log, &EventLog::failed, this, [this](const QString &message) {
        if (isRunning())
            end(kFailureStatus, message);
    });
    m_frames = m_controller->framesCount();
    m_log->add(QStringLiteral("capture started: %1 frames").arg(m_frames));
    if (!m_plan.port.isEmpty()) {
        m_portWatch = new PortWatch(m_plan.port, this);
        connect(m_portWatch, &PortWatch::gone, this, [this](const QString &message) {
            if (isRunning())
                end(kFailureStatus, message);
        });
        m_portWatch->start();
    }
    // The first request may come at once; the session must be waiting for it.
    expect(Step::AwaitingRequest, 0, QStringLiteral("picture 1 was never requested"));
    if (!m_controller->startCapture())
        end(kFailureStatus, QStringLiteral("The plug-in refused to start the capture"));
}

void CaptureSession::stop(int status, const QString &message)
{
    end(status, message);
}

void CaptureSession::onSnapActionRequired()
{
    if (m_step == Step::Done)
        return;
    const int picture = ++m_requests;
    if (m_step == Step::TakingPicture) {
        end(kFailureStatus, QStringLiteral("The plug-in requested picture %1 before picture %2 "
                                           "was taken")
                                .arg(picture)
                                .arg(picture - 1));
        return;
    }
    if (picture > m_frames) {
        end(kFailureStatus, QStringLiteral("The plug-in requested picture %1 of a %2-frame capture")
                                .arg(picture)
                                .arg(m_frames));
        return;
    }
    QString request = QStringLiteral("picture %1 of %2 requested").arg(picture).arg(m_frames);
    if (m_plan.textProgress)
        request += QStringLiteral("  %1  %2/%3").arg(progressBar(picture, m_frames)).arg(picture).arg(m_frames);
    m_log->add(request);
    if (!m_plan.snapCommand.isEmpty()) {
        runSnapCommand(picture);
        return;
    }
    m_watchdog.stop();
    m_step = Step::TakingPicture;
    // The controller expects the report from the event loop, not from inside its signal.
    QTimer::singleShot(0, this, [this, picture] { reportPictureTaken(picture); });
}

void CaptureSession::runSnapCommand(int picture)
{
    // Said on its own, and after "Stalled:" for a command that hangs.
    const QString command = QStringLiteral("The snap command for picture %1 ").arg(picture);
    expect(Step::TakingPicture, 0,
           QStringLiteral("the snap command for picture %1 did not finish").arg(picture));
    auto *process = new SnapProcess(this);
    m_snapProcess = process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kPictureVariable, QString::number(picture));
    environment.insert(kFramesVariable, QString::number(m_frames));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, process, picture, command](int exitCode, QProcess::ExitStatus exitStatus) {
                process->deleteLater();
                if (m_step != Step::TakingPicture)
                    return;
                if (exitStatus == QProcess::CrashExit)
                    end(kFailureStatus, command + crashed(exitCode));
                else if (exitCode != 0)
                    end(exitCode,
                        command + QStringLiteral("failed with exit status %1").arg(exitCode));
                else
                    reportPictureTaken(picture);
            });
    // A command that never started emits no finished().
    connect(process, &QProcess::errorOccurred, this,
            [this, process, command](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return;
                process->deleteLater();
                end(kFailureStatus, command + QStringLiteral("could not be started: %1")
                                                  .arg(process->errorString()));
            });
    const HostPlatform::ShellInvocation shell =
        HostPlatform::shellFor(HostPlatform::current(), m_plan.snapCommand);
#ifdef Q_OS_WIN
    process->setNativeArguments(shell.nativeArguments);
#endif
    process->start(shell.program, shell.arguments);
    // A command that reads its input gets end-of-file rather than waiting for us.
    process->closeWriteChannel();
}

void CaptureSession::reportPictureTaken(int picture)
{
    if (m_step != Step::TakingPicture)
        return;
    if (!m_controller) {
        end(kFailureStatus, QStringLiteral("The controller is gone"));
        return;
    }
    m_log->add(QStringLiteral("picture %1 taken").arg(picture));
    emit pictureTaken(picture);
    // The next step is set first: the controller may answer from inside snapTaken().
    if (picture == m_frames) {
        expect(Step::AwaitingFinish, 0,
               QStringLiteral("the plug-in did not say it finished after picture %1")
                   .arg(picture));
    } else {
        expect(Step::AwaitingRequest, m_plan.delaySeconds,
               QStringLiteral("picture %1 was never requested").arg(picture + 1));
    }
    m_controller->snapTaken(picture);
}

void CaptureSession::onFinished()
{
    if (m_step == Step::Done)
        return;
    if (m_step != Step::AwaitingFinish) {
        end(kFailureStatus, QStringLiteral("The plug-in finished after %1 of %2 picture requests")
                                .arg(m_requests)
                                .arg(m_frames));
        return;
    }
    m_log->add(QStringLiteral("finished: %1 pictures").arg(m_requests));
    end(0, QString());
}

void CaptureSession::expect(Step step, qint64 extraSeconds, const QString &stallMessage)
{
    m_step = step;
    m_watchdog.stop();
    if (m_plan.timeoutSeconds <= 0)
        return;
    const qint64 seconds = m_plan.timeoutSeconds + std::max<qint64>(extraSeconds, 0);
    // Beyond QTimer's range the wait is as good as forever.
    const qint64 interval =
        std::min<qint64>(seconds * kMillisecondsPerSecond, std::numeric_limits<int>::max());
    m_stallMessage = QStringLiteral("Stalled: %1 within %2 s").arg(stallMessage).arg(seconds);
    m_watchdog.start(int(interval));
}

void CaptureSession::end(int status, const QString &message)
{
    if (m_step == Step::Done)
        return;
    m_step = Step::Done;
    m_watchdog.stop();
    if (m_portWatch)
        m_portWatch->stop();
    disconnect(m_log, nullptr, this, nullptr);
    if (m_controller)
        disconnect(m_controller, nullptr, this, nullptr);
    // A command given up on is reaped before the end is announced, so nothing
    // outlives the session unnoticed.
    if (m_snapProcess && m_snapProcess->state() != QProcess::NotRunning) {
        connect(m_snapProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                this, [this, status, message] { emit done(status, message); });
        m_snapProcess->killGroup();
        return;
    }
    emit done(status, message);
}

#include "CaptureSession.moc"
