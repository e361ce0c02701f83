#include "HostWindow.h"

#include "CAbstractTurntableController.h"
#include "HostSettings.h"
#include "SimulatedTurntable.h"

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
                       const CaptureSession::Plan &plan, SimulatedTurntable *turntable,
                       QWidget *parent)
    : QWidget(parent)
    , m_controller(controller)
    , m_settings(settings)
    , m_plan(plan)
    , m_turntable(turntable)
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
    m_progress->setRange(0, std::max(m_settings->framesCount(), 1));
    m_progress->setValue(0);
    layout->addWidget(m_progress);

    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("eventLog"));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(kMaxLogLines);
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Fixed width keeps the progress bars of the event lines aligned.
    QFont logFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    logFont.setStyleHint(QFont::TypeWriter);
    m_log->setFont(logFont);
    layout->addWidget(m_log, 1);

    connect(m_saveButton, &QPushButton::clicked, this, &HostWindow::onSave);
    connect(m_startButton, &QPushButton::clicked, this, &HostWindow::onStartCapture);
    m_settlePoll.setInterval(kSettlePollIntervalMs);
    connect(&m_settlePoll, &QTimer::timeout, this, &HostWindow::pollSettled);
}

HostWindow::~HostWindow() = default;

void HostWindow::appendLog(const QString &line)
{
    m_log->appendPlainText(line);
}

void HostWindow::setSettingsRefusal(const QString &message)
{
    m_refusal = message;
    if (!message.isEmpty())
        appendLog(message);
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
    QString message;
    const bool saved = m_controller->saveSettings(m_settings->settings(), message);
    m_settings->settings()->sync();
    if (saved) {
        m_refusal.clear();
        if (!m_session || !m_session->isRunning()) {
            m_progress->setRange(0, std::max(m_settings->framesCount(), 1));
            m_progress->setValue(0);
        }
        appendLog(kSaved);
        showMessage(QMessageBox::Information, kSaved);
        return;
    }
    if (message.isEmpty())
        message = QStringLiteral("The plug-in refused the settings.");
    appendLog(message);
    showMessage(QMessageBox::Warning, message);
}

void HostWindow::onStartCapture()
{
    if (!m_controller || (m_session && m_session->isRunning()))
        return;
    // The controller runs on the values it last accepted; the store holds them.
    if (!m_refusal.isEmpty()) {
        appendLog(m_refusal);
        showMessage(QMessageBox::Warning, m_refusal);
        return;
    }
    CaptureSession::Plan plan = m_plan;
    plan.framesCount = m_settings->framesCount();
    plan.postSnapSeconds = m_settings->postSnapSeconds();
    plan.preSnapSeconds = m_settings->preSnapSeconds();

    if (m_session)
        m_session->deleteLater();
    m_session = new CaptureSession(m_controller, plan, m_turntable, this);
    connect(m_session, &CaptureSession::event, this, &HostWindow::appendLog);
    connect(m_session, &CaptureSession::pictureTaken, m_progress, &QProgressBar::setValue);
    connect(m_session, &CaptureSession::done, this, &HostWindow::onCaptureDone);
    m_progress->setRange(0, plan.framesCount);
    m_progress->setValue(0);
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
    for (const LabelText &entry : m_initialLabelTexts) {
        if (entry.label && entry.label->text() != entry.text)
            return true;
    }
    return false;
}

void HostWindow::pollSettled()
{
    --m_settlePollsLeft;
    if (m_settlePollsLeft > 0 && !(isVisible() && settingsWidgetSettled()))
        return;
    m_settlePoll.stop();
    if (grab().save(m_screenshotPath, "PNG")) {
        emit screenshotSaved(true, QString());
        return;
    }
    emit screenshotSaved(false,
                         QStringLiteral("cannot write the screenshot %1").arg(m_screenshotPath));
}
