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

    std::optional<int> framesCount;
    std::optional<int> postDelaySeconds;
    std::optional<int> preDelaySeconds;
    // 0 waits forever.
    int timeoutSeconds = 30;

    QString pluginPath;
    QString snapCommand;
    QString settingsPath;
    Fault fault = Fault::None;

    bool gui = false;
    QString screenshotPath;
};

// The outcome of reading the command line: options to run with, or text to
// print and the status to exit with.
struct HostOptionsResult
{
    enum class Action { Run, ShowHelp, ShowVersion, Fail };

    Action action = Action::Run;
    HostOptions options;
    QString text;
};

namespace HostCommandLine {

// The exit status for options that cannot be used.
const int kUsageError = 2;

// arguments includes the program name, as QCoreApplication::arguments() gives it.
HostOptionsResult parse(const QStringList &arguments);

} // namespace HostCommandLine

#endif // HOSTOPTIONS_H
