#ifndef HOSTOPTIONS_H
#define HOSTOPTIONS_H

#include <QString>
#include <QStringList>

#include <optional>

// What the user asked for on the command line. The capture's values are kept
// only when given: the rest comes from the settings store.
struct HostOptions
{
    enum class Fault { None, Silent, Error };

    std::optional<int> frames;
    std::optional<int> postDelaySeconds;
    std::optional<int> preDelaySeconds;
    // 0 waits forever.
    int timeoutSeconds = 30;

    QString pluginPath;
    // A serial port to drive with the host's own controller, whatever its maker.
    QString portPath;
    QString snapCommand;
    QString settingsPath;
    Fault fault = Fault::None;

    bool gui = false;
    QString screenshotPath;
    // List the serial ports and what the plug-in would make of them, and stop.
    bool listPorts = false;
};

// The exit status for options that cannot be used.
const int kUsageError = 2;

// Reads the command line; arguments include the program name. For --help and
// --version, or options that cannot be used, it prints what the user needs and
// gives no options but the status to exit with.
std::optional<HostOptions> parseCommandLine(const QStringList &arguments, int &exitStatus);

#endif // HOSTOPTIONS_H
