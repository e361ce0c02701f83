#ifndef ORBISTOPLATFORM_H
#define ORBISTOPLATFORM_H

#include "SerialPortCandidate.h"

#include <QList>
#include <QSerialPort>

// The few places where the turntable's serial port behaves differently on
// Linux, macOS and Windows. Each decision takes the platform as a parameter,
// so every platform's answers can be checked on any of them; only
// currentPlatform() and lineHungUp() look at the system the code runs on.
namespace OrbistoPlatform {

enum class Platform {
    Linux, // and any other Unix: Qt's serial port treats them alike
    MacOS,
    Windows,
};

Platform currentPlatform();

// Whether the port's line reads as hung up right now, as after a pulled
// cable. Windows has no such reading: always false there.
bool lineHungUp(const QSerialPort &port);

// Whether an error that an open port reported means its device is gone.
bool isDeviceGone(QSerialPort::SerialPortError error, bool lineHungUp, Platform platform);

// The serial ports the scan should try, in the system's order. macOS lists
// each USB serial device twice, as /dev/cu.NAME for calling out and
// /dev/tty.NAME for calling in; the call-in node may block or be refused
// while its twin is open, so only the cu.* node of such a pair is kept.
QList<SerialPortCandidate> scanCandidates(const QList<SerialPortCandidate> &ports, Platform platform);

} // namespace OrbistoPlatform

#endif // ORBISTOPLATFORM_H
