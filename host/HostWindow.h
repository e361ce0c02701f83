#ifndef HOSTWINDOW_H
#define HOSTWINDOW_H

#include "CaptureSession.h"

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>
#include <QWidget>

class CAbstractTurntableController;
class HostSettings;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class SimulatedTurntable;

// The host's window: the plug-in's settings widget, Save, and a capture with
// its progress and event log.
class HostWindow : public QWidget
{
    Q_OBJECT

public:
    // plan gives the timeout and snap command; the frames count and delays are
    // read from the settings store when a capture starts.
    HostWindow(CAbstractTurntableController *controller, HostSettings *settings,
               const CaptureSession::Plan &plan, SimulatedTurntable *turntable,
               QWidget *parent = nullptr);
    ~HostWindow() override;

    // Off for unattended runs, where nobody would close a message box.
    void setMessageBoxesShown(bool shown) { m_messageBoxesShown = shown; }
    void appendLog(const QString &line);
    // What the host found at start-up: empty when the plug-in accepted the
    // settings, else its message.
    void setSettingsRefusal(const QString &message);

    // Renders the window into a PNG once the settings widget has shown what the
    // device said about itself, or after a bounded wait.
    void saveScreenshotWhenSettled(const QString &path);

signals:
    void screenshotSaved(bool ok, const QString &message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onSave();
    void onStartCapture();
    void onCaptureDone(int status, const QString &message);
    void pollSettled();
    bool settingsWidgetSettled() const;
    void showMessage(QMessageBox::Icon icon, const QString &text);

    QPointer<CAbstractTurntableController> m_controller;
    HostSettings *m_settings;
    CaptureSession::Plan m_plan;
    QPointer<SimulatedTurntable> m_turntable;
    bool m_messageBoxesShown = true;
    // Whether the plug-in accepted the settings it holds, and if not, why.
    QString m_refusal;

    QWidget *m_settingsWidget = nullptr;
    QPushButton *m_saveButton = nullptr;
    QPushButton *m_startButton = nullptr;
    QProgressBar *m_progress = nullptr;
    QPlainTextEdit *m_log = nullptr;
    QPointer<CaptureSession> m_session;

    // The settings widget's label texts as first built; a change means the
    // device's answer has arrived.
    struct LabelText
    {
        QPointer<QLabel> label;
        QString text;
    };
    QVector<LabelText> m_initialLabelTexts;
    QTimer m_settlePoll;
    QString m_screenshotPath;
    int m_settlePollsLeft = 0;
};

#endif // HOSTWINDOW_H
