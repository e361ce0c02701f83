#include "HostOptions.h"

#include "HostSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImageWriter>
#include <QTextStream>

#include <algorithm>
#include <limits>

namespace {

const char kDescription[] =
    "Reference host for the Orbisto turntable plug-in. It runs one capture: the\n"
    "plug-in asks for a picture, the host takes it and reports it, the turntable\n"
    "turns, and so on until the plug-in says the series is finished. Every event\n"
    "is printed with the milliseconds since the capture started.\n"
    "\n"
    "Without --plugin or --port the host builds the plug-in's controller itself on\n"
    "a simulated turntable (a pseudo-terminal, on Linux) and also prints the turn\n"
    "commands the turntable received and its answers.\n"
    "\n"
    "Ctrl-C, SIGTERM or SIGHUP end a capture as a normal end does: the host lets\n"
    "go of the controller (whose plug-in sends the disable command while the line\n"
    "still carries it) and a running snap command is stopped with what it\n"
    "started; the exit status is then 130, 143 or 129. The ending takes at most\n"
    "%1 seconds, and further signals are ignored meanwhile; past that the host\n"
    "exits at once.\n"
    "\n"
    "A tethered camera, with gphoto2:\n"
    "  orbisto-host --port /dev/ttyACM0 --frames 24 --snap-command \\\n"
    "    'gphoto2 --capture-image-and-download --filename \"frame-$ORBISTO_PICTURE.jpg\"'\n"
    "\n"
    "Exit status:\n"
    "  0    the plug-in finished after exactly the configured number of pictures;\n"
    "       with --gui, the window was closed or the screenshot written; --help,\n"
    "       --version; --list-ports found the turntable\n"
    "  1    no turntable was found; the plug-in could not be loaded, or refused the\n"
    "       settings (a frames count too large for it included) or the capture;\n"
    "       the settings file is not the host's, could not be read or written, or\n"
    "       changed since the host read it; the capture stalled, the simulated\n"
    "       turntable refused a turn, or the turntable's port left the system;\n"
    "       --gui without a display; the screenshot could not be written\n"
    "  2    options that cannot be used\n"
    "  N    the snap command's own status, when it failed\n"
    "  130, 143, 129  Ctrl-C, SIGTERM, SIGHUP";

// Name, value name (none for a flag) and help text of every option.
const struct
{
    const char *name;
    const char *value;
    const char *help;
} kOptions[] = {
    {"frames", "N",
     "Pictures per revolution, 2 to 72 (default 24). Only the divisors of 360 (2, 3, 4, 5, 6, "
     "8, 9, 10, 12, 15, 18, 20, 24, 30, 36, 40, 45, 60, 72) make a whole revolution: the "
     "plug-in divides the revolution into whole degrees first, so 48 frames turn 7 degrees "
     "each and leave a 31-degree gap."},
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
     "Load the plug-in library at PATH (a bare file name is one in the current folder) and "
     "drive the turntable its controller finds, instead of the simulated one."},
    {"port", "PATH",
     "Drive the serial port PATH with the controller built into the host, taking it as the "
     "turntable whatever its maker: for the port orbisto-simulator prints, or a turntable "
     "whose driver reports another maker. Not with --plugin."},
    {"snap-command", "CMD",
     "Take each picture by running CMD with /bin/sh -c (cmd /c on Windows), in the folder "
     "the host was started in, which is where a camera client puts its pictures; "
     "ORBISTO_PICTURE holds the picture's number (1, 2, ...) and ORBISTO_FRAMES the frames "
     "count. A failing command stops the capture with its exit status. Without it, pictures "
     "are only pretended."},
    {"settings", "FILE",
     "Keep the plug-in's settings in this INI file instead of a temporary one. The file is the "
     "host's own: an existing one must hold, byte for byte, what the host writes: [Orbisto] and "
     "its keys with whole numbers, one a line, each line ended by a line feed. Anything else "
     "(other text, a comment, a byte order mark, CR LF line ends, NUL bytes, a device, a FIFO, a "
     "folder, a link to nothing) is refused and left as it was. Values given as options and "
     "those in the file go to the plug-in first; the file gets only values the plug-in "
     "accepted, by a new copy with the old one's owner, mode and attributes swapped in for it, "
     "and only while it is still as the host read it and a value changes, so a read-only file "
     "with good values works. On Unix it writes only where no one but you and root can change "
     "the path: every folder from / yours or root's, and writable by no one else (a sticky "
     "folder for your own file aside); a file with other hard links, or one its owner may not "
     "write, is refused."},
    {"simulate-fault", "KIND",
     "Make the simulated turntable misbehave on turn commands: 'silent' never answers, 'error' "
     "answers \"Error: motor blocked\". Not with --plugin."},
    {"gui", nullptr,
     "Open a window with the plug-in's settings widget, a Save button and a Start capture "
     "button with progress and event log."},
    {"screenshot", "FILE",
     "With --gui: render the window offscreen into FILE once the turntable has identified "
     "itself, then exit. The suffix names the format: .png, .jpg, .bmp and the others Qt "
     "writes."},
    {"list-ports", nullptr,
     "List every serial port the system has: maker, ids, whether this user can open it, and "
     "which one the plug-in would take. Exit status 0 when it would find a turntable, 1 "
     "otherwise. Takes no other option."},
};

const QString kFramesWanted =
    QStringLiteral("a whole number of pictures above 0 (the plug-in takes 2 to 72)");
const QString kSecondsWanted =
    QStringLiteral("a whole number of seconds from 0 to %1").arg(std::numeric_limits<int>::max());
// The status of a frames count the plug-in refuses.
const int kTooLargeStatus = 1;

// ASCII digits, with an optional leading plus sign.
bool isWholeNumber(const QString &text)
{
    const QStringView digits = QStringView(text).mid(text.startsWith(QLatin1Char('+')) ? 1 : 0);
    return !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](QChar c) {
               return c >= QLatin1Char('0') && c <= QLatin1Char('9');
           });
}

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
    parser.setApplicationDescription(
        QString::fromLatin1(kDescription).arg(HostSignals::kEndingLimitSeconds));
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
        // A count too large to hand over is refused as the plug-in refuses
        // one it cannot hold: with its status, not as a usage error.
        if (!ok && !integer.seconds && isWholeNumber(text.trimmed())) {
            QTextStream(stderr) << QCoreApplication::applicationName() << ": --frames " << text.trimmed()
                                << " is too large: the plug-in takes 2 to 72." << Qt::endl;
            exitStatus = kTooLargeStatus;
            return std::nullopt;
        }
        // No count of pictures is negative: the plug-in would read such a
        // number as a large unsigned count.
        const int least = integer.seconds ? 0 : 1;
        if (!ok || *integer.value < least) {
            const QString what = integer.seconds ? kSecondsWanted : kFramesWanted;
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
        {"port", options.portPath, "the path of a serial port"},
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
    if (!options.pluginPath.isEmpty() && !options.portPath.isEmpty()) {
        return fail(QStringLiteral("--port and --plugin cannot go together: --port drives the "
                                   "host's own controller, --plugin a loaded one."));
    }
    options.gui = parser.isSet(QStringLiteral("gui"));
    options.listPorts = parser.isSet(QStringLiteral("list-ports"));
    if (options.listPorts && parser.optionNames().size() > 1) {
        return fail(QStringLiteral("--list-ports takes no other options: it only lists the "
                                   "system's serial ports."));
    }
    if (!options.screenshotPath.isEmpty() && !options.gui)
        return fail(QStringLiteral("--screenshot works only with --gui."));
    if (!options.screenshotPath.isEmpty()) {
        // The image is written in the format its suffix names.
        const QByteArray suffix = QFileInfo(options.screenshotPath).suffix().toLower().toLatin1();
        const QList<QByteArray> formats = QImageWriter::supportedImageFormats();
        if (!formats.contains(suffix)) {
            QStringList names;
            for (const QByteArray &format : formats)
                names.append(QString::fromLatin1(format));
            return fail(QStringLiteral("--screenshot cannot write a '%1' file; name one ending in "
                                       "one of: %2.")
                            .arg(QString::fromLatin1(suffix), names.join(QStringLiteral(", "))));
        }
    }

    const QString fault = parser.value(QStringLiteral("simulate-fault"));
    if (parser.isSet(QStringLiteral("simulate-fault"))) {
        if (fault != QLatin1String("silent") && fault != QLatin1String("error")) {
            return fail(QStringLiteral("--simulate-fault must be 'silent' or 'error', not '%1'.")
                            .arg(fault));
        }
        if (!options.pluginPath.isEmpty() || !options.portPath.isEmpty()) {
            return fail(QStringLiteral("--simulate-fault needs the simulated turntable and "
                                       "cannot go with --plugin or --port."));
        }
        options.fault = fault == QLatin1String("silent") ? HostOptions::Fault::Silent
                                                         : HostOptions::Fault::Error;
    }
    return options;
}
