#ifndef ORBISTO_H
#define ORBISTO_H

#include "CAbstractTurntableController.h"
#include "OrbistoMachine.h"
#include "SerialPortCandidate.h"

#include <QPointer>
#include <QtContainerFwd>

#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QDialog;
class QSerialPort;
class Ui_OrbistoUi;
QT_END_NAMESPACE

// The controller of the Orbisto turntable. It adds no meta-object of its own:
// hosts know it only as a CAbstractTurntableController.
class COrbisto : public CAbstractTurntableController // clazy:exclude=missing-qobject-macro,ctor-missing-parent-argument
{
public:
    // Scans the system's serial ports.
    COrbisto();
    // Scans the given ports instead, for a turntable the system cannot enumerate.
    explicit COrbisto(const QList<SerialPortCandidate> &candidates);
    ~COrbisto() override;

    QWidget *createSettingsWidget() override;
    quint16 framesCount() override;
    bool startCapture() override;
    bool saveSettings(QSettings *settings, QString &errorMessage) override;
    void loadSettings(QSettings *settings) override;
    void snapTaken(int count) override;

    // Writes the frame "#<letter><value>." to the turntable.
    void sendCommand(char letter, int value);

    void onReadyRead();
    void onStartRotation();
    void onStopRotation();

private:
    void scan(const QList<SerialPortCandidate> &candidates);
    void onPortError(QSerialPort *port);
    // Carries out what the machine decided; a signal comes last, since the
    // host may delete the controller from its slot.
    void apply(const OrbistoMachine::Actions &actions);
    void startDelay(const OrbistoMachine::Delay &delay);
    void startRotation(Ui_OrbistoUi &form);
    void stopRotation(Ui_OrbistoUi &form);
    void updateRotationPanels(bool usable);
    void showDeviceInfo(const QString &text);
    void showTurntableGone();
    Ui_OrbistoUi *latestOpenForm() const;

    // The form record of the most recent dialog, held in m_forms.
    Ui_OrbistoUi *m_ui = nullptr;
    QPointer<QSerialPort> m_port;
    quint16 m_framesCount = 0;
    int m_postSnapDelay = 0;
    int m_preSnapDelay = 0;

    // Every port the scan opened, the current one included; they are told
    // goodbye and freed with the controller.
    std::vector<std::unique_ptr<QSerialPort>> m_openPorts;
    // Ports whose device went away: closed at once, freed on the next pass of
    // the event loop, since one of their own signals reported the loss.
    std::vector<std::unique_ptr<QSerialPort>> m_lostPorts;
    // The capture, continuous rotation and what the device's replies mean.
    OrbistoMachine m_machine;
    // Every dialog built, oldest first, with its form record; the host may
    // destroy a dialog at any time, while its record lives on until the next
    // dialog is built.
    struct Form
    {
        QPointer<QDialog> dialog;
        std::unique_ptr<Ui_OrbistoUi> ui;
    };
    std::vector<Form> m_forms;
};

#endif // ORBISTO_H
