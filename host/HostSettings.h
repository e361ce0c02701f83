#ifndef HOSTSETTINGS_H
#define HOSTSETTINGS_H

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class CAbstractTurntableController;
struct HostOptions;

// The host's settings store: an INI file, temporary unless the user names one.
class HostSettings
{
public:
    explicit HostSettings(const HostOptions &options);

    bool isUsable() const;
    QString errorString() const;
    QSettings *settings() { return m_settings.get(); }

    // Hands the store to the controller and lets it check what it holds, which
    // also tells whether it found a turntable. Empty when the controller agrees,
    // else its message for the user.
    QString handOver(CAbstractTurntableController &controller);

    int framesCount();
    int postSnapSeconds();
    int preSnapSeconds();

private:
    int value(const QString &key);

    // Only when the user named no file.
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSettings> m_settings;
};

#endif // HOSTSETTINGS_H
