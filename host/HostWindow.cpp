#include "HostWindow.h"

#include "CAbstractTurntableController.h"
#include "CaptureSession.h"
#include "HostSetup.h"

#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
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
const QString kSaved = QStringLiteral("Settings saved.");

} // namespace

HostWindow::HostWindow(HostSetup *setup, QWidget *parent)
    : QWidget(parent)
    , m_setup(setup)
{
    setWindowTitle(QStringLiteral("Orbisto host"));
    auto *layout = new QVBoxLayout(this);

    auto *settingsBox = new QGroupBox(QStringLiteral("Turntable settings"), this);
    auto *settingsLayout = new QVBoxLayout(settingsBox);
    m_settingsWidget = setup->controller()->createSettingsWidget();
    if (!m_settingsWidget)
        m_settingsWidget = new QLabel(QStringLiteral("The plug-in has no settings widget."));
    // The plug-in hands over a dialog; embedded, it must neither float nor
    // close itself on Escape.
    m_settingsWidget->setWindowFlags(Qt::Widget);
    m_settingsWidget->installEventFilter(this);
    settingsLayout->addWidget(m_settingsWidget);
    layout->addWidget(settingsBox);

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
    appendLog(setup->description());
    if (!setup->refusal().isEmpty())
        appendLog(setup->refusal());

    connect(setup->log(), &EventLog::line, this, &HostWindow::appendLog);
    connect(m_saveButton, &QPushButton::clicked, this, &HostWindow::onSave);
    connect(m_startButton, &QPushButton::clicked, this, &HostWindow::onStartCapture);
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
    const QString message = m_setup->save();
    if (!message.isEmpty()) {
        appendLog(message);
        showMessage(QMessageBox::Warning, message);
        return;
    }
    // Save is disabled while a capture runs, so the bar shows no progress now.
    resetProgress();
    appendLog(kSaved);
    showMessage(QMessageBox::Information, kSaved);
}

void HostWindow::onStartCapture()
{
    if (m_session && m_session->isRunning())
        return;
    // The controller runs on the values it last accepted.
    const QString refusal = m_setup->refusal();
    if (!refusal.isEmpty()) {
        appendLog(refusal);
        showMessage(QMessageBox::Warning, refusal);
        return;
    }
    if (m_session)
        m_session->deleteLater();
    m_session = new CaptureSession(m_setup->controller(), m_setup->plan(), m_setup->log(), this);
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
    m_progress->setRange(0, std::max<int>(m_setup->controller()->framesCount(), 1));
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
    for (QLabel *label : m_settingsWidget->findChildren<QLabel *>())
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
        const bool ok = grab().save(path);
        emit screenshotSaved(ok, ok ? QString()
                                    : QStringLiteral("cannot write the screenshot %1").arg(path));
    });
    poll->start(kSettlePollIntervalMs);
}
