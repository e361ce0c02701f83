#ifndef HOSTWINDOW_H
#define HOSTWINDOW_H

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

class CaptureSession;
class HostSetup;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The host's window: the plug-in's settings widget, Save, and a capture with
// its progress and event log. Start capture saves the edits first, so the
// capture runs what the window shows; Cancel ends a capture. Reload, offered
// when the settings file changed from outside, shows what the file holds.
class HostWindow : public QWidget
{
    Q_OBJECT

public:
    // Shown in place of the settings widget when the plug-in found no turntable.
    static const QString kNoTurntableHint;

    explicit HostWindow(HostSetup *setup, QWidget *parent = nullptr);
    ~HostWindow() override;

    // Renders the window into a PNG once the settings widget has shown what the
    // device said about itself, or after a bounded wait. Message boxes are off
    // from then on: nobody would close them.
    void saveScreenshotWhenSettled(const QString &path);

signals:
    void screenshotSaved(bool ok, const QString &message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Mid-capture, asks first; the window closes once the capture has ended.
    void closeEvent(QCloseEvent *event) override;

private:
    void showSettingsWidget();
    void renewController();
    void appendLog(const QString &line);
    void onSave();
    // After a save refused because the settings file changed from outside,
    // the window offers to take the file as it now is, until a save goes through.
    void offerReload();
    void onReload();
    void onStartCapture();
    void onCancelCapture();
    bool isCapturing() const;
    void onCaptureDone(int status, const QString &message);
    void resetProgress();
    void showMessage(QMessageBox::Icon icon, const QString &text);

    HostSetup *m_setup;
    bool m_messageBoxesShown = true;
    QGroupBox *m_settingsBox = nullptr;
    QPointer<QWidget> m_settingsWidget;
    QPointer<QLabel> m_noTurntableHint;
    QPushButton *m_saveButton = nullptr;
    QPushButton *m_reloadButton = nullptr;
    QPushButton *m_startButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
    QPointer<QMessageBox> m_closeQuestion;
    bool m_cancelled = false;
    bool m_closeWhenDone = false;
    QProgressBar *m_progress = nullptr;
    QPlainTextEdit *m_logView = nullptr;
    QPointer<CaptureSession> m_session;
};

#endif // HOSTWINDOW_H
