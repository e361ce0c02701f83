#include "HostOptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

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

// Name, value name (none for a flag) and help text of every option.
const struct
{
    const char *name;
    const char *value;
    const char *help;
} kOptions[] = {
    {"frames", "N",
     "Pictures per revolution (default 24). The plug-in says which counts it takes."},
    {"post-snap", "SECONDS",
     "Seconds the plug-in waits after a picture before turning (default 0)."},
    {"pre-snap", "SECONDS",
     "Seconds the plug-in waits after a turn before the next picture (default 0)."},
    {"timeout", "SECONDS",
     "Give up when a step of the capture gets no answer within this many seconds plus the "
     "delays given with --post-snap and --pre-snap; 0 waits forever (default 30). A snap "
     "command gets the same time to finish. Delays kept in the settings file or entered in the "
     "window are the plug-in's: allow for them here."},
    {"plugin", "PATH",
     "Load the plug-in library at PATH and drive the turntable its controller finds, instead "
     "of the simulated one."},
    {"snap-command", "CMD",
     "Take each picture by running CMD with /bin/sh -c (cmd /c on Windows); ORBISTO_PICTURE holds the picture's "
     "number and ORBISTO_FRAMES the frames count. A failing command stops the capture with its "
     "exit status. Without it, pictures are only pretended."},
    {"settings", "FILE",
     "Keep the plug-in's settings in this INI file instead of a temporary one. Values given as "
     "options are written into it first; the plug-in checks what it then holds."},
    {"simulate-fault", "KIND",
     "Make the simulated turntable misbehave on turn commands: 'silent' never answers, 'error' "
     "answers \"Error: motor blocked\". Not with --plugin."},
    {"gui", nullptr,
     "Open a window with the plug-in's settings widget, a Save button and a Start capture "
     "button with progress and event log."},
    {"screenshot", "FILE",
     "With --gui: render the window offscreen into the PNG file FILE once the turntable has "
     "identified itself, then exit."},
    {"list-ports", nullptr,
     "List every serial port the system has: maker, ids, whether this user can open it, and "
     "which one the plug-in would take. Exit status 0 when it would find a turntable, 1 "
     "otherwise."},
};

const QString kWholeNumberWanted = QStringLiteral("a whole number");
const QString kSecondsWanted = QStringLiteral("a whole number of seconds, 0 or more");

// Prints what is wrong and tells main() to exit with the usage status.
std::optional<HostOptions> failure(int &exitStatus, const QString &text)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << text << " See --help."
                        << Qt::endl;
    exitStatus = kUsageError;
    return std::nullopt;
}

} // namespace

std::optional<HostOptions> parseCommandLine(const QStringList &arguments, int &exitStatus)
{
    const auto fail = [&exitStatus](const QString &text) { return failure(exitStatus, text); };
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    // Not addHelpOption(): its --help-all lists Qt's own options, which this
    // host does not take.
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")},
                      QStringLiteral("Displays this help.")});
    parser.addVersionOption();
    for (const auto &option : kOptions) {
        parser.addOption({QLatin1String(option.name), QString::fromLatin1(option.help),
                          QLatin1String(option.value)});
    }
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))) {
        QTextStream out(stdout);
        if (parser.isSet(QStringLiteral("help")))
            out << parser.helpText();
        else
            out << QCoreApplication::applicationName() << ' '
                << QCoreApplication::applicationVersion() << '\n';
        exitStatus = 0;
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return fail(QStringLiteral("Unexpected argument '%1'.")
                        .arg(parser.positionalArguments().constFirst()));
    }

    HostOptions options;
    std::optional<int> timeout;
    // Whole numbers only; which frames counts work is for the plug-in to say.
    const struct
    {
        const char *name;
        bool seconds;
        std::optional<int> &value;
    } integers[] = {
        {"frames", false, options.frames},
        {"post-snap", true, options.postDelaySeconds},
        {"pre-snap", true, options.preDelaySeconds},
        {"timeout", true, timeout},
    };
    for (const auto &integer : integers) {
        const QString name = QLatin1String(integer.name);
        if (!parser.isSet(name))
            continue;
        const QString text = parser.value(name);
        bool ok = false;
        integer.value = text.toInt(&ok, 10);
        if (!ok || (integer.seconds && *integer.value < 0)) {
            const QString what = integer.seconds ? kSecondsWanted : kWholeNumberWanted;
            return fail(QStringLiteral("--%1 must be %2, not '%3'.").arg(name, what, text));
        }
    }
    options.timeoutSeconds = timeout.value_or(options.timeoutSeconds);

    // Options whose value must not be empty.
    const struct
    {
        const char *name;
        QString &value;
        const char *needs;
    } texts[] = {
        {"plugin", options.pluginPath, "the path of a library"},
        {"snap-command", options.snapCommand, "a command"},
        {"settings", options.settingsPath, "the path of a file"},
        {"screenshot", options.screenshotPath, "the path of a file"},
    };
    for (const auto &text : texts) {
        const QString name = QLatin1String(text.name);
        text.value = parser.value(name);
        if (parser.isSet(name) && text.value.isEmpty())
            return fail(QStringLiteral("--%1 needs %2.").arg(name, QLatin1String(text.needs)));
    }
    options.gui = parser.isSet(QStringLiteral("gui"));
    options.listPorts = parser.isSet(QStringLiteral("list-ports"));
    if (!options.screenshotPath.isEmpty() && !options.gui)
        return fail(QStringLiteral("--screenshot works only with --gui."));

    const QString fault = parser.value(QStringLiteral("simulate-fault"));
    if (parser.isSet(QStringLiteral("simulate-fault"))) {
        if (fault != QLatin1String("silent") && fault != QLatin1String("error")) {
            return fail(QStringLiteral("--simulate-fault must be 'silent' or 'error', not '%1'.")
                            .arg(fault));
        }
        if (!options.pluginPath.isEmpty()) {
            return fail(QStringLiteral(
                "--simulate-fault needs the simulated turntable and cannot go with --plugin."));
        }
        options.fault = fault == QLatin1String("silent") ? HostOptions::Fault::Silent
                                                         : HostOptions::Fault::Error;
    }
    return options;
}
