#include "CAbstractTurntableController.h"
#include "CaptureSession.h"
#include "ControllerSource.h"
#include "HostOptions.h"
#include "HostSettings.h"
#include "HostWindow.h"
#include "PortListing.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
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

QTextStream &standardError()
{
    static QTextStream stream(stderr);
    return stream;
}

void printError(const QString &message)
{
    standardError() << QCoreApplication::applicationName() << ": " << message << Qt::endl;
}

CaptureSession::Plan planFor(const HostOptions &options)
{
    CaptureSession::Plan plan;
    plan.timeoutSeconds = options.timeoutSeconds;
    plan.snapCommand = options.snapCommand;
    return plan;
}

int runCommandLine(const HostOptions &options)
{
    ControllerSource source;
    if (!source.open(options)) {
        printError(source.errorString());
        return kFailureStatus;
    }
    standardOutput() << source.description() << Qt::endl;

    HostSettings store(options);
    if (!store.isUsable()) {
        printError(store.errorString());
        return kFailureStatus;
    }
    // The plug-in checks the values and says whether it found a turntable.
    const QString refusal = store.handOver(*source.controller());
    if (!refusal.isEmpty()) {
        printError(refusal);
        return kFailureStatus;
    }

    CaptureSession::Plan plan = planFor(options);
    plan.framesCount = store.framesCount();
    plan.postSnapSeconds = store.postSnapSeconds();
    plan.preSnapSeconds = store.preSnapSeconds();
    CaptureSession session(source.controller(), plan, source.simulator());
    int status = kFailureStatus;
    QObject::connect(&session, &CaptureSession::event, &session,
                     [](const QString &line) { standardOutput() << line << Qt::endl; });
    QObject::connect(&session, &CaptureSession::done, &session,
                     [&status](int doneStatus, const QString &message) {
                         status = doneStatus;
                         if (!message.isEmpty())
                             printError(message);
                         QCoreApplication::exit(doneStatus);
                     });
    // Started from the event loop, so that even a refusal can end it.
    QTimer::singleShot(0, &session, &CaptureSession::start);
    QCoreApplication::exec();
    return status;
}

int runGui(const HostOptions &options)
{
    ControllerSource source;
    if (!source.open(options)) {
        printError(source.errorString());
        return kFailureStatus;
    }
    HostSettings store(options);
    if (!store.isUsable()) {
        printError(store.errorString());
        return kFailureStatus;
    }
    // Checked before the settings widget exists, so the plug-in judges the
    // stored values and not an empty form.
    const QString refusal = store.handOver(*source.controller());

    HostWindow window(source.controller(), &store, planFor(options), source.simulator());
    window.appendLog(source.description());
    window.setSettingsRefusal(refusal);
    window.resize(window.sizeHint().expandedTo(kMinimumWindowSize));
    window.show();
    if (options.screenshotPath.isEmpty())
        return QApplication::exec();

    window.setMessageBoxesShown(false);
    int status = kFailureStatus;
    QObject::connect(&window, &HostWindow::screenshotSaved, &window,
                     [&status](bool ok, const QString &message) {
                         status = ok ? 0 : kFailureStatus;
                         if (!ok)
                             printError(message);
                         QCoreApplication::exit(status);
                     });
    window.saveScreenshotWhenSettled(options.screenshotPath);
    QApplication::exec();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // The application object depends on the mode, so the mode is read first.
    const bool gui = HostCommandLine::wantsGui(argc, argv);
    // A screenshot is rendered offscreen; no display is needed for it.
    if (gui && HostCommandLine::wantsScreenshot(argc, argv)
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Without a display Qt would abort with a page of text.
    if (gui && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("orbisto-host: --gui needs a display; without one, set "
                   "QT_QPA_PLATFORM=offscreen or use --screenshot\n",
                   stderr);
        return kFailureStatus;
    }
    // The application sees only the program name: QApplication would take
    // --plugin for its own option and remove it.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    int applicationArgc = 1;
    std::unique_ptr<QCoreApplication> app;
    if (gui)
        app = std::make_unique<QApplication>(applicationArgc, argv);
    else
        app = std::make_unique<QCoreApplication>(applicationArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orbisto-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORBISTO_VERSION));

    const HostOptionsResult parsed = HostCommandLine::parse(arguments);
    switch (parsed.action) {
    case HostOptionsResult::Action::ShowHelp:
    case HostOptionsResult::Action::ShowVersion:
        standardOutput() << parsed.text;
        if (!parsed.text.endsWith(QLatin1Char('\n')))
            standardOutput() << Qt::endl;
        standardOutput().flush();
        return 0;
    case HostOptionsResult::Action::Fail:
        printError(parsed.text + QStringLiteral(" See --help."));
        return HostCommandLine::kUsageError;
    case HostOptionsResult::Action::Run:
        break;
    }
    if (parsed.options.listPorts)
        return PortListing::list(QSerialPortInfo::availablePorts(), standardOutput());
    return gui ? runGui(parsed.options) : runCommandLine(parsed.options);
}
