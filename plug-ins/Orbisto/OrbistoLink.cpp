#include "Orbisto.h"
#include "OrbistoPlatform.h"
#include "OrbistoProtocol.h"
#include "ui_OrbistoUi.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

#include <algorithm>

namespace {

// The turntable is an STM32 board; the USB stack reports this vendor string.
const QString kTurntableManufacturer = QStringLiteral("STMicroelectronics");

// The disable command must leave before the port closes, but a dead device
// must not hold up the host's shutdown for long.
const int kGoodbyeTimeoutMs = 300;

QList<SerialPortCandidate> systemSerialPorts()
{
    QList<SerialPortCandidate> candidates;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        candidates.append({info.systemLocation(), info.manufacturer()});
    return OrbistoPlatform::scanCandidates(candidates, OrbistoPlatform::currentPlatform());
}

void sayGoodbye(QSerialPort *port)
{
    port->write(OrbistoProtocol::commandFrame(OrbistoProtocol::kEnable, 0));
    // close() drops whatever is still buffered, so give the bytes a moment to leave.
    const QDeadlineTimer deadline(kGoodbyeTimeoutMs);
    while (port->bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!port->waitForBytesWritten(int(deadline.remainingTime())))
            break;
    }
    port->close();
}

} // namespace

COrbisto::COrbisto()
    : COrbisto(systemSerialPorts())
{
}

COrbisto::COrbisto(const QList<SerialPortCandidate> &candidates)
{
    scan(candidates);
}

COrbisto::~COrbisto()
{
    // Ports the scan left behind get the same goodbye as the current one.
    for (const std::unique_ptr<QSerialPort> &port : m_openPorts) {
        disconnect(port.get(), nullptr, this, nullptr);
        sayGoodbye(port.get());
    }
}

void COrbisto::scan(const QList<SerialPortCandidate> &candidates)
{
    // Every matching port is tried; the last one decides whether we have a turntable.
    for (const SerialPortCandidate &candidate : candidates) {
        if (!candidate.manufacturer.startsWith(kTurntableManufacturer, Qt::CaseSensitive))
            continue;
        auto port = std::make_unique<QSerialPort>(candidate.systemLocation);
        m_port = port.get();
        if (!port->open(QIODevice::ReadWrite))
            continue; // the failed port is destroyed here, so m_port reads null
        sendCommand(OrbistoProtocol::kEnable, 1);
        connect(port.get(), &QSerialPort::readyRead, this, &COrbisto::onReadyRead);
        connect(port.get(), &QSerialPort::errorOccurred, this,
                [this, raw = port.get()] { onPortError(raw); });
        m_openPorts.push_back(std::move(port));
    }
    if (m_port)
        m_machine.turntableFound();
}

void COrbisto::onPortError(QSerialPort *port)
{
    using namespace OrbistoPlatform;
    if (!isDeviceGone(port->error(), lineHungUp(*port), currentPlatform()))
        return;
    // Closing stops the storm of errors; without its port the controller is
    // one that found no turntable, and a superseded port just goes quietly.
    disconnect(port, nullptr, this, nullptr);
    port->close();
    if (m_port == port) {
        m_port = nullptr;
        apply(m_machine.portLost());
    }
    const auto lost = std::find_if(m_openPorts.begin(), m_openPorts.end(),
                                   [port](const std::unique_ptr<QSerialPort> &open) { return open.get() == port; });
    if (lost == m_openPorts.end())
        return;
    m_lostPorts.push_back(std::move(*lost));
    m_openPorts.erase(lost);
    QTimer::singleShot(0, this, [this] { m_lostPorts.clear(); });
}

void COrbisto::sendCommand(char letter, int value)
{
    if (QSerialPort *port = m_port)
        port->write(OrbistoProtocol::commandFrame(letter, value));
}

void COrbisto::onReadyRead()
{
    QSerialPort *port = m_port;
    if (!port)
        return;
    // Data on a port the scan superseded also lands here and reads nothing
    // from m_port; such an empty read still tells the rotation state.
    apply(m_machine.read(port->readAll()));
}
