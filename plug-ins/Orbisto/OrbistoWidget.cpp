#include "Orbisto.h"
#include "OrbistoProtocol.h"
#include "ui_OrbistoUi.h"

#include <QApplication>
#include <QDialog>
#include <QIntValidator>
#include <QSerialPort>

QWidget *COrbisto::createSettingsWidget()
{
    // Qt aborts the whole process when a widget is built without a QApplication.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return nullptr;
    if (!m_port)
        return new QWidget;

    auto *dialog = new QDialog;
    // The previous record, if any, is freed here; its dialog keeps its own widgets.
    m_ui = std::make_unique<Ui_OrbistoUi>();
    m_ui->setupUi(dialog);
    m_dialog = dialog;
    // Whatever the device says about itself is text, never markup.
    m_ui->deviceInfoLabel->setTextFormat(Qt::PlainText);

    auto *validator = new QIntValidator(this);
    m_ui->framesCountEdit->setValidator(validator);
    m_ui->postDelayEdit->setValidator(validator);
    m_ui->preDelayEdit->setValidator(validator);

    sendCommand(OrbistoProtocol::kInformation, 1);

    connect(m_ui->continousRotateStartButton, &QPushButton::pressed, this, &COrbisto::onStartRotation);
    connect(m_ui->continousRotateStopButton, &QPushButton::pressed, this, &COrbisto::onStopRotation);

    m_ui->framesCountEdit->setText(QString::number(m_framesCount));
    m_ui->postDelayEdit->setText(QString::number(m_postSnapDelay));
    m_ui->preDelayEdit->setText(QString::number(m_preSnapDelay));
    return dialog;
}

void COrbisto::onStartRotation()
{
    Ui_OrbistoUi *form = liveForm();
    if (!form)
        return;
    sendCommand(OrbistoProtocol::kRotate, form->cwRotationButton->isChecked() ? 1 : 0);
    form->continousRotateStartButton->setEnabled(false);
    form->continousRotateStopButton->setEnabled(true);
    form->cwRotationButton->setEnabled(false);
    form->ccwRotationButton->setEnabled(false);
}

void COrbisto::onStopRotation()
{
    Ui_OrbistoUi *form = liveForm();
    if (!form)
        return;
    sendCommand(OrbistoProtocol::kStop, 1);
    form->continousRotateStopButton->setEnabled(false);
    form->continousRotateStartButton->setEnabled(true);
    form->cwRotationButton->setEnabled(true);
    form->ccwRotationButton->setEnabled(true);
}

void COrbisto::showDeviceInfo(const QString &text)
{
    if (Ui_OrbistoUi *form = liveForm())
        form->deviceInfoLabel->setText(text);
}

// The record outlives its dialog, which the host may destroy at any time.
Ui_OrbistoUi *COrbisto::liveForm() const
{
    return m_dialog ? m_ui.get() : nullptr;
}
