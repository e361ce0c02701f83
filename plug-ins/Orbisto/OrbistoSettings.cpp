#include "Orbisto.h"
#include "OrbistoMessages.h"
#include "OrbistoSettingsKeys.h"
#include "ui_OrbistoUi.h"

#include <QSerialPort>
#include <QSettings>

namespace {

const uint kMinFramesCount = 2;
const uint kMaxFramesCount = 72;

// An absent key leaves the member alone; a present one that is not a number reads as 0.
template<typename T>
void loadInteger(QSettings *settings, const QString &key, T &member)
{
    const QVariant value = settings->value(key, QVariant());
    if (value.isValid())
        member = T(value.toInt());
}

} // namespace

void COrbisto::loadSettings(QSettings *settings)
{
    if (!settings)
        return;
    // The keys stay character arrays until they are used: a QString at
    // namespace scope would be built when a host loads the module and
    // destroyed when it unloads it.
    settings->beginGroup(QLatin1String(OrbistoSettingsKeys::kGroup));
    loadInteger(settings, QLatin1String(OrbistoSettingsKeys::kFramesCount), m_framesCount);
    loadInteger(settings, QLatin1String(OrbistoSettingsKeys::kPostSnap), m_postSnapDelay);
    loadInteger(settings, QLatin1String(OrbistoSettingsKeys::kPreSnap), m_preSnapDelay);
    settings->endGroup();
}

bool COrbisto::saveSettings(QSettings *settings, QString &errorMessage)
{
    if (!m_port) {
        errorMessage = QLatin1String(OrbistoMessages::kNotDetected);
    } else if (m_machine.isRotating()) {
        errorMessage = QStringLiteral("Stop the permanent rotation first.");
    } else {
        // The user's entries in the most recent dialog still open, else what we
        // hold now, so that nothing unchecked is ever written.
        uint framesCount = m_framesCount;
        int postSnapDelay = m_postSnapDelay;
        int preSnapDelay = m_preSnapDelay;
        if (Ui_OrbistoUi *form = latestOpenForm()) {
            // toUInt() and toInt() answer 0 for text that is not a number.
            framesCount = form->framesCountEdit->text().toUInt(nullptr, 10);
            postSnapDelay = form->postDelayEdit->text().toInt(nullptr, 10);
            preSnapDelay = form->preDelayEdit->text().toInt(nullptr, 10);
        }
        // The whole number is checked: narrowing first would let 65538 pass as 2.
        if (framesCount < kMinFramesCount || framesCount > kMaxFramesCount) {
            errorMessage = QStringLiteral("Frames count value must be in the range of 2-72.");
        } else {
            m_framesCount = quint16(framesCount);
            m_postSnapDelay = postSnapDelay;
            m_preSnapDelay = preSnapDelay;
            if (settings) {
                settings->beginGroup(QLatin1String(OrbistoSettingsKeys::kGroup));
                settings->setValue(QLatin1String(OrbistoSettingsKeys::kFramesCount), int(m_framesCount));
                settings->setValue(QLatin1String(OrbistoSettingsKeys::kPostSnap), m_postSnapDelay);
                settings->setValue(QLatin1String(OrbistoSettingsKeys::kPreSnap), m_preSnapDelay);
                settings->endGroup();
            }
        }
    }
    return errorMessage.isEmpty();
}
