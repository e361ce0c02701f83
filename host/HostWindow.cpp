#include "HostWindow.h"

#include "CAbstractTurntableController.h"
#include "EventLog.h"
#include "HostSettings.h"

#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const int kSettlePollIntervalMs = 20;
// The device answers its identification request within milliseconds; a
// device that does not must not hold the screenshot up for long.
const int kSettleTimeoutMs = 3000;
const int kMaxLogLines = 10000;
const QString kSaved = QStringLiteral("Settings saved.");

} // namespace

HostWindow::HostWindow(CAbstractTurntableController *controller, HostSettings *settings,
                       const CaptureSession::Plan &plan, EventLog *log, const QString &refusal,
                       QWidget *parent)
    : QWidget(parent)
    , m_controller(controller)
    , m_settings(settings)
    , m_plan(plan)
    , m_log(log)
    , m_refusal(refusal)
{
    setWindowTitle(QStringLiteral("Orbisto host"));
    auto *layout = new QVBoxLayout(this);

    auto *settingsBox = new QGroupBox(QStringLiteral("Turntable settings"), this);
    auto *settingsLayout = new QVBoxLayout(settingsBox);
    m_settingsWidget = controller->createSettingsWidget();
    if (!m_settingsWidget)
        m_settingsWidget = new QLabel(QStringLiteral("The plug-in has no settings widget."));
    // The plug-in hands over a dialog; embedded, it must neither float nor
    // close itself on Escape.
    m_settingsWidget->setWindowFlags(Qt::Widget);
    m_settingsWidget->installEventFilter(this);
    settingsLayout->addWidget(m_settingsWidget);
    layout->addWidget(settingsBox);
    const QList<QLabel *> labels = m_settingsWidget->findChildren<QLabel *>();
    for (QLabel *label : labels)
        m_initialLabelTexts.append({label, label->text()});

    auto *buttons = new QHBoxLayout;
    m_saveButton = new QPushButton(QStringLiteral("Save"), this);
    m_saveButton->setObjectName(QStringLiteral("saveButton"));
    m_startButton = new QPushButton(QStringLiteral("Start capture"), this);
    m_startButton->setObjectName(QStringLiteral("startCaptureButton"));
    buttons->addWidget(m_saveButton);
    buttons->addStretch();
    buttons->addWidget(m_startButton);
    layout->addLayout(buttons);

    m_progress = new QProgressBar(this);
    m_progress->setFormat(QStringLiteral("%v / %m pictures"));
    layout->addWidget(m_progress);
    resetProgress();

    m_logView = new QPlainTextEdit(this);
    m_logView->setObjectName(QStringLiteral("eventLog"));
    m_logView->setReadOnly(true);
    m_logView->setMaximumBlockCount(kMaxLogLines);
    m_logView->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Fixed width keeps the progress bars of the event lines aligned.
    QFont logFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    logFont.setStyleHint(QFont::TypeWriter);
    m_logView->setFont(logFont);
    layout->addWidget(m_logView, 1);
    if (!m_refusal.isEmpty())
        appendLog(m_refusal);

    connect(m_log, &EventLog::line, this, &HostWindow::appendLog);
    connect(m_saveButton, &QPushButton::clicked, this, &HostWindow::onSave);
    connect(m_startButton, &QPushButton::clicked, this, &HostWindow::onStartCapture);
    m_settlePoll.setInterval(kSettlePollIntervalMs);
    connect(&m_settlePoll, &QTimer::timeout, this, &HostWindow::pollSettled);
}

HostWindow::~HostWindow() = default;

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
    if (!m_controller)
        return;
    const QString message = m_settings->save(*m_controller);
    if (!message.isEmpty()) {
        appendLog(message);
        showMessage(QMessageBox::Warning, message);
        return;
    }
    m_refusal.clear();
    if (!m_session || !m_session->isRunning())
        resetProgress();
    appendLog(kSaved);
    showMessage(QMessageBox::Information, kSaved);
}

void HostWindow::onStartCapture()
{
    if (!m_controller || (m_session && m_session->isRunning()))
        return;
    // The controller runs on the values it last accepted.
    if (!m_refusal.isEmpty()) {
        appendLog(m_refusal);
        showMessage(QMessageBox::Warning, m_refusal);
        return;
    }
    if (m_session)
        m_session->deleteLater();
    m_session = new CaptureSession(m_controller, m_plan, m_log, this);
    connect(m_session, &CaptureSession::pictureTaken, m_progress, &QProgressBar::setValue);
    connect(m_session, &CaptureSession::done, this, &HostWindow::onCaptureDone);
    resetProgress();
    m_saveButton->setEnabled(false);
    m_startButton->setEnabled(false);
    m_session->start();
}

void HostWindow::onCaptureDone(int status, const QString &message)
{
    m_saveButton->setEnabled(true);
    m_startButton->setEnabled(true);
    if (status == 0)
        return;
    const QString text = QStringLiteral("Capture failed: %1").arg(message);
    appendLog(text);
    showMessage(QMessageBox::Warning, text);
}

void HostWindow::resetProgress()
{
    m_progress->setRange(0, std::max<int>(m_controller ? m_controller->framesCount() : 0, 1));
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
    m_screenshotPath = path;
    m_settlePollsLeft = kSettleTimeoutMs / kSettlePollIntervalMs;
    m_settlePoll.start();
}

bool HostWindow::settingsWidgetSettled() const
{
    // Without labels there is nothing to wait for.
    if (m_initialLabelTexts.isEmpty())
        return true;
    return std::any_of(m_initialLabelTexts.cbegin(), m_initialLabelTexts.cend(),
                       [](const LabelText &entry) {
                           return entry.label && entry.label->text() != entry.text;
                       });
}

void HostWindow::pollSettled()
{
    --m_settlePollsLeft;
    if (m_settlePollsLeft > 0 && !(isVisible() && settingsWidgetSettled()))
        return;
    m_settlePoll.stop();
    const bool ok = grab().save(m_screenshotPath, "PNG");
    emit screenshotSaved(ok, ok ? QString()
                                : QStringLiteral("cannot write the screenshot %1")
                                      .arg(m_screenshotPath));
}
