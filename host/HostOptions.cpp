#include "HostOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <climits>
#include <iterator>

namespace {

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

HostOptionsResult outcome(HostOptionsResult::Action action, const QString &text)
{
    HostOptionsResult result;
    result.action = action;
    result.text = text;
    return result;
}

HostOptionsResult failure(const QString &text)
{
    return outcome(HostOptionsResult::Action::Fail, text);
}

} // namespace

namespace HostCommandLine {

HostOptionsResult parse(const QStringList &arguments)
{
    using Option = QCommandLineOption;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    // Not addHelpOption(): its --help-all lists Qt's own options, which this
    // host does not take.
    const Option help({QStringLiteral("h"), QStringLiteral("help")},
                      QStringLiteral("Displays this help."));
    parser.addOption(help);
    const Option version = parser.addVersionOption();
    const Option frames(QStringLiteral("frames"),
                        QStringLiteral("Pictures per revolution (default 24). The plug-in "
                                       "says which counts it takes."),
                        QStringLiteral("N"));
    const Option postDelay(QStringLiteral("post-snap"),
                          QStringLiteral("Seconds the plug-in waits after a picture before "
                                         "turning (default 0)."),
                          QStringLiteral("SECONDS"));
    const Option preDelay(QStringLiteral("pre-snap"),
                         QStringLiteral("Seconds the plug-in waits after a turn before the next "
                                        "picture (default 0)."),
                         QStringLiteral("SECONDS"));
    const Option timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Give up when a step of the capture gets no answer within this many "
                       "seconds plus the delays given with --post-snap and --pre-snap; 0 "
                       "waits forever (default 30). A snap command gets the same time to "
                       "finish. Delays kept in the settings file or entered in the window are "
                       "the plug-in's: allow for them here."),
        QStringLiteral("SECONDS"));
    const Option plugin(QStringLiteral("plugin"),
                        QStringLiteral("Load the plug-in library at PATH and drive the turntable "
                                       "its controller finds, instead of the simulated one."),
                        QStringLiteral("PATH"));
    const Option snapCommand(
        QStringLiteral("snap-command"),
        QStringLiteral("Take each picture by running CMD with /bin/sh -c; ORBISTO_PICTURE "
                       "holds the picture's number and ORBISTO_FRAMES the frames count. A "
                       "failing command stops the capture with its exit status. Without "
                       "it, pictures are only pretended."),
        QStringLiteral("CMD"));
    const Option settings(
        QStringLiteral("settings"),
        QStringLiteral("Keep the plug-in's settings in this INI file instead of a temporary "
                       "one. Values given as options are written into it first; the plug-in "
                       "checks what it then holds."),
        QStringLiteral("FILE"));
    const Option fault(QStringLiteral("simulate-fault"),
                       QStringLiteral("Make the simulated turntable misbehave on turn commands: "
                                      "'silent' never answers, 'error' answers \"Error: motor "
                                      "blocked\". Not with --plugin."),
                       QStringLiteral("KIND"));
    const Option gui(QStringLiteral("gui"),
                     QStringLiteral("Open a window with the plug-in's settings widget, a Save "
                                    "button and a Start capture button with progress and event "
                                    "log."));
    const Option screenshot(QStringLiteral("screenshot"),
                            QStringLiteral("With --gui: render the window offscreen into the PNG "
                                           "file FILE once the turntable has identified itself, "
                                           "then exit."),
                            QStringLiteral("FILE"));
    parser.addOptions({frames, postDelay, preDelay, timeout, plugin, snapCommand, settings, fault,
                       gui, screenshot});

    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (parser.isSet(help))
        return outcome(HostOptionsResult::Action::ShowHelp, parser.helpText());
    if (parser.isSet(version)) {
        return outcome(HostOptionsResult::Action::ShowVersion,
                       QCoreApplication::applicationName() + QLatin1Char(' ')
                           + QCoreApplication::applicationVersion());
    }
    if (!parser.positionalArguments().isEmpty()) {
        return failure(QStringLiteral("Unexpected argument '%1'.")
                           .arg(parser.positionalArguments().constFirst()));
    }

    HostOptions options;
    // Whole numbers only; which frames counts work is for the plug-in to say.
    const struct
    {
        const Option &option;
        int minimum;
        QString what;
    } integers[] = {
        {frames, INT_MIN, QStringLiteral("a whole number")},
        {postDelay, 0, QStringLiteral("a whole number of seconds, 0 or more")},
        {preDelay, 0, QStringLiteral("a whole number of seconds, 0 or more")},
        {timeout, 0, QStringLiteral("a whole number of seconds, 0 or more")},
    };
    std::optional<int> values[std::size(integers)];
    for (size_t i = 0; i < std::size(integers); ++i) {
        if (!parser.isSet(integers[i].option))
            continue;
        const QString text = parser.value(integers[i].option);
        bool ok = false;
        values[i] = text.toInt(&ok, 10);
        if (!ok || *values[i] < integers[i].minimum) {
            return failure(QStringLiteral("--%1 must be %2, not '%3'.")
                               .arg(integers[i].option.names().constFirst(), integers[i].what,
                                    text));
        }
    }
    options.framesCount = values[0];
    options.postDelaySeconds = values[1];
    options.preDelaySeconds = values[2];
    options.timeoutSeconds = values[3].value_or(options.timeoutSeconds);

    // Options whose value must not be empty.
    const struct
    {
        const Option &option;
        QString &value;
        const char *needs;
    } texts[] = {
        {plugin, options.pluginPath, "the path of a library"},
        {snapCommand, options.snapCommand, "a command"},
        {settings, options.settingsPath, "the path of a file"},
        {screenshot, options.screenshotPath, "the path of a file"},
    };
    for (const auto &text : texts) {
        text.value = parser.value(text.option);
        if (parser.isSet(text.option) && text.value.isEmpty()) {
            return failure(QStringLiteral("--%1 needs %2.")
                               .arg(text.option.names().constFirst(),
                                    QLatin1String(text.needs)));
        }
    }
    options.gui = parser.isSet(gui);
    if (parser.isSet(screenshot) && !options.gui)
        return failure(QStringLiteral("--screenshot works only with --gui."));

    if (parser.isSet(fault)) {
        const QString kind = parser.value(fault);
        if (kind == QLatin1String("silent")) {
            options.fault = HostOptions::Fault::Silent;
        } else if (kind == QLatin1String("error")) {
            options.fault = HostOptions::Fault::Error;
        } else {
            return failure(
                QStringLiteral("--simulate-fault must be 'silent' or 'error', not '%1'.").arg(kind));
        }
        if (parser.isSet(plugin)) {
            return failure(QStringLiteral(
                "--simulate-fault needs the simulated turntable and cannot go with --plugin."));
        }
    }

    HostOptionsResult result;
    result.options = options;
    return result;
}

} // namespace HostCommandLine
