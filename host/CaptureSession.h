#ifndef CAPTURESESSION_H
#define CAPTURESESSION_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTimer>

class CAbstractTurntableController;
class SimulatedTurntable;
class SnapProcess;

// Drives one capture on a controller as a host does: takes a picture for every
// request, reports it, and gives up when a step gets no answer in time. Every
// event comes out as a line stamped with the milliseconds since the start.
class CaptureSession : public QObject
{
    Q_OBJECT

public:
    struct Plan
    {
        int framesCount = 0;
        // The controller's delays, so that a step is given the time it needs.
        int postSnapSeconds = 0;
        int preSnapSeconds = 0;
        // 0 waits forever.
        int timeoutSeconds = 0;
        // Run through /bin/sh -c for each picture; empty pretends to take it.
        QString snapCommand;
    };

    static const int kFailureStatus = 1;

    // With a turntable, its traffic is reported too and a stall is pinned to
    // the turn command or to the device's answer.
    CaptureSession(CAbstractTurntableController *controller, const Plan &plan,
                   SimulatedTurntable *turntable = nullptr, QObject *parent = nullptr);
    ~CaptureSession() override;

    // Call from the event loop: a refusal ends the session at once.
    void start();
    bool isRunning() const { return m_step != Step::Idle && m_step != Step::Done; }

    static QString progressBar(int done, int total);

signals:
    void event(const QString &line);
    void pictureTaken(int pictures, int framesCount);
    // Status 0 when the controller finished after exactly the planned pictures;
    // otherwise message says what went wrong.
    void done(int status, const QString &message);

private:
    enum class Step {
        Idle,
        AwaitingRequest,
        TakingPicture,
        AwaitingTurn,
        AwaitingConfirmation,
        AwaitingFinish,
        Done,
    };

    void onSnapActionRequired();
    void onFinished();
    void onFrameReceived(const QByteArray &frame);
    void onTurntableSent(const QByteArray &bytes);
    void onSnapCommandFinished(SnapProcess *process, int picture, int exitCode,
                               QProcess::ExitStatus exitStatus);
    void runSnapCommand(int picture);
    void reportPictureTaken(int picture);
    void expect(Step step, int extraSeconds, const QString &stallMessage);
    void report(const QString &text);
    void end(int status, const QString &message);

    QPointer<CAbstractTurntableController> m_controller;
    QPointer<SimulatedTurntable> m_turntable;
    Plan m_plan;
    Step m_step = Step::Idle;
    int m_requests = 0;
    int m_turnsSent = 0;
    // The device's answer to the last turn, collected until its line is complete.
    bool m_awaitingTurnAnswer = false;
    QByteArray m_turnAnswer;
    QByteArray m_turnBody;
    QElapsedTimer m_clock;
    QTimer m_watchdog;
    QString m_stallMessage;
    QPointer<SnapProcess> m_snapProcess;
};

#endif // CAPTURESESSION_H
