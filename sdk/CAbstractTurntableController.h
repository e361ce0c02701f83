#ifndef CABSTRACTTURNTABLECONTROLLER_H
#define CABSTRACTTURNTABLECONTROLLER_H

#include <QObject>
#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QSettings;
class QString;
class QTimerEvent;
class QWidget;
QT_END_NAMESPACE

// The host and every plug-in must agree on this class's type when casting and
// connecting, so its symbols stay visible even in a library built with hidden
// visibility.
#define NXSDK_EXPORT Q_DECL_EXPORT

// The contract between a host and a turntable-controller plug-in.
//
// A plug-in library exports one function, NXSDK_RegisterTurntableController
// (below). The host loads the library at run time, calls that function and
// from then on works through this class: the operations below, called through
// the virtual table in this order (so neither their order nor their
// signatures may change), and the two signals.
//
// Thread: everything happens on the host's GUI thread. The controller builds
// widgets, and its serial input and every delay of a capture are events of
// that thread's event loop, so nothing advances while that loop does not run.
// No call waits for the device, except that deleting the controller gives its
// goodbye a moment (at most 300 ms) to leave. Signals are emitted on that
// thread, and nothing is locked.
//
// A typical session:
//   controller = NXSDK_RegisterTurntableController();  // scans for the turntable
//   controller->loadSettings(settings);                // before anything else
//   widget = controller->createSettingsWidget();       // whenever the user asks
//   controller->saveSettings(settings, message);       // when the user accepts
//   controller->startCapture();                        // then one picture per
//   ... snapActionRequired() -> take a picture -> snapTaken(n) ...
//   ... finished()
//   delete controller;                                 // says goodbye to the device
//
// Sharing this class between host and plug-in: the host compiles its own copy
// of this class, and so does the plug-in. The loader binds the plug-in to the
// host's copy only when the host exports it (built with -rdynamic, CMake's
// ENABLE_EXPORTS, or a dynamic list naming this class); then there is one
// meta-object and everything works. When the host does not export it, the
// plug-in keeps its own copy, and the host sees a controller whose
// metaObject() is not its CAbstractTurntableController::staticMetaObject:
//   - qobject_cast<CAbstractTurntableController *>() returns null, as it
//     compares meta-object addresses; QObject::inherits("CAbstractTurntableController")
//     followed by a static_cast works;
//   - connections by member-function pointer work (both copies number the
//     signals alike), and so do string-based SIGNAL()/SLOT() connections;
//   - virtual calls work, through the plug-in's virtual table.
// The remedy is to export the host's copy, as the reference host does.
class NXSDK_EXPORT CAbstractTurntableController : public QObject // clazy:exclude=ctor-missing-parent-argument
{
    Q_OBJECT

public:
    CAbstractTurntableController() = default;
    // Deleting the controller (the host owns it) stops it talking to the
    // turntable: every port the scan opened and still holds is sent the
    // disable command and closed, also one that a later match superseded, so
    // every device that was enabled is disabled again. A controller that
    // opened no port sends nothing. Widgets from createSettingsWidget() may
    // outlive it; they then no longer reach the device.
    ~CAbstractTurntableController() override;

    // A new settings widget each call; the caller owns it and may destroy it
    // at any time. Building a widget needs a QApplication: in a process with
    // only a QCoreApplication this answers null. Every widget still open
    // works: its rotation buttons act on its own form. Saving reads what the
    // user typed into the most recent widget still open, and the device's
    // information shows in that one. Without a turntable the widget is empty.
    virtual QWidget *createSettingsWidget() = 0;
    // Pictures per capture, spread evenly over one revolution.
    virtual quint16 framesCount() = 0;
    // Starts a capture; true when it started. The first snapActionRequired()
    // follows from the event loop, after this call has returned. It does not
    // start without settings, without a turntable, while the turntable runs
    // continuously, or while a Start of the rotation panel waits for the
    // device's answer. From here until finished() (or a new call, or the
    // controller's deletion) the rotation buttons of every open settings
    // widget are disabled. A new call starts afresh: nothing the earlier
    // capture scheduled acts after it, and if its turn is still running, the
    // first picture waits until the device confirms it (a device that never
    // does leaves the new capture waiting too). The frames count and both
    // delays are taken now: a saveSettings() during the capture applies to the
    // next one, so framesCount() may then differ from the count this capture
    // ends at.
    //
    // There is no abort. To abandon a capture, a host deletes the controller
    // (the turntable gets its disable command and no further turns) and
    // registers a new one, with loadSettings() and a new settings widget.
    virtual bool startCapture() = 0;
    // Validates the values of the most recent settings widget and writes them
    // to settings (not owned; may be null to validate and apply only). Returns
    // false and sets errorMessage to a sentence for the user when the values
    // cannot be saved (no turntable, rotation running, a value out of range).
    // Pass an empty errorMessage: it is left alone on success, and a message
    // found in it counts as a failure.
    virtual bool saveSettings(QSettings *settings, QString &errorMessage);
    // Reads the settings (not owned; null is ignored). Keys that are absent
    // leave the current values alone.
    virtual void loadSettings(QSettings *settings);
    // The host has taken a picture; count is the number taken so far in this
    // capture, starting at 1. When count equals the frames count the capture
    // started with (framesCount() then, unless settings were saved since) the
    // controller emits finished() inside this call. Otherwise, after the post-snap delay,
    // it turns the table, and once the device confirms the turn and the
    // pre-snap delay has passed it emits snapActionRequired() for the next
    // picture. Only a picture the controller asked for counts: a call while no
    // picture is requested is ignored. A device that never confirms, or one
    // that goes away, leaves the capture waiting; there is no error signal.
    virtual void snapTaken(int count);
    // The revision of this contract the plug-in was built for: 2. A host that
    // gets another answer must not call anything else.
    virtual int interfaceRevision();

signals:
    // Take one picture now, then call snapTaken().
    void snapActionRequired();
    // The capture is complete; no more pictures are requested.
    void finished();

protected:
    // Every timer event asks for a picture.
    void timerEvent(QTimerEvent *event) override;

    int m_timerId = 0;
};

// The one function a plug-in library exports. Every call makes a new,
// independent controller; the caller owns it and deletes it through the virtual
// destructor, before unloading the library. It needs an application object of
// the Qt the plug-in was built on, created before the call: a QCoreApplication
// will do (createSettingsWidget() needs a QApplication). It answers null when
// the controller cannot be allocated, or when there is no such object: also the
// case of a plug-in built on another major version of Qt than the host, whose
// Qt has no application object in the host.
extern "C" NXSDK_EXPORT CAbstractTurntableController *NXSDK_RegisterTurntableController();

#endif // CABSTRACTTURNTABLECONTROLLER_H
