#ifndef HOSTOPTIONS_H
#define HOSTOPTIONS_H

#include <QString>
#include <QStringList>

// What the user asked for on the command line, checked and with defaults filled in.
struct HostOptions
{
    enum class Fault { None, Silent, Error };

    int framesCount = 24;
    int postSnapSeconds = 0;
    int preSnapSeconds = 0;
    // 0 waits forever.
    int timeoutSeconds = 30;
    // Which of the three values the user gave, so a settings file keeps the rest.
    bool framesCountGiven = false;
    bool postSnapGiven = false;
    bool preSnapGiven = false;

    QString pluginPath;
    QString snapCommand;
    QString settingsPath;
    Fault fault = Fault::None;

    bool gui = false;
    QString screenshotPath;
    // List the serial ports and what the plug-in would make of them, and stop.
    bool listPorts = false;
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

// Whether the raw arguments ask for a window. The answer decides which
// application object is created, so it is needed before options are parsed.
bool wantsGui(int argc, char *argv[]);
bool wantsScreenshot(int argc, char *argv[]);

} // namespace HostCommandLine

#endif // HOSTOPTIONS_H
