#include "SimulatedTurntable.h"
#include "ToolSupport.h"
#include "UsbTestbed.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <elf.h>
#include <pthread.h>
#include <unistd.h>

// orbisto-usb-sandbox: runs a command that sees simulated turntables as USB
// serial ports /dev/ttyACM<n> of a chosen maker, through a umockdev testbed
// that goes away with the command.
namespace {

const int kFailure = 1;
// What a shell reports for a command that could not be started.
const int kCannotStart = 127;
const int kSignalStatusBase = 128;
const int kMaxTurntables = 8;
const char kPreloadVariable[] = "LD_PRELOAD";
// A sanitizer runtime found in our own LD_PRELOAD, kept for the command across our restart.
const char kCommandRuntimeVariable[] = "ORBISTO_USB_SANDBOX_RUNTIME";
// The command learns its ports here, separated by blanks, in the order they were printed.
const char kPortsVariable[] = "ORBISTO_SANDBOX_PORTS";

bool isSanitizerRuntime(const QByteArray &path)
{
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    return name.startsWith("libasan.so") || name.startsWith("libclang_rt.asan");
}

#if defined(__SANITIZE_ADDRESS__)
const bool kBuiltWithSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kBuiltWithSanitizer = true;
#else
const bool kBuiltWithSanitizer = false;
#endif
#else
const bool kBuiltWithSanitizer = false;
#endif

// A sanitizer runtime preloaded into this program, which was not built for
// it, stalls umockdev's start (glibc's locale lock, taken inside the runtime's
// interceptors). The command is what wants it: start again without it, and
// hand it to the command. Before anything else of ours runs.
void setRuntimeAsideForCommand(char *argv[])
{
    const char *preload = std::getenv(kPreloadVariable);
    if (kBuiltWithSanitizer || !preload)
        return;
    QByteArray runtime;
    QList<QByteArray> rest;
    const QList<QByteArray> entries = QByteArray(preload).replace(':', ' ').split(' ');
    for (const QByteArray &entry : entries) {
        if (entry.isEmpty())
            continue;
        if (isSanitizerRuntime(entry))
            runtime = entry;
        else
            rest.append(entry);
    }
    if (runtime.isEmpty())
        return;
    ::setenv(kCommandRuntimeVariable, runtime.constData(), 1);
    if (rest.isEmpty())
        ::unsetenv(kPreloadVariable);
    else
        ::setenv(kPreloadVariable, rest.join(' ').constData(), 1);
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "usb-sandbox: cannot start again without %s: %s\n", runtime.constData(),
                 std::strerror(errno));
    std::exit(1);
}

// The sanitizer runtime an ELF file was linked against (its DT_NEEDED entry),
// or empty: a plug-in built with AddressSanitizer, loaded by a host built
// without, needs it preloaded before anything else.
QByteArray sanitizerRuntimeNeededBy(const QString &path)
{
    QFile file(path);
    Elf64_Ehdr header;
    if (!file.open(QIODevice::ReadOnly) || file.read(reinterpret_cast<char *>(&header), sizeof header) != sizeof header
        || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64
        || header.e_shentsize != sizeof(Elf64_Shdr)) {
        return {};
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    const qint64 sectionBytes = qint64(sections.size() * sizeof(Elf64_Shdr));
    if (!file.seek(qint64(header.e_shoff))
        || file.read(reinterpret_cast<char *>(sections.data()), sectionBytes) != sectionBytes) {
        return {};
    }
    // A damaged file's sizes are not trusted past the file's own.
    const quint64 fileSize = quint64(file.size());
    for (const Elf64_Shdr &section : sections) {
        if (section.sh_type != SHT_DYNAMIC || section.sh_link >= sections.size() || section.sh_size > fileSize
            || sections.at(section.sh_link).sh_size > fileSize) {
            continue;
        }
        const Elf64_Shdr &strings = sections.at(section.sh_link);
        if (!file.seek(qint64(strings.sh_offset)))
            return {};
        const QByteArray names = file.read(qint64(strings.sh_size));
        std::vector<Elf64_Dyn> entries(section.sh_size / sizeof(Elf64_Dyn));
        const qint64 entryBytes = qint64(entries.size() * sizeof(Elf64_Dyn));
        if (!file.seek(qint64(section.sh_offset))
            || file.read(reinterpret_cast<char *>(entries.data()), entryBytes) != entryBytes) {
            return {};
        }
        for (const Elf64_Dyn &entry : entries) {
            if (entry.d_tag != DT_NEEDED || entry.d_un.d_val >= quint64(names.size()))
                continue;
            const QByteArray name(names.constData() + entry.d_un.d_val);
            if (isSanitizerRuntime(name))
                return name;
        }
    }
    return {};
}

// The runtime the command's program, or a file it is given (a plug-in, as
// "--plugin FILE" or "--plugin=FILE"), needs.
QByteArray sanitizerRuntimeNeededBy(const QStringList &command)
{
    QStringList files = {QStandardPaths::findExecutable(command.first())};
    const QStringList arguments = command.mid(1);
    for (const QString &argument : arguments)
        files << argument << argument.section(QLatin1Char('='), 1);
    for (const QString &file : std::as_const(files)) {
        if (file.isEmpty() || !QFileInfo(file).isFile())
            continue;
        const QByteArray runtime = sanitizerRuntimeNeededBy(file);
        if (!runtime.isEmpty())
            return runtime;
    }
    return {};
}

QString shellQuoted(const QString &word)
{
    static const QString plain = QStringLiteral("+-./:=@_,%");
    for (const QChar c : word) {
        if (!c.isLetterOrNumber() && !plain.contains(c))
            return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
    }
    return word.isEmpty() ? QStringLiteral("''") : word;
}

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
    setRuntimeAsideForCommand(argv);
    const QByteArray givenRuntime = qgetenv(kCommandRuntimeVariable);
    qunsetenv(kCommandRuntimeVariable);
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs COMMAND with simulated Orbisto turntables shown to it as USB serial "
                       "ports /dev/ttyACM<n>, numbers no other port of the machine uses, printed "
                       "here and given to COMMAND in ORBISTO_SANDBOX_PORTS. Nothing is visible "
                       "outside COMMAND."));
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
    // "env LD_PRELOAD=..." would replace the preload that shows the testbed,
    // and the command would find no turntable. The sandbox takes it instead.
    if (QFileInfo(command.first()).fileName() == QLatin1String("env")) {
        const int assignment = command.indexOf(QRegularExpression(QStringLiteral("^LD_PRELOAD=.*")));
        if (assignment > 0) {
            QStringList instead = QCoreApplication::arguments();
            instead = instead.mid(0, instead.indexOf(QStringLiteral("--"), 1) + 1);
            QStringList rest = command;
            rest.removeAt(assignment);
            if (rest.size() == 1 || rest.at(1).startsWith(QLatin1Char('-')) || rest.at(1).contains(QLatin1Char('=')))
                instead += rest;
            else
                instead += rest.mid(1);
            QStringList quoted = {shellQuoted(command.at(assignment))};
            for (const QString &word : std::as_const(instead))
                quoted += shellQuoted(word);
            return badUsage(QStringLiteral("LD_PRELOAD set inside the command hides the testbed; run: %1")
                                .arg(quoted.join(QLatin1Char(' '))));
        }
    }

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
    QStringList ports;
    for (int i = 0; i < turntables; ++i) {
        const QString node = testbed.deviceNode(i);
        ports.append(node);
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
    QProcessEnvironment environment = testbed.environment(
        QProcessEnvironment::systemEnvironment(),
        givenRuntime.isEmpty() ? sanitizerRuntimeNeededBy(command) : givenRuntime);
    environment.insert(QString::fromLatin1(kPortsVariable), ports.join(QLatin1Char(' ')));
    child.setProcessEnvironment(environment);
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
                    .arg(testbed.deviceNode(i))
                    .arg(simulators.at(i)->received().size()));
        }
    }
    return status;
}

#include "SandboxMain.moc"
