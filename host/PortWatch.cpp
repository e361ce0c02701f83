#include "PortWatch.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

// A stat or a port listing a few times a second costs nothing beside a
// capture, and a pulled cable is named well before anyone wonders.
const int kLookIntervalMs = 200;

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
    // A named port is watched even when it is already gone: that is news too.
    m_watched = m_target.path.isEmpty() ? present() : QStringList{m_target.path};
    // Without a port of the maker, the plug-in has no turntable to lose.
    if (!m_watched.isEmpty())
        m_timer.start();
}

QStringList PortWatch::present() const
{
    QStringList ports;
    if (!m_target.path.isEmpty()) {
#ifdef Q_OS_WIN
        // A Windows port is a name such as COM3, not a file; the system lists it.
        const bool exists = !QSerialPortInfo(m_target.path).isNull();
#else
        // A Unix port is a device file, a pseudo-terminal included, which the
        // system may not list; its node goes when the device does.
        const bool exists = QFileInfo::exists(m_target.path);
#endif
        if (exists)
            ports.append(m_target.path);
        return ports;
    }
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        if (info.manufacturer().startsWith(m_target.maker))
            ports.append(info.systemLocation());
    }
    return ports;
}

void PortWatch::look()
{
    const QStringList now = present();
    // While one of the ports remains, the turntable may be on it.
    const bool anyLeft = std::any_of(m_watched.cbegin(), m_watched.cend(),
                                     [&now](const QString &port) { return now.contains(port); });
    if (anyLeft)
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
