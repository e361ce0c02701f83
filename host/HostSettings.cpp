#include "HostSettings.h"

#include "CAbstractTurntableController.h"
#include "HostOptions.h"

namespace {

const QString kGroup = QStringLiteral("Orbisto");
const QString kFramesCountKey = QStringLiteral("framesCount");
const QString kPostSnapKey = QStringLiteral("postSnap");
const QString kPreSnapKey = QStringLiteral("preSnap");
const QString kTemporaryFileName = QStringLiteral("orbisto-host.ini");

} // namespace

HostSettings::HostSettings(const HostOptions &options)
{
    QString path = options.settingsPath;
    if (path.isEmpty()) {
        m_dir = std::make_unique<QTemporaryDir>();
        path = m_dir->filePath(kTemporaryFileName);
    }
    m_settings = std::make_unique<QSettings>(path, QSettings::IniFormat);

    // A value the user gave wins; a key the file lacks gets the default.
    const struct
    {
        const QString &key;
        int value;
        bool given;
    } values[] = {
        {kFramesCountKey, options.framesCount, options.framesCountGiven},
        {kPostSnapKey, options.postSnapSeconds, options.postSnapGiven},
        {kPreSnapKey, options.preSnapSeconds, options.preSnapGiven},
    };
    m_settings->beginGroup(kGroup);
    for (const auto &entry : values) {
        if (entry.given || !m_settings->contains(entry.key))
            m_settings->setValue(entry.key, entry.value);
    }
    m_settings->endGroup();
    m_settings->sync();
}

bool HostSettings::isUsable() const
{
    return (!m_dir || m_dir->isValid()) && m_settings->status() == QSettings::NoError;
}

QString HostSettings::errorString() const
{
    if (m_settings->status() == QSettings::FormatError)
        return QStringLiteral("%1 is not an INI file").arg(m_settings->fileName());
    return QStringLiteral("cannot write the settings file %1").arg(m_settings->fileName());
}

QString HostSettings::handOver(CAbstractTurntableController &controller)
{
    controller.loadSettings(m_settings.get());
    QString message;
    if (controller.saveSettings(m_settings.get(), message))
        return QString();
    // A refusal must come with a reason the user can read.
    return message.isEmpty() ? QStringLiteral("The plug-in refused the settings.") : message;
}

int HostSettings::framesCount()
{
    return value(kFramesCountKey);
}

int HostSettings::postSnapSeconds()
{
    return value(kPostSnapKey);
}

int HostSettings::preSnapSeconds()
{
    return value(kPreSnapKey);
}

int HostSettings::value(const QString &key)
{
    m_settings->beginGroup(kGroup);
    const int number = m_settings->value(key).toInt();
    m_settings->endGroup();
    return number;
}
