#include "CaptureSession.h"
#include "HostOptions.h"
#include "HostSetup.h"
#include "HostSignals.h"
#include "HostWindow.h"
#include "PortListing.h"

#include <QApplication>
#include <QSerialPortInfo>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace {

const int kFailureStatus = 1;
// Room for the settings form and a readable stretch of the event log.
const QSize kMinimumWindowSize(640, 560);

QTextStream &standardOutput()
{
    static QTextStream stream(stdout);
    return stream;
}

void printError(const QString &message)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << message << Qt::endl;
}

// Qt's pattern for choosing the application class, which has to exist before
// the options are parsed. The application sees only the program name: it
// would take --plugin for one of its own options. Null when a window has no
// display; a screenshot needs none, it is rendered offscreen.
QCoreApplication *createApplication(int &applicationArgc, char *argv[], int argc)
{
    bool gui = false;
    bool screenshot = false;
    for (int i = 1; i < argc; ++i) {
        gui = gui || qstrcmp(argv[i], "--gui") == 0;
        screenshot = screenshot || QByteArray(argv[i]).startsWith("--screenshot");
    }
    if (!gui)
        return new QCoreApplication(applicationArgc, argv);
    if (screenshot && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return nullptr;
    }
    return new QApplication(applicationArgc, argv);
}

// Qt's platform plug-ins warn about what a user cannot change and the host
// does not need: the offscreen platform's missing size hints, a session
// without XDG_RUNTIME_DIR. Everything else goes to Qt's own handler.
QtMessageHandler qtHandler = nullptr;

void filterQtNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg
        && (message.contains(QLatin1String("propagateSizeHints"))
            || message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))) {
        return;
    }
    qtHandler(type, context, message);
}

int runCommandLine(HostSetup &setup)
{
    standardOutput() << setup.description() << Qt::endl;
    if (!setup.refusal().isEmpty()) {
        printError(setup.refusal());
        return kFailureStatus;
    }
    QObject::connect(setup.log(), &EventLog::line, setup.log(),
                     [](const QString &line) { standardOutput() << line << Qt::endl; });
    CaptureSession session(setup.controller(), setup.plan(), setup.log());
    int status = kFailureStatus;
    QObject::connect(&session, &CaptureSession::done, &session,
                     [&status](int doneStatus, const QString &message) {
                         status = doneStatus;
                         if (!message.isEmpty())
                             printError(message);
                         QCoreApplication::exit(doneStatus);
                     });
    HostSignals::watchInterruptions(&session, [&session](int signalStatus, const QString &name) {
        session.stop(signalStatus, QStringLiteral("Interrupted by %1").arg(name));
    });
    // Started from the event loop, so that even a refusal can end it.
    QTimer::singleShot(0, &session, &CaptureSession::start);
    QCoreApplication::exec();
    return status;
}

int runWindow(HostSetup &setup, const QString &screenshotPath)
{
    HostWindow window(&setup);
    // The window, its capture and then the controller go as after any other end.
    HostSignals::watchInterruptions(&window, [](int signalStatus, const QString &) {
        QCoreApplication::exit(signalStatus);
    });
    window.resize(window.sizeHint().expandedTo(kMinimumWindowSize));
    window.show();
    if (screenshotPath.isEmpty())
        return QApplication::exec();
    int status = kFailureStatus;
    QObject::connect(&window, &HostWindow::screenshotSaved, &window,
                     [&status](bool ok, const QString &message) {
                         status = ok ? 0 : kFailureStatus;
                         if (!ok)
                             printError(message);
                         QCoreApplication::exit(status);
                     });
    window.saveScreenshotWhenSettled(screenshotPath);
    QApplication::exec();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    qtHandler = qInstallMessageHandler(filterQtNoise);
    QCoreApplication::setApplicationName(QStringLiteral("orbisto-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORBISTO_VERSION));
    int applicationArgc = 1;
    const std::unique_ptr<QCoreApplication> app(createApplication(applicationArgc, argv, argc));
    if (!app) {
        printError(QStringLiteral("--gui needs a display; without one, set "
                                  "QT_QPA_PLATFORM=offscreen or use --screenshot"));
        return kFailureStatus;
    }
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    int status = 0;
    const std::optional<HostOptions> options = parseCommandLine(arguments, status);
    if (!options)
        return status;
    // Only looks at the system's ports; no controller is created.
    if (options->listPorts)
        return PortListing::list(QSerialPortInfo::availablePorts(), standardOutput());

    // From before the turntable's hello, so that a signal always lets it go.
    HostSignals::catchInterruptions();
    // One set-up for the command line and the window.
    HostSetup setup;
    if (!setup.open(*options)) {
        // No turntable is said first: without one, nothing else matters yet.
        if (!setup.refusal().isEmpty())
            printError(setup.refusal());
        printError(setup.errorString());
        return kFailureStatus;
    }
    return options->gui ? runWindow(setup, options->screenshotPath) : runCommandLine(setup);
}
