#include "HostSettings.h"

#include "CAbstractTurntableController.h"
#include "HostOptions.h"
#include "OrbistoSettingsKeys.h"

namespace {

const int kDefaultFramesCount = 24;
const QString kTemporaryFileName = QStringLiteral("orbisto-host.ini");

} // namespace

HostSettings::HostSettings(const QString &path)
{
    QString file = path;
    if (file.isEmpty()) {
        m_dir = std::make_unique<QTemporaryDir>();
        file = m_dir->filePath(kTemporaryFileName);
    }
    m_settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
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

QString HostSettings::handOver(CAbstractTurntableController &controller,
                               const HostOptions &options)
{
    if (options.framesCount)
        write(OrbistoSettingsKeys::kFramesCount, *options.framesCount);
    if (options.postDelaySeconds)
        write(OrbistoSettingsKeys::kPostSnap, *options.postDelaySeconds);
    if (options.preDelaySeconds)
        write(OrbistoSettingsKeys::kPreSnap, *options.preDelaySeconds);
    controller.loadSettings(m_settings.get());
    // A store that gives the controller no frames count gets the host's default.
    if (!options.framesCount && controller.framesCount() == 0) {
        write(OrbistoSettingsKeys::kFramesCount, kDefaultFramesCount);
        controller.loadSettings(m_settings.get());
    }
    if (options.framesCount && controller.framesCount() != *options.framesCount) {
        return QStringLiteral("The plug-in reads --frames %1 as %2.")
            .arg(*options.framesCount)
            .arg(controller.framesCount());
    }
    return save(controller);
}

QString HostSettings::save(CAbstractTurntableController &controller)
{
    QString message;
    const bool saved = controller.saveSettings(m_settings.get(), message);
    m_settings->sync();
    // A refusal must come with a reason the user can read.
    if (!saved && message.isEmpty())
        message = QStringLiteral("The plug-in refused the settings.");
    return message;
}

void HostSettings::write(const char *key, int value)
{
    m_settings->beginGroup(QLatin1String(OrbistoSettingsKeys::kGroup));
    m_settings->setValue(QLatin1String(key), value);
    m_settings->endGroup();
}
