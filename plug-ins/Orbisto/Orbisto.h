#ifndef ORBISTO_H
#define ORBISTO_H

#include "CAbstractTurntableController.h"
#include "OrbistoReply.h"
#include "SerialPortCandidate.h"

#include <QByteArray>
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
class COrbisto : public CAbstractTurntableController
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
    void startPreSnapDelay();
    void showDeviceInfo(const QString &text);
    Ui_OrbistoUi *liveForm() const;

    std::unique_ptr<Ui_OrbistoUi> m_ui;
    QPointer<QSerialPort> m_port;
    quint16 m_framesCount = 0;
    QByteArray m_lastCommand;
    bool m_rotating = false;
    int m_stepsPerFrame = 0;
    int m_postSnapDelay = 0;
    int m_preSnapDelay = 0;

    // Every port the scan opened, the current one included; they are told
    // goodbye and freed with the controller.
    std::vector<std::unique_ptr<QSerialPort>> m_openPorts;
    // Ports whose device went away: closed at once, freed on the next pass of
    // the event loop, since one of their own signals reported the loss.
    std::vector<std::unique_ptr<QSerialPort>> m_lostPorts;
    // The device's answer to m_lastCommand, as far as it has arrived.
    OrbistoReply m_reply;
    // The dialog of m_ui; the host may destroy it while the record lives on.
    QPointer<QDialog> m_dialog;
};

#endif // ORBISTO_H
