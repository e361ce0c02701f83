#include "EventLog.h"

namespace {

const int kStampWidth = 5;

} // namespace

void EventLog::restart()
{
    m_clock.start();
    emit restarted();
}

void EventLog::add(const QString &text)
{
    if (!m_clock.isValid())
        m_clock.start();
    emit line(QStringLiteral("[%1 ms] %2").arg(m_clock.elapsed(), kStampWidth).arg(text));
}
