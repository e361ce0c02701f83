#include "SimulatedTurntable.h"
#include "ToolSupport.h"
#include "UsbTestbed.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include <pthread.h>
#include <unistd.h>

// orbisto-usb-sandbox: runs a command that sees simulated turntables as USB
// serial ports /dev/ttyACM0, ... of a chosen maker, through a umockdev
// testbed that goes away with the command.
namespace {

const int kFailure = 1;
// What a shell reports for a command that could not be started.
const int kCannotStart = 127;
const int kSignalStatusBase = 128;
const int kMaxTurntables = 8;

void say(const QString &line)
{
    std::fprintf(stderr, "usb-sandbox: %s\n", qPrintable(line));
}

int badUsage(const QString &reason)
{
    say(reason + QStringLiteral(" (see --help)"));
    return ToolSupport::kBadUsage;
}

// Makes the calling process's group the terminal's foreground group. SIGTTOU
// is blocked meanwhile: a background group may take the terminal that way,
// instead of being stopped. Async-signal-safe, for the child before exec.
void takeTerminal(pid_t group)
{
    sigset_t ttou;
    sigset_t before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &before);
    ::tcsetpgrp(STDIN_FILENO, group);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// The command in a process group of its own, so that a signal sent to the
// sandbox's group (what a terminal's Ctrl-C is) reaches the command once,
// forwarded by the sandbox, and never a second time directly. When the
// sandbox runs in its terminal's foreground, the command's group takes the
// terminal, as a shell's job does: it reads the terminal and gets Ctrl-C
// itself, and the sandbox, now in the background, gets nothing to forward.
class CommandProcess : public QProcess
{
    Q_OBJECT

public:
    explicit CommandProcess(QObject *parent = nullptr)
        : QProcess(parent)
        , m_handsOverTerminal(::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp())
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        // Qt 6 replaced the virtual hook below with a modifier function.
        setChildProcessModifier([this] { enterOwnGroup(); });
#endif
    }

    // Gives the terminal back to the sandbox's group once the command has ended.
    void takeBackTerminal() const
    {
        if (m_handsOverTerminal)
            takeTerminal(::getpgrp());
    }

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override { enterOwnGroup(); }
#endif

private:
    void enterOwnGroup() const
    {
        ::setpgid(0, 0);
        if (m_handsOverTerminal)
            takeTerminal(::getpgrp());
    }

    const bool m_handsOverTerminal;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs COMMAND with simulated Orbisto turntables shown to it as USB serial "
                       "ports /dev/ttyACM0, ... Nothing is visible outside COMMAND."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption maker({QStringLiteral("maker")},
                                   QStringLiteral("The ports' manufacturer (default STMicroelectronics)."),
                                   QStringLiteral("text"), QStringLiteral("STMicroelectronics"));
    const QCommandLineOption count({QStringLiteral("count")},
                                   QStringLiteral("How many turntables, 1 to %1 (default 1).").arg(kMaxTurntables),
                                   QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption hangUpAfter = ToolSupport::hangUpAfterOption(QStringLiteral("every line"));
    const QCommandLineOption log({QStringLiteral("log")},
                                 QStringLiteral("Print every command the turntables receive and how "
                                                "many bytes each received in all."));
    parser.addOptions({maker, count, hangUpAfter, log});
    parser.addPositionalArgument(QStringLiteral("-- COMMAND [ARGS...]"), QStringLiteral("What to run."));

    if (!parser.parse(QCoreApplication::arguments()))
        return badUsage(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    bool ok = false;
    const int turntables = parser.value(count).toInt(&ok);
    if (!ok || turntables < 1 || turntables > kMaxTurntables)
        return badUsage(QStringLiteral("--count takes a whole number from 1 to %1, not '%2'")
                            .arg(kMaxTurntables)
                            .arg(parser.value(count)));
    int hangUpMs = -1;
    QString reason;
    if (!ToolSupport::hangUpDelay(parser, hangUpAfter, &hangUpMs, &reason))
        return badUsage(reason);
    const QStringList command = parser.positionalArguments();
    if (command.isEmpty())
        return badUsage(QStringLiteral("no command given: usb-sandbox [options] -- COMMAND [ARGS...]"));

    // The simulated turntables hold their lines open themselves, so they keep
    // serving while the command closes and opens the port again.
    std::vector<std::unique_ptr<SimulatedTurntable>> simulators;
    UsbTestbed testbed;
    for (int i = 0; i < turntables; ++i) {
        simulators.push_back(std::make_unique<SimulatedTurntable>());
        if (!simulators.back()->isOpen()) {
            say(QStringLiteral("cannot open a pseudo-terminal: %1").arg(simulators.back()->errorString()));
            return kFailure;
        }
        UsbTestbed::Device device;
        device.node = simulators.back()->systemLocation();
        device.manufacturer = parser.value(maker);
        if (!testbed.add(device)) {
            say(testbed.errorString());
            return kFailure;
        }
    }
    for (int i = 0; i < turntables; ++i) {
        const QString node = UsbTestbed::deviceNode(i);
        say(QStringLiteral("%1 (%2): simulated turntable").arg(node, parser.value(maker)));
        if (parser.isSet(log)) {
            QObject::connect(simulators.at(i).get(), &SimulatedTurntable::frameReceived, &app,
                             [node](const QByteArray &frame) {
                                 say(QStringLiteral("%1 received %2").arg(node, QString::fromLatin1(frame)));
                             });
        }
    }
    if (hangUpMs >= 0) {
        QTimer::singleShot(hangUpMs, &app, [&simulators, &testbed] {
            say(QStringLiteral("hanging up every line, as a pulled cable does"));
            for (int i = 0; i < int(simulators.size()); ++i) {
                simulators.at(i)->hangUp();
                testbed.remove(i);
            }
        });
    }

    CommandProcess child;
    child.setProcessEnvironment(testbed.environment(QProcessEnvironment::systemEnvironment()));
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setInputChannelMode(QProcess::ForwardedInputChannel);
    int status = kFailure;
    QObject::connect(&child, &QProcess::errorOccurred, &app, [&](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        say(QStringLiteral("cannot run %1: %2").arg(command.first(), child.errorString()));
        status = kCannotStart;
        app.quit();
    });
    QObject::connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &app,
                     [&](int exitCode, QProcess::ExitStatus exitStatus) {
                         // A command killed by a signal reports it as a shell does.
                         status = exitStatus == QProcess::NormalExit ? exitCode : kSignalStatusBase + exitCode;
                         app.quit();
                     });
    // What reaches the sandbox is forwarded to the command, which is in no
    // group of the sandbox's; a second one does not wait for it.
    int signalsSeen = 0;
    ToolSupport::watchTerminationSignals([&](int number) {
        if (child.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(child.processId()), ++signalsSeen > 1 ? SIGKILL : number);
    });
    child.start(command.first(), command.mid(1));
    app.exec();
    child.takeBackTerminal();
    if (parser.isSet(log)) {
        for (int i = 0; i < turntables; ++i) {
            // What the command wrote last, its goodbye included, may still wait in the line.
            simulators.at(i)->readPending();
            say(QStringLiteral("%1 received %2 bytes in all")
                    .arg(UsbTestbed::deviceNode(i))
                    .arg(simulators.at(i)->received().size()));
        }
    }
    return status;
}

#include "SandboxMain.moc"
