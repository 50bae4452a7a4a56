#ifndef APPDATA_H
#define APPDATA_H

#include "hx2core.h"
#include "hx2localserver.h"
#include "requestrouter.h"
#include "vxrclient.h"

#include <QObject>
#include <QString>

class QSocketNotifier;

// The one application object: the framework core, the backup engine, the
// command router and the local-socket server that answers on
// "localagentid" once the service starts. Created by create() and
// never destroyed before the process ends.
//
// The process runs in one of two modes after init():
// - "upload": upload() runs one pass and the process exits with its code
//   (VxrOnDemand::Code, as its low byte); neither the scheduler nor the
//   server starts. SIGINT or SIGTERM print "Wait for quit ...", end the
//   pass's programs and so its transfer, which then counts as failed.
// - the service: start(), then the event loop until SIGINT or SIGTERM, then
//   finish(); the exit status is the loop's (0 after a quit), or 255 when
//   start() fails.
class AppData : public QObject, public HX2Core
{
    Q_OBJECT
public:
    // The existing instance, or a new one.
    static AppData* create();

    // Loads the configuration file (the default when path is empty) and
    // hands it to the engine; false when the engine refuses it.
    bool init(const QString& path);
    // Starts the engine, then reads "debugging", "appname" and
    // "localagentid" and makes the server listen on the latter. False when
    // "localagentid" is empty or the server cannot listen (the engine has
    // been started by then).
    bool start();
    // One upload pass; its result code. Main thread, no event loop.
    int upload();
    // After the event loop: lets the task worker record the outcome of a
    // transfer the quit interrupted (up to kQuitWaitMs), then ends every
    // program still running. The caller then ends the process without
    // running destructors, as detached engine threads may still be alive.
    void finish();
    static constexpr int kQuitWaitMs = 3000;

    // The default configuration file ("config.json" in the configuration
    // directory).
    QString defaultConfigPath() const;

    VxrClient engine;
    QString appname;
    RequestRouter router;
    QString localagentid;
    HX2LocalServer server;

private:
    AppData();
    void installQuitHandler(std::initializer_list<int> sigs);
    void onQuitSignal();
    // The quit: prints "Wait for quit ...", stops the engine's workers and
    // ends every program they run.
    void quitEngine();
    // Waits on the quit pipe without an event loop (the upload mode).
    void watchQuitPipe();

    QSocketNotifier* m_quitNotifier = nullptr;
};

// The application object, or null before AppData::create().
AppData* IAppData();

// The process's quit handler for SIGHUP, SIGPIPE, SIGINT and SIGTERM.
// SIGHUP and SIGPIPE are ignored; SIGINT and SIGTERM end the event loop.
void sigInt_AppQuit(int sig);

#endif
