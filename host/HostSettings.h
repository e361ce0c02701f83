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
    explicit HostSettings(const QString &path);

    bool isUsable() const;
    QString errorString() const;
    QSettings *settings() { return m_settings.get(); }

    // Writes the capture values the user gave into the store, hands it to the
    // controller and asks the controller to save what it then holds, which
    // also tells whether it found a turntable. Empty when the controller
    // agrees, else the message for the user.
    QString handOver(CAbstractTurntableController &controller, const HostOptions &options);

    // The controller's verdict on a save; empty when it agreed.
    QString save(CAbstractTurntableController &controller);

private:
    void write(const char *key, int value);

    // Only when the user named no file.
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSettings> m_settings;
};

#endif // HOSTSETTINGS_H
