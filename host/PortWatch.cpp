#include "PortWatch.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

// A look at a port's node costs a few microseconds, so a pulled cable is
// named within a fraction of a second at no cost to the capture. The
// system's list of ports costs milliseconds: it is taken once, at the start.
const int kLookIntervalMs = 200;

// Whether the port is still there: its node on Unix, where the system need
// not list a port (a pseudo-terminal) but removes a device's node with it;
// the system's list on Windows, whose ports are names such as COM3, not files.
bool isPresent(const QString &port)
{
#ifdef Q_OS_WIN
    return !QSerialPortInfo(port).isNull();
#else
    return QFileInfo::exists(port);
#endif
}

QString portOf(const QSerialPortInfo &info)
{
#ifdef Q_OS_WIN
    // The name the system's list is looked up by.
    return info.portName();
#else
    return info.systemLocation();
#endif
}

} // namespace

PortWatch::PortWatch(const Target &target, QObject *parent)
    : QObject(parent)
    , m_target(target)
{
    m_timer.setInterval(kLookIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &PortWatch::look);
}

void PortWatch::start()
{
    m_watched.clear();
    // A named port is watched even when it is already gone: that is news too.
    if (!m_target.path.isEmpty()) {
        m_watched.append(m_target.path);
    } else {
        const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : available) {
            if (info.manufacturer().startsWith(m_target.maker))
                m_watched.append(portOf(info));
        }
    }
    // Without a port of the maker, the plug-in has no turntable to lose.
    if (!m_watched.isEmpty())
        m_timer.start();
}

void PortWatch::look()
{
    // While one of the ports remains, the turntable may be on it.
    if (std::any_of(m_watched.cbegin(), m_watched.cend(), isPresent))
        return;
    m_timer.stop();
    emit gone(m_watched.size() == 1
                  ? QStringLiteral("The port %1 left the system, as a port does when its "
                                   "cable is pulled")
                        .arg(m_watched.constFirst())
                  : QStringLiteral("The ports %1 left the system, as ports do when their "
                                   "cables are pulled")
                        .arg(m_watched.join(QStringLiteral(", "))));
}
