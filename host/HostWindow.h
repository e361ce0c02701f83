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
class EventLog;
class HostSettings;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The host's window: the plug-in's settings widget, Save, and a capture with
// its progress and event log.
class HostWindow : public QWidget
{
    Q_OBJECT

public:
    // refusal is what the plug-in said of the settings at start-up, empty when
    // it accepted them.
    HostWindow(CAbstractTurntableController *controller, HostSettings *settings,
               const CaptureSession::Plan &plan, EventLog *log, const QString &refusal,
               QWidget *parent = nullptr);
    ~HostWindow() override;

    // Off for unattended runs, where nobody would close a message box.
    void setMessageBoxesShown(bool shown) { m_messageBoxesShown = shown; }
    void appendLog(const QString &line);

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
    void resetProgress();
    void pollSettled();
    bool settingsWidgetSettled() const;
    void showMessage(QMessageBox::Icon icon, const QString &text);

    QPointer<CAbstractTurntableController> m_controller;
    HostSettings *m_settings;
    CaptureSession::Plan m_plan;
    EventLog *m_log;
    bool m_messageBoxesShown = true;
    // Why the plug-in refused the settings it holds; empty once it accepts them.
    QString m_refusal;

    QWidget *m_settingsWidget = nullptr;
    QPushButton *m_saveButton = nullptr;
    QPushButton *m_startButton = nullptr;
    QProgressBar *m_progress = nullptr;
    QPlainTextEdit *m_logView = nullptr;
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
