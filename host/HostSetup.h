#ifndef HOSTSETUP_H
#define HOSTSETUP_H

#include "CaptureSession.h"
#include "EventLog.h"
#include "HostSettingsFile.h"

#include <QLibrary>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class CAbstractTurntableController;
class SimulatedTurntable;
struct HostOptions;

// What the command line and the window both run on: a controller, either the
// plug-in's own code on a simulated turntable (where the pseudo-terminal
// simulator exists: Linux) or a plug-in library loaded the way the host
// photography application loads it; the settings store handed over to it; and
// the log of the capture.
class HostSetup
{
public:
    // The contract revision this host speaks.
    static const int kInterfaceRevision = 2;

    HostSetup();
    ~HostSetup();

    // False with errorString() saying why; a controller that refuses the
    // settings is no error here, refusal() tells.
    bool open(const HostOptions &options);
    QString errorString() const { return m_errorString; }
    // A line telling the user what is being driven.
    QString description() const { return m_description; }
    // Empty when the controller accepted the settings, else its message, or
    // that no turntable was found.
    QString refusal() const { return m_refusal; }

    CAbstractTurntableController *controller() const { return m_controller.get(); }
    EventLog *log() { return &m_log; }
    CaptureSession::Plan plan() const { return m_plan; }

    // Asks the controller to save what it holds, from its settings widget when
    // one is open; empty when it agreed and the settings file took what
    // changed, else why not, which refusal() then reports too.
    QString save();

    // Whether the settings file is no longer, to the byte, the one read or
    // last written, so that a save refused for that may offer reload().
    bool settingsFileChanged();
    // Reads the settings file again, as it now is, and hands its values to
    // the controller without saving them: empty, or why the file was not taken.
    QString reload();
    // The values read or last written.
    const HostSettingsFile::Values &settingsFileValues() const { return m_file.values(); }
    QString settingsFileName() const { return m_file.fileName(); }

    // The contract's only way to abandon a capture: the controller is deleted,
    // so it sends its disable command where it still can and nothing the capture
    // scheduled acts any more, and a new one is registered the way the first
    // was, with the settings the store holds. False with errorString() saying
    // why when no new controller came; controller() is then null.
    bool renewController();

private:
    bool openSimulator(const HostOptions &options);
    bool openPlugin(const QString &path);
    bool openPort(const QString &path);
    bool openStore(const QString &path);
    // Whether the controller takes settings at all: a plug-in without its
    // turntable refuses any, and that is the first thing to say.
    bool takesSettings();
    void handOver(const HostOptions &options);
    // Hands values to the controller's loadSettings through a scratch store.
    void loadSettings(const HostSettingsFile::Values &values);
    // The controller's saveSettings into m_saved: empty when it agreed, else its message.
    QString judge();
    // Copies what the controller saved into the user's store.
    QString keep();

    EventLog m_log;
#ifdef ORBISTO_HOST_SIMULATOR
    // Declared before the controller so that it goes after it: the
    // controller says goodbye to it.
    std::unique_ptr<SimulatedTurntable> m_simulator;
#endif
    // Never unloaded: the library's code runs the controller to the end.
    QLibrary m_library;
    std::unique_ptr<CAbstractTurntableController> m_controller;
    // Makes a controller the way open() made the first one.
    std::function<CAbstractTurntableController *()> m_register;
    // The scratch stores, and the settings file when the user named none.
    std::unique_ptr<QTemporaryDir> m_dir;
    // The user's file: only values the controller saved reach it.
    HostSettingsFile m_file;
    // Where the controller saves first.
    std::unique_ptr<QSettings> m_saved;
    CaptureSession::Plan m_plan;
    QString m_errorString;
    QString m_description;
    QString m_refusal;
};

#endif // HOSTSETUP_H
