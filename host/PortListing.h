#ifndef PORTLISTING_H
#define PORTLISTING_H

#include "HostPlatform.h"
#include "OrbistoPlatform.h"
#include "SerialPortCandidate.h"

#include <QList>
#include <QString>

QT_BEGIN_NAMESPACE
class QSerialPortInfo;
class QTextStream;
QT_END_NAMESPACE

// What this user's programs can do with each serial port the system lists,
// and which one the plug-in would take: the answer to "The Orbisto turntable
// was not detected." It only looks: opening a port to test it sends nothing.
namespace PortListing {

// One line per port and a closing verdict. Returns 0 when the plug-in would
// find a turntable, 1 otherwise.
int list(const QList<QSerialPortInfo> &ports, QTextStream &out);

// Where in ports the port lies that the plug-in's scan would end up with on
// that platform, or -1 when it would take none: the last port of the
// turntable's maker among those the scan tries (on macOS the cu.* node of a
// cu.*/tty.* pair, not the tty.* node that the system lists after it).
int portToTake(const QList<SerialPortCandidate> &ports, OrbistoPlatform::Platform platform);

// What to say of a port whose USB vendor is the turntable's maker but whose
// maker string is another, or empty when there is nothing to say. The plug-in
// goes by the maker string alone. On Windows that string is the one the
// driver's INF file names, so Windows' own driver hides the turntable and the
// maker's driver shows it; elsewhere it is the device's own.
QString makerNote(bool hasVendorId, quint16 vendorId, const QString &manufacturer, HostPlatform::Platform platform);

// Why this process cannot open the port read-write, or empty when it can:
// "permission denied", "busy, held by NAME (pid N)", "gone", ...
QString accessProblem(const QString &systemLocation);

} // namespace PortListing

#endif // PORTLISTING_H
