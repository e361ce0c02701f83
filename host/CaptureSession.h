#ifndef CAPTURESESSION_H
#define CAPTURESESSION_H

#include "PortWatch.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class CAbstractTurntableController;
class EventLog;
class SnapProcess;

// Drives one capture on a controller as a host does: takes a picture for every
// request, reports it, and gives up when the controller does not come back in
// time. It knows the controller only through the contract.
class CaptureSession : public QObject
{
    Q_OBJECT

public:
    struct Plan
    {
        // 0 waits forever.
        int timeoutSeconds = 0;
        // The delays the host handed the controller, so that a step is given
        // the time it needs.
        qint64 delaySeconds = 0;
        // Run through the platform's shell (/bin/sh -c, or cmd /c on Windows)
        // for each picture; empty pretends to take it.
        QString snapCommand;
        // A text progress bar on each request line, for a terminal; a window
        // shows a real one instead.
        bool textProgress = true;
        // The turntable's port, watched so that a pulled cable is named when
        // it happens rather than waited out as a stall; empty watches nothing.
        PortWatch::Target port;
    };

    // The log outlives the session.
    CaptureSession(CAbstractTurntableController *controller, const Plan &plan, EventLog *log,
                   QObject *parent = nullptr);
    ~CaptureSession() override;

    // Call from the event loop: a refusal ends the session at once.
    void start();
    // Ends the capture from outside (a signal, the user) as any end does: a
    // running snap command is stopped and done() follows. The contract has no
    // abort: the controller is only no longer answered.
    void stop(int status, const QString &message);
    bool isRunning() const { return m_step != Step::Idle && m_step != Step::Done; }

signals:
    void pictureTaken(int pictures);
    // Status 0 when the controller finished after exactly its frames count of
    // pictures; otherwise message says what went wrong.
    void done(int status, const QString &message);

private:
    enum class Step { Idle, AwaitingRequest, TakingPicture, AwaitingFinish, Done };

    void onSnapActionRequired();
    void onFinished();
    void runSnapCommand(int picture);
    void reportPictureTaken(int picture);
    void expect(Step step, qint64 extraSeconds, const QString &stallMessage);
    void end(int status, const QString &message);

    QPointer<CAbstractTurntableController> m_controller;
    Plan m_plan;
    EventLog *m_log;
    Step m_step = Step::Idle;
    int m_frames = 0;
    int m_requests = 0;
    QTimer m_watchdog;
    QString m_stallMessage;
    QPointer<SnapProcess> m_snapProcess;
    PortWatch *m_portWatch = nullptr;
};

#endif // CAPTURESESSION_H
