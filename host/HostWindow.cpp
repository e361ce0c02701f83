#include "HostWindow.h"

#include "CAbstractTurntableController.h"
#include "CaptureSession.h"
#include "HostSetup.h"

#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QVector>

#include <algorithm>

namespace {

const int kSettlePollIntervalMs = 20;
// The device answers its identification request within milliseconds; a
// device that does not must not hold the screenshot up for long.
const int kSettleTimeoutMs = 3000;
const int kMaxLogLines = 10000;
const int kCancelledStatus = 1;
const QString kSaved = QStringLiteral("Settings saved.");

// The plug-in hands over an empty widget when it has no turntable.
bool isEmptyWidget(const QWidget *widget)
{
    return !widget->layout() && widget->findChildren<QWidget *>().isEmpty();
}

} // namespace

const QString HostWindow::kNoTurntableHint =
    QStringLiteral("No turntable found: run orbisto-host --list-ports");

HostWindow::HostWindow(HostSetup *setup, QWidget *parent)
    : QWidget(parent)
    , m_setup(setup)
{
    setWindowTitle(QStringLiteral("Orbisto host"));
    auto *layout = new QVBoxLayout(this);

    m_settingsBox = new QGroupBox(QStringLiteral("Turntable settings"), this);
    new QVBoxLayout(m_settingsBox);
    showSettingsWidget();
    layout->addWidget(m_settingsBox);

    auto *buttons = new QHBoxLayout;
    m_saveButton = new QPushButton(QStringLiteral("Save"), this);
    m_saveButton->setObjectName(QStringLiteral("saveButton"));
    m_startButton = new QPushButton(QStringLiteral("Start capture"), this);
    m_startButton->setObjectName(QStringLiteral("startCaptureButton"));
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancelButton->setObjectName(QStringLiteral("cancelCaptureButton"));
    m_cancelButton->setEnabled(false);
    m_reloadButton = new QPushButton(QStringLiteral("Reload settings file"), this);
    m_reloadButton->setObjectName(QStringLiteral("reloadSettingsButton"));
    m_reloadButton->hide();
    buttons->addWidget(m_saveButton);
    buttons->addWidget(m_reloadButton);
    buttons->addStretch();
    buttons->addWidget(m_startButton);
    buttons->addWidget(m_cancelButton);
    layout->addLayout(buttons);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("captureProgress"));
    m_progress->setFormat(QStringLiteral("%v / %m pictures"));
    layout->addWidget(m_progress);
    resetProgress();

    m_logView = new QPlainTextEdit(this);
    m_logView->setObjectName(QStringLiteral("eventLog"));
    m_logView->setReadOnly(true);
    m_logView->setMaximumBlockCount(kMaxLogLines);
    // Long lines wrap rather than scroll sideways, so a screenshot shows the
    // start of every line.
    m_logView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Fixed width keeps the stamps of the event lines aligned.
    QFont logFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    logFont.setStyleHint(QFont::TypeWriter);
    m_logView->setFont(logFont);
    layout->addWidget(m_logView, 1);
    appendLog(setup->description());
    if (!setup->refusal().isEmpty())
        appendLog(setup->refusal());

    connect(setup->log(), &EventLog::line, this, &HostWindow::appendLog);
    connect(m_saveButton, &QPushButton::clicked, this, &HostWindow::onSave);
    connect(m_reloadButton, &QPushButton::clicked, this, &HostWindow::onReload);
    connect(m_startButton, &QPushButton::clicked, this, &HostWindow::onStartCapture);
    connect(m_cancelButton, &QPushButton::clicked, this, &HostWindow::onCancelCapture);
}

HostWindow::~HostWindow() = default;

void HostWindow::showSettingsWidget()
{
    // The host owns the widget, and a new controller brings a new one.
    delete m_settingsWidget;
    delete m_noTurntableHint;
    CAbstractTurntableController *controller = m_setup->controller();
    m_settingsWidget = controller ? controller->createSettingsWidget() : nullptr;
    if (!m_settingsWidget)
        m_settingsWidget = new QLabel(QStringLiteral("The plug-in has no settings widget."));
    // The plug-in hands over a dialog; embedded, it must neither float nor
    // close itself on Escape.
    m_settingsWidget->setWindowFlags(Qt::Widget);
    m_settingsWidget->installEventFilter(this);
    m_settingsBox->layout()->addWidget(m_settingsWidget);
    if (isEmptyWidget(m_settingsWidget)) {
        // Kept, as the host owns it, but a hint says what to do instead.
        m_settingsWidget->hide();
        m_noTurntableHint = new QLabel(kNoTurntableHint, m_settingsBox);
        m_noTurntableHint->setObjectName(QStringLiteral("noTurntableHint"));
        m_settingsBox->layout()->addWidget(m_noTurntableHint);
    }
}

// The contract has no abort: a capture is abandoned by letting go of its
// controller, which turns the table no further, and registering a new one.
void HostWindow::renewController()
{
    const bool renewed = m_setup->renewController();
    showSettingsWidget();
    m_saveButton->setEnabled(renewed);
    m_startButton->setEnabled(renewed);
    // Only what the host did: whether the device heard the goodbye, the host cannot tell.
    appendLog(renewed ? QStringLiteral("The host let go of the controller, which turns the table no "
                                       "further; a new controller took its place.")
                      : QStringLiteral("The host let go of the controller. %1.").arg(m_setup->errorString()));
    // The bar keeps the pictures the ended capture took.
}

void HostWindow::appendLog(const QString &line)
{
    m_logView->appendPlainText(line);
}

bool HostWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_settingsWidget && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void HostWindow::onSave()
{
    // Said in the log: a box to click away after every Save would be in the way.
    const QString message = m_setup->save();
    if (!message.isEmpty()) {
        appendLog(message);
        offerReload();
        return;
    }
    // The file now holds what the window shows.
    m_reloadButton->hide();
    // Save is disabled while a capture runs, so the bar shows no progress now.
    resetProgress();
    appendLog(kSaved);
}

void HostWindow::offerReload()
{
    if (!m_setup->settingsFileChanged() || !m_reloadButton->isHidden())
        return;
    m_reloadButton->show();
    appendLog(QStringLiteral("The settings file changed from outside. Reload settings file shows "
                             "what it holds now, in place of the values in the window, and writes "
                             "nothing."));
}

void HostWindow::onReload()
{
    const QString refusal = m_setup->reload();
    if (!refusal.isEmpty()) {
        appendLog(refusal);
        return;
    }
    m_reloadButton->hide();
    // The new widget shows what the controller now holds.
    showSettingsWidget();
    resetProgress();
    QStringList values;
    const HostSettingsFile::Values &read = m_setup->settingsFileValues();
    for (int index = 0; index < HostSettingsFile::kKeyCount; ++index) {
        if (read.at(index))
            values.append(QStringLiteral("%1=%2").arg(QLatin1String(HostSettingsFile::kKeys[index])).arg(*read.at(index)));
    }
    appendLog(QStringLiteral("Reloaded the settings file %1 (%2); nothing was written.")
                  .arg(m_setup->settingsFileName(),
                       values.isEmpty() ? QStringLiteral("no values") : values.join(QStringLiteral(", "))));
}

bool HostWindow::isCapturing() const
{
    return m_session && m_session->isRunning();
}

void HostWindow::onStartCapture()
{
    if (isCapturing())
        return;
    // What the window shows is what runs: the edits go through the plug-in's
    // saveSettings first, and a refusal keeps the capture from starting.
    const QString refusal = m_setup->save();
    if (!refusal.isEmpty()) {
        appendLog(refusal);
        offerReload();
        showMessage(QMessageBox::Warning, refusal);
        return;
    }
    m_reloadButton->hide();
    if (m_session)
        m_session->deleteLater();
    CaptureSession::Plan plan = m_setup->plan();
    // The window has a progress bar of its own.
    plan.textProgress = false;
    m_session = new CaptureSession(m_setup->controller(), plan, m_setup->log(), this);
    connect(m_session, &CaptureSession::pictureTaken, m_progress, &QProgressBar::setValue);
    connect(m_session, &CaptureSession::done, this, &HostWindow::onCaptureDone);
    resetProgress();
    m_cancelled = false;
    // Edits made now would do nothing: the capture runs what was saved.
    m_settingsBox->setEnabled(false);
    m_saveButton->setEnabled(false);
    m_reloadButton->setEnabled(false);
    m_startButton->setEnabled(false);
    m_cancelButton->setEnabled(true);
    m_session->start();
}

void HostWindow::onCancelCapture()
{
    if (!isCapturing())
        return;
    m_cancelled = true;
    m_cancelButton->setEnabled(false);
    m_session->stop(kCancelledStatus, QStringLiteral("Capture cancelled with %1 of %2 pictures taken.")
                                          .arg(m_progress->value())
                                          .arg(m_progress->maximum()));
}

void HostWindow::onCaptureDone(int status, const QString &message)
{
    // A question about a capture that is over has no answer left.
    if (m_closeQuestion && !m_closeWhenDone)
        m_closeQuestion->reject();
    m_settingsBox->setEnabled(true);
    m_saveButton->setEnabled(true);
    m_reloadButton->setEnabled(true);
    m_startButton->setEnabled(true);
    m_cancelButton->setEnabled(false);
    if (m_cancelled)
        appendLog(message);
    if (m_closeWhenDone) {
        close();
        return;
    }
    if (status == 0)
        return;
    // A capture cancelled, failed or stalled may still have a turn or a
    // picture request scheduled. From the event loop: the end may have come
    // from inside one of the controller's own signals.
    QTimer::singleShot(0, this, &HostWindow::renewController);
    if (m_cancelled)
        return;
    const QString text = QStringLiteral("Capture failed. %1.").arg(message);
    appendLog(text);
    showMessage(QMessageBox::Warning, text);
}

void HostWindow::closeEvent(QCloseEvent *event)
{
    if (!isCapturing()) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_closeQuestion)
        return;
    // Not blocking: the capture and the device keep running while it is asked.
    m_closeQuestion = new QMessageBox(QMessageBox::Question, windowTitle(),
                                      QStringLiteral("A capture is running. Stop it and close?"),
                                      QMessageBox::Close | QMessageBox::Cancel, this);
    m_closeQuestion->setObjectName(QStringLiteral("confirmCloseBox"));
    m_closeQuestion->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_closeQuestion, &QMessageBox::finished, this, [this](int answer) {
        if (answer != QMessageBox::Close)
            return;
        if (!isCapturing()) {
            close();
            return;
        }
        m_closeWhenDone = true;
        onCancelCapture();
    });
    m_closeQuestion->open();
}

void HostWindow::resetProgress()
{
    CAbstractTurntableController *controller = m_setup->controller();
    m_progress->setRange(0, controller ? std::max<int>(controller->framesCount(), 1) : 1);
    m_progress->setValue(0);
}

void HostWindow::showMessage(QMessageBox::Icon icon, const QString &text)
{
    if (!m_messageBoxesShown)
        return;
    // Window-modal but not blocking: the capture and the device keep running.
    auto *box = new QMessageBox(icon, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void HostWindow::saveScreenshotWhenSettled(const QString &path)
{
    m_messageBoxesShown = false;
    // The settings widget has settled once one of its labels shows something
    // new, such as the device's answer; without labels there is nothing to wait for.
    struct LabelText
    {
        QPointer<QLabel> label;
        QString text;
    };
    QVector<LabelText> labels;
    const QList<QLabel *> found = m_settingsWidget->findChildren<QLabel *>();
    for (QLabel *label : found)
        labels.append({label, label->text()});
    auto *poll = new QTimer(this);
    int pollsLeft = kSettleTimeoutMs / kSettlePollIntervalMs;
    connect(poll, &QTimer::timeout, this, [this, poll, path, labels, pollsLeft]() mutable {
        const bool settled = labels.isEmpty()
            || std::any_of(labels.cbegin(), labels.cend(), [](const LabelText &entry) {
                   return entry.label && entry.label->text() != entry.text;
               });
        if (--pollsLeft > 0 && !(isVisible() && settled))
            return;
        poll->deleteLater();
        poll->stop();
        // The format is the one the file's suffix names.
        QImageWriter writer(path);
        const bool ok = writer.write(grab().toImage());
        emit screenshotSaved(ok, ok ? QString()
                                    : QStringLiteral("Cannot write the screenshot %1: %2")
                                          .arg(path, writer.errorString()));
    });
    poll->start(kSettlePollIntervalMs);
}
