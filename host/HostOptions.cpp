#include "HostOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <climits>
#include <cstring>
#include <optional>

namespace {

const int kMinFramesCount = 2;
const int kMaxFramesCount = 72;

const char kGuiOption[] = "gui";
const char kScreenshotOption[] = "screenshot";

// Options that take a value; the early look at argv must skip their values.
const char *const kValueOptions[] = {"frames",       "post-snap", "pre-snap",
                                     "timeout",      "plugin",    "snap-command",
                                     "settings",     "simulate-fault", kScreenshotOption};

const char kDescription[] =
    "Reference host for the Orbisto turntable plug-in. It runs one capture: the\n"
    "plug-in asks for a picture, the host takes it and reports it, the turntable\n"
    "turns, and so on until the plug-in says the series is finished. Every event\n"
    "is printed with the milliseconds since the capture started.\n"
    "\n"
    "Without --plugin the host builds the plug-in's controller itself on a\n"
    "simulated turntable (a pseudo-terminal) and also prints the turn commands the\n"
    "turntable received and its answers.\n"
    "\n"
    "Exit status: 0 when the plug-in finished after exactly the configured number\n"
    "of pictures; 1 when the plug-in refused the settings or the capture, no\n"
    "turntable was found, the plug-in could not be loaded or the capture stalled;\n"
    "2 for options that cannot be used; the snap command's own status when it\n"
    "failed.";

bool isValueOption(const char *argument)
{
    if (std::strncmp(argument, "--", 2) != 0 || std::strchr(argument, '='))
        return false;
    for (const char *name : kValueOptions) {
        if (std::strcmp(argument + 2, name) == 0)
            return true;
    }
    return false;
}

// Whether the option appears as an option, not as the value of another one.
// A flag given a value is left for the parser to refuse.
bool hasOption(int argc, char *argv[], const char *name, bool takesValue)
{
    const QByteArray flag = QByteArray("--") + name;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (flag == argv[i] || (takesValue && QByteArray(argv[i]).startsWith(flag + '=')))
            return true;
        if (isValueOption(argv[i]))
            ++i;
    }
    return false;
}

std::optional<int> parseInteger(const QString &text, int minimum, int maximum)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

HostOptionsResult failure(const QString &text)
{
    HostOptionsResult result;
    result.action = HostOptionsResult::Action::Fail;
    result.text = text;
    return result;
}

} // namespace

namespace HostCommandLine {

bool wantsGui(int argc, char *argv[])
{
    return hasOption(argc, argv, kGuiOption, false);
}

bool wantsScreenshot(int argc, char *argv[])
{
    return hasOption(argc, argv, kScreenshotOption, true);
}

HostOptionsResult parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    // Not addHelpOption(): its --help-all lists Qt's own options, which this
    // host does not take.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays this help."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();

    const QCommandLineOption framesOption(
        QStringLiteral("frames"),
        QStringLiteral("Pictures per revolution, %1 to %2 (default 24).")
            .arg(kMinFramesCount)
            .arg(kMaxFramesCount),
        QStringLiteral("N"));
    const QCommandLineOption postSnapOption(
        QStringLiteral("post-snap"),
        QStringLiteral("Seconds the plug-in waits after a picture before turning (default 0)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption preSnapOption(
        QStringLiteral("pre-snap"),
        QStringLiteral("Seconds the plug-in waits after a turn before the next picture "
                       "(default 0)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("Give up when a step of the capture gets no answer within this many "
                       "seconds plus the step's configured delay; 0 waits forever "
                       "(default 30). A snap command gets the same time to finish."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption pluginOption(
        QStringLiteral("plugin"),
        QStringLiteral("Load the plug-in library at PATH and drive the turntable its "
                       "controller finds, instead of the simulated one."),
        QStringLiteral("PATH"));
    const QCommandLineOption snapCommandOption(
        QStringLiteral("snap-command"),
        QStringLiteral("Take each picture by running CMD with /bin/sh -c; ORBISTO_PICTURE "
                       "holds the picture's number and ORBISTO_FRAMES the frames count. A "
                       "failing command stops the capture with its exit status. Without "
                       "it, pictures are only pretended."),
        QStringLiteral("CMD"));
    const QCommandLineOption settingsOption(
        QStringLiteral("settings"),
        QStringLiteral("Keep the plug-in's settings in this INI file instead of a temporary "
                       "one. Values given as options are written into it first; the plug-in "
                       "checks what it then holds."),
        QStringLiteral("FILE"));
    const QCommandLineOption faultOption(
        QStringLiteral("simulate-fault"),
        QStringLiteral("Make the simulated turntable misbehave on turn commands: 'silent' "
                       "never answers, 'error' answers \"Error: motor blocked\". Not with "
                       "--plugin."),
        QStringLiteral("KIND"));
    const QCommandLineOption guiOption(
        QString::fromLatin1(kGuiOption),
        QStringLiteral("Open a window with the plug-in's settings widget, a Save button and "
                       "a Start capture button with progress and event log."));
    const QCommandLineOption screenshotOption(
        QString::fromLatin1(kScreenshotOption),
        QStringLiteral("With --gui: render the window offscreen into the PNG file FILE once "
                       "the turntable has identified itself, then exit."),
        QStringLiteral("FILE"));

    const QCommandLineOption listPortsOption(
        QStringLiteral("list-ports"),
        QStringLiteral("List every serial port the system has: maker, ids, whether this user can "
                       "open it, and which one the plug-in would take. Exit status 0 when it would "
                       "find a turntable, 1 otherwise."));
    parser.addOptions({framesOption, postSnapOption, preSnapOption, timeoutOption, pluginOption,
                       snapCommandOption, settingsOption, faultOption, guiOption,
                       screenshotOption, listPortsOption});

    if (!parser.parse(arguments))
        return failure(parser.errorText());

    if (parser.isSet(helpOption)) {
        HostOptionsResult result;
        result.action = HostOptionsResult::Action::ShowHelp;
        result.text = parser.helpText();
        return result;
    }
    if (parser.isSet(versionOption)) {
        HostOptionsResult result;
        result.action = HostOptionsResult::Action::ShowVersion;
        result.text = QCoreApplication::applicationName() + QLatin1Char(' ')
            + QCoreApplication::applicationVersion();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return failure(QStringLiteral("Unexpected argument '%1'.")
                           .arg(parser.positionalArguments().constFirst()));
    }

    HostOptions options;
    struct IntegerOption
    {
        const QCommandLineOption &option;
        int minimum;
        int maximum;
        int &value;
        bool *given;
        QString range;
    };
    const QString seconds = QStringLiteral("a whole number of seconds, 0 or more");
    const IntegerOption integers[] = {
        {framesOption, kMinFramesCount, kMaxFramesCount, options.framesCount,
         &options.framesCountGiven,
         QStringLiteral("a whole number from %1 to %2").arg(kMinFramesCount).arg(kMaxFramesCount)},
        {postSnapOption, 0, INT_MAX, options.postSnapSeconds, &options.postSnapGiven, seconds},
        {preSnapOption, 0, INT_MAX, options.preSnapSeconds, &options.preSnapGiven, seconds},
        {timeoutOption, 0, INT_MAX, options.timeoutSeconds, nullptr, seconds},
    };
    for (const IntegerOption &integer : integers) {
        if (!parser.isSet(integer.option))
            continue;
        const QString text = parser.value(integer.option);
        const std::optional<int> value = parseInteger(text, integer.minimum, integer.maximum);
        if (!value) {
            return failure(QStringLiteral("--%1 must be %2, not '%3'.")
                               .arg(integer.option.names().constFirst(), integer.range, text));
        }
        integer.value = *value;
        if (integer.given)
            *integer.given = true;
    }

    options.pluginPath = parser.value(pluginOption);
    options.snapCommand = parser.value(snapCommandOption);
    options.settingsPath = parser.value(settingsOption);
    options.gui = parser.isSet(guiOption);
    options.listPorts = parser.isSet(listPortsOption);
    options.screenshotPath = parser.value(screenshotOption);

    if (parser.isSet(pluginOption) && options.pluginPath.isEmpty())
        return failure(QStringLiteral("--plugin needs the path of a library."));
    if (parser.isSet(snapCommandOption) && options.snapCommand.isEmpty())
        return failure(QStringLiteral("--snap-command needs a command."));
    if (parser.isSet(settingsOption) && options.settingsPath.isEmpty())
        return failure(QStringLiteral("--settings needs the path of a file."));
    if (parser.isSet(screenshotOption) && options.screenshotPath.isEmpty())
        return failure(QStringLiteral("--screenshot needs the path of a file."));
    if (parser.isSet(screenshotOption) && !options.gui)
        return failure(QStringLiteral("--screenshot works only with --gui."));

    if (parser.isSet(faultOption)) {
        const QString kind = parser.value(faultOption);
        if (kind == QLatin1String("silent")) {
            options.fault = HostOptions::Fault::Silent;
        } else if (kind == QLatin1String("error")) {
            options.fault = HostOptions::Fault::Error;
        } else {
            return failure(
                QStringLiteral("--simulate-fault must be 'silent' or 'error', not '%1'.").arg(kind));
        }
        if (parser.isSet(pluginOption)) {
            return failure(QStringLiteral(
                "--simulate-fault needs the simulated turntable and cannot go with --plugin."));
        }
    }

    HostOptionsResult result;
    result.options = options;
    return result;
}

} // namespace HostCommandLine
