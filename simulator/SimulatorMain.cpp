#include "SimulatedTurntable.h"
#include "ToolSupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

// orbisto-simulator: the simulated turntable on a pseudo-terminal of its own,
// for trying a host or the plug-in without the hardware.
namespace {

const int kFailure = 1;
const char kFaultLetters[] = "eircp";

int badUsage(const QString &reason)
{
    std::fprintf(stderr, "orbisto-simulator: %s (see --help)\n", qPrintable(reason));
    return ToolSupport::kBadUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orbisto-simulator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves a simulated Orbisto turntable on a pseudo-terminal. The first line of "
                       "output is the port to open; it serves until SIGINT or SIGTERM."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption command({QStringLiteral("command")},
                                     QStringLiteral("The command letter the faults below apply to: e, i, "
                                                    "r, c or p (default p, the turn)."),
                                     QStringLiteral("letter"), QStringLiteral("p"));
    const QCommandLineOption silent({QStringLiteral("silent")}, QStringLiteral("Do not answer at all."));
    const QCommandLineOption error({QStringLiteral("error")},
                                   QStringLiteral("Answer with this line instead of the normal reply."),
                                   QStringLiteral("text"));
    const QCommandLineOption split({QStringLiteral("split")},
                                   QStringLiteral("Send each answer in two reads, split after this many bytes."),
                                   QStringLiteral("bytes"));
    const QCommandLineOption doubled({QStringLiteral("doubled")}, QStringLiteral("Send each answer twice."));
    const QCommandLineOption garbage({QStringLiteral("garbage")},
                                     QStringLiteral("Send these bytes before each answer."),
                                     QStringLiteral("text"));
    const QCommandLineOption hangUpAfter = ToolSupport::hangUpAfterOption(QStringLiteral("the line"));
    const QCommandLineOption log({QStringLiteral("log")},
                                 QStringLiteral("Print every command received, one line each: \"received #p210.\"."));
    parser.addOptions({command, silent, error, split, doubled, garbage, hangUpAfter, log});

    if (!parser.parse(QCoreApplication::arguments()))
        return badUsage(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return badUsage(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));
    const QString letter = parser.value(command);
    if (letter.size() != 1 || !QByteArray(kFaultLetters).contains(letter.at(0).toLatin1()))
        return badUsage(QStringLiteral("--command takes one of the letters e, i, r, c, p, not '%1'").arg(letter));

    SimulatedTurntable::Fault fault;
    fault.silent = parser.isSet(silent);
    fault.doubled = parser.isSet(doubled);
    if (parser.isSet(error))
        fault.errorText = parser.value(error).toUtf8() + "\r\n";
    fault.garbage = parser.value(garbage).toUtf8();
    if (parser.isSet(split)) {
        bool ok = false;
        fault.splitAt = parser.value(split).toInt(&ok);
        if (!ok || fault.splitAt < 1)
            return badUsage(QStringLiteral("--split takes a whole number of bytes above 0, not '%1'")
                                .arg(parser.value(split)));
    }
    int hangUpMs = -1;
    QString reason;
    if (!ToolSupport::hangUpDelay(parser, hangUpAfter, &hangUpMs, &reason))
        return badUsage(reason);

    SimulatedTurntable turntable;
    if (!turntable.isOpen()) {
        std::fprintf(stderr, "orbisto-simulator: cannot open a pseudo-terminal: %s\n",
                     qPrintable(turntable.errorString()));
        return kFailure;
    }
    turntable.setFault(letter.at(0).toLatin1(), fault);
    std::printf("%s\n", qPrintable(turntable.systemLocation()));
    std::fflush(stdout);
    if (parser.isSet(log)) {
        QObject::connect(&turntable, &SimulatedTurntable::frameReceived, &turntable, [](const QByteArray &frame) {
            std::printf("received %s\n", frame.constData());
            std::fflush(stdout);
        });
    }

    if (hangUpMs >= 0)
        QTimer::singleShot(hangUpMs, &turntable, &SimulatedTurntable::hangUp);
    ToolSupport::watchTerminationSignals([](int) { QCoreApplication::quit(); });
    return app.exec();
}
