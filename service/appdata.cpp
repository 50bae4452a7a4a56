#include "appdata.h"

#include "hx2file.h"
#include "hx2journals.h"
#include "hx2rpcpacket.h"
#include "hx2runner.h"
#include "hx2utils.h"
#include "phpaths.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {
AppData* g_appData = nullptr;
// Self-pipe: the signal handler only writes the signal number here; the
// main thread's notifier does the rest outside signal context.
int g_quitPipe[2] = {-1, -1};
const char* const kConfigDir = "/kozu/etc/vxrclient";
}

void sigInt_AppQuit(int sig)
{
    if (sig != SIGINT && sig != SIGTERM)
        return;
    const int saved = errno;
    if (g_quitPipe[1] >= 0) {
        const char byte = static_cast<char>(sig);
        ssize_t r = ::write(g_quitPipe[1], &byte, 1);
        (void)r;
    }
    errno = saved;
}

AppData* IAppData()
{
    return g_appData;
}

AppData* AppData::create()
{
    if (!g_appData)
        g_appData = new AppData();
    return g_appData;
}

AppData::AppData() : QObject(nullptr), HX2Core()
{
    if (::pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_quitNotifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, this);
        connect(m_quitNotifier, &QSocketNotifier::activated, this, &AppData::onQuitSignal);
    }
    installQuitHandler({SIGHUP, SIGPIPE});
    qRegisterMetaType<HX2RpcPacket>("HX2RpcPacket");
    cfgDir = QDir(PHPaths::resolve(QString::fromLatin1(kConfigDir)));
    server.add(&router);
    installQuitHandler({SIGINT, SIGTERM});
}

void AppData::installQuitHandler(std::initializer_list<int> sigs)
{
    struct sigaction sa {};
    sa.sa_handler = sigInt_AppQuit;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // A parent may hand down a mask that blocks these signals; the service
    // must still quit on SIGTERM, so they are unblocked for the main thread
    // and every thread started after it.
    sigset_t unblock;
    sigemptyset(&unblock);
    for (int s : sigs) {
        ::sigaction(s, &sa, nullptr);
        sigaddset(&unblock, s);
    }
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

void AppData::onQuitSignal()
{
    char buf[64];
    bool quit = false;
    for (;;) {
        const ssize_t n = ::read(g_quitPipe[0], buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == SIGINT || buf[i] == SIGTERM)
                quit = true;
        }
    }
    if (!quit)
        return;
    quitEngine();
    QCoreApplication::quit();
}

void AppData::quitEngine()
{
    std::fputs("Wait for quit ...\n", stdout);
    std::fflush(stdout);
    // Running transfers end with their whole process trees; the worker
    // sees its programs gone, writes its outcome and takes no further task.
    engine.quit(0);
    HX2Runner::killAll();
}

void AppData::watchQuitPipe()
{
    pollfd fd{g_quitPipe[0], POLLIN, 0};
    for (;;) {
        if (::poll(&fd, 1, -1) < 0 && errno != EINTR)
            return;
        char buf[64];
        const ssize_t n = ::read(g_quitPipe[0], buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == SIGINT || buf[i] == SIGTERM) {
                quitEngine();
                return;
            }
        }
    }
}

QString AppData::defaultConfigPath() const
{
    return QDir(PHPaths::resolve(QString::fromLatin1(kConfigDir))).filePath(QStringLiteral("config.json"));
}

bool AppData::init(const QString& path)
{
    const QString file = path.isEmpty() ? defaultConfigPath() : path;
    configure = HX2File::readJsonObject(file);
    HX2Journals journal;
    if (router.loadConfigure(journal, configure))
        return true;
    // The only word the operator gets on why the service did not start.
    if (!journal.errmsg().isEmpty())
        std::fprintf(stderr, "vxrclient: %s: %s\n", file.toUtf8().constData(), journal.errmsg().toUtf8().constData());
    return false;
}

bool AppData::start()
{
    HX2Journals journal;
    engine.start(journal);
    debugging = toBool(configure.value("debugging"));
    appname = toString(configure.value("appname")).trimmed();
    localagentid = toString(configure.value("localagentid"));
    if (localagentid.isEmpty())
        return false;
    server.debugging = debugging;
    if (!server.start(localagentid)) {
        // Two services on one socket would run two schedulers on the same
        // pools; the one that finds the socket answered gives way.
        if (server.addressInUse())
            std::fprintf(stderr, "Another instance is listening on %s\n", qPrintable(localagentid));
        return false;
    }
    if (debugging)
        PRINTLN(QVariant(QStringLiteral("Local agent: ") + localagentid));
    return true;
}

int AppData::upload()
{
    // No event loop reads the quit pipe in this mode: a thread of its own
    // does. It lives until the process ends.
    if (g_quitPipe[0] >= 0)
        std::thread([this] { watchQuitPipe(); }).detach();
    return engine.upload();
}

void AppData::finish()
{
    engine.quit(kQuitWaitMs);
    // Anything a worker started after the first kill.
    HX2Runner::killAll();
    std::fflush(stdout);
}
