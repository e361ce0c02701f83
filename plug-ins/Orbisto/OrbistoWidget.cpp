#include "Orbisto.h"
#include "OrbistoMessages.h"
#include "ui_OrbistoUi.h"

#include <QApplication>
#include <QDialog>
#include <QIntValidator>
#include <QSerialPort>

#include <algorithm>

QWidget *COrbisto::createSettingsWidget()
{
    // Qt aborts the whole process when a widget is built without a QApplication.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return nullptr;
    if (!m_port)
        return new QWidget;

    auto *dialog = new QDialog;
    // Records of dialogs the host has destroyed are freed here; those of open
    // dialogs stay, since every open dialog keeps working.
    m_forms.erase(std::remove_if(m_forms.begin(), m_forms.end(), [](const Form &form) { return !form.dialog; }),
                  m_forms.end());
    m_forms.push_back({dialog, std::make_unique<Ui_OrbistoUi>()});
    m_ui = m_forms.back().ui.get();
    Ui_OrbistoUi *form = m_ui;
    form->setupUi(dialog);
    // Whatever the device says about itself is text, never markup.
    form->deviceInfoLabel->setTextFormat(Qt::PlainText);

    auto *validator = new QIntValidator(this);
    form->framesCountEdit->setValidator(validator);
    form->postDelayEdit->setValidator(validator);
    form->preDelayEdit->setValidator(validator);

    // Asks for the device's information and locks the new panel while a capture runs.
    apply(m_machine.dialogBuilt());

    // A press acts on the dialog whose button went down. The record lives as
    // long as its dialog, and the connection no longer than the controller.
    connect(form->continousRotateStartButton, &QPushButton::pressed, this, [this, form] { startRotation(*form); });
    connect(form->continousRotateStopButton, &QPushButton::pressed, this, [this, form] { stopRotation(*form); });

    form->framesCountEdit->setText(QString::number(m_framesCount));
    form->postDelayEdit->setText(QString::number(m_postSnapDelay));
    form->preDelayEdit->setText(QString::number(m_preSnapDelay));
    return dialog;
}

void COrbisto::onStartRotation()
{
    if (Ui_OrbistoUi *form = latestOpenForm())
        startRotation(*form);
}

void COrbisto::onStopRotation()
{
    if (Ui_OrbistoUi *form = latestOpenForm())
        stopRotation(*form);
}

// Without a turntable a press reaches nothing, and during a capture it would
// move the table between turns: the machine refuses both.
void COrbisto::startRotation(Ui_OrbistoUi &form)
{
    const OrbistoMachine::Actions actions = m_machine.startPressed(form.cwRotationButton->isChecked());
    if (!actions.accepted)
        return;
    apply(actions);
    form.continousRotateStartButton->setEnabled(false);
    form.continousRotateStopButton->setEnabled(true);
    form.cwRotationButton->setEnabled(false);
    form.ccwRotationButton->setEnabled(false);
}

void COrbisto::stopRotation(Ui_OrbistoUi &form)
{
    const OrbistoMachine::Actions actions = m_machine.stopPressed();
    if (!actions.accepted)
        return;
    apply(actions);
    form.continousRotateStopButton->setEnabled(false);
    form.continousRotateStartButton->setEnabled(true);
    form.cwRotationButton->setEnabled(true);
    form.ccwRotationButton->setEnabled(true);
}

// Only the panel's frame is switched, so its buttons come back as they were.
void COrbisto::updateRotationPanels(bool usable)
{
    for (const Form &form : m_forms) {
        if (form.dialog)
            form.ui->groupBox_2->setEnabled(usable);
    }
}

void COrbisto::showDeviceInfo(const QString &text)
{
    if (Ui_OrbistoUi *form = latestOpenForm())
        form->deviceInfoLabel->setText(text);
}

void COrbisto::showTurntableGone()
{
    for (const Form &form : m_forms) {
        if (form.dialog)
            form.ui->deviceInfoLabel->setText(QLatin1String(OrbistoMessages::kNotDetected));
    }
}

// Records outlive their dialogs, which the host may destroy at any time.
Ui_OrbistoUi *COrbisto::latestOpenForm() const
{
    const auto open = std::find_if(m_forms.rbegin(), m_forms.rend(), [](const Form &form) { return form.dialog; });
    return open == m_forms.rend() ? nullptr : open->ui.get();
}
