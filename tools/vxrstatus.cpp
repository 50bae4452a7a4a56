// vxrstatus: the state of the running vxrclient service, read from its
// socket: the settings summary (never the password), the next upload, the
// task queue with a progress bar per running task, and the newest
// operation-log records.
//
//   vxrstatus [--watch [--interval S] [--until-idle]] [--json] [--log N] [SOCKET]
//
// Without SOCKET the socket is the "localagentid" of the configuration
// (--cfg, by default the installed one). Once by default; --watch refreshes
// in place on a terminal and, without one (not a tty, or TERM=dumb),
// prints a new screen whenever the service's answers changed. --json
// prints one object (with --watch one line per refresh). Exit status: 0;
// 2 for bad arguments; 3 when the service did not answer (once; --watch
// goes on trying and says so on the screen).
#include "hx2file.h"
#include "hx2localserver.h"
#include "hx2utils.h"
#include "nextupload.h"
#include "statusview.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

const int kBadArguments = 2;
const int kNoReply = 3;
const char* const kDefaultConfig = "/kozu/etc/vxrclient/config.json";
// The settings change seldom; reading them again once a minute is enough.
const qint64 kSettingsEveryMs = 60000;
// No settings read this long after a daily time: such a read can make the
// service pass that upload over (see NextUpload::recentlyDue).
const int kDailyTimeGuardSecs = 300;

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

int fail(int status, const QString& message)
{
    std::fprintf(stderr, "vxrstatus: %s\n", message.toLocal8Bit().constData());
    return status;
}

void put(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// The reply to cmd, or an empty object when none came.
QJsonObject ask(const QString& socket, const char* cmd, qint64 timeout)
{
    QJsonObject reply;
    if (!HX2LocalServer::localRequest(socket, QJsonObject{{"cmd", QLatin1String(cmd)}}, &reply, timeout))
        return QJsonObject();
    return reply;
}

struct TermSize
{
    int columns = 0;
    int rows = 0;
};

TermSize terminalSize()
{
    TermSize size;
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0) {
        size.columns = ws.ws_col;
        size.rows = ws.ws_row;
    }
    if (size.columns <= 0)
        size.columns = qEnvironmentVariableIntValue("COLUMNS");
    if (size.columns <= 0)
        size.columns = 80;
    return size;
}

// Sleeps ms, in short steps so that a signal ends the wait at once.
void pause(qint64 ms)
{
    QElapsedTimer t;
    t.start();
    while (!g_stop && t.elapsed() < ms) {
        const timespec step{0, 50 * 1000 * 1000};
        ::nanosleep(&step, nullptr);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vxrstatus"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the vxrclient service's settings summary, next upload, task queue with progress bars, and newest "
        "operation-log records, read from its socket."));
    parser.addHelpOption();
    const QCommandLineOption watchOption(QStringLiteral("watch"), QStringLiteral("Refresh until interrupted."));
    const QCommandLineOption intervalOption(QStringLiteral("interval"),
                                            QStringLiteral("Seconds between refreshes (default 2)."),
                                            QStringLiteral("seconds"), QStringLiteral("2"));
    const QCommandLineOption idleOption(QStringLiteral("until-idle"),
                                        QStringLiteral("With --watch: stop once the queue has held tasks and is empty again."));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("Print JSON: one object, or with --watch one line per refresh."));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Operation-log records to show, newest first (default 5; 0 for none)."),
                                       QStringLiteral("count"), QStringLiteral("5"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Seconds to wait for each reply (default 10)."),
                                           QStringLiteral("seconds"), QStringLiteral("10"));
    const QCommandLineOption cfgOption(QStringLiteral("cfg"),
                                       QStringLiteral("Configuration whose \"localagentid\" is the socket, when none is given "
                                                      "(default %1).").arg(QLatin1String(kDefaultConfig)),
                                       QStringLiteral("file"), QLatin1String(kDefaultConfig));
    parser.addOptions({watchOption, intervalOption, idleOption, jsonOption, logOption, timeoutOption, cfgOption});
    parser.addPositionalArgument(QStringLiteral("socket"), QStringLiteral("Path of the service's socket."),
                                 QStringLiteral("[socket]"));
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() > 1)
        return fail(kBadArguments, QStringLiteral("expected at most one socket; see --help"));
    bool ok = false;
    const double interval = parser.value(intervalOption).toDouble(&ok);
    if (!ok || interval < 0.2 || interval > 3600)
        return fail(kBadArguments, QStringLiteral("--interval needs seconds from 0.2 to 3600"));
    const int logCount = parser.value(logOption).toInt(&ok);
    if (!ok || logCount < 0 || logCount > 1000)
        return fail(kBadArguments, QStringLiteral("--log needs a count from 0 to 1000"));
    const qint64 timeout = parser.value(timeoutOption).toLongLong(&ok);
    if (!ok || timeout <= 0)
        return fail(kBadArguments, QStringLiteral("--timeout needs a positive number of seconds"));
    const bool watch = parser.isSet(watchOption);
    const bool untilIdle = parser.isSet(idleOption);
    if (untilIdle && !watch)
        return fail(kBadArguments, QStringLiteral("--until-idle goes with --watch"));
    const bool asJson = parser.isSet(jsonOption);

    QString socket = args.value(0);
    if (socket.isEmpty()) {
        const QString cfg = parser.value(cfgOption);
        socket = toString(HX2File::readJsonObject(cfg).value("localagentid")).trimmed();
        if (socket.isEmpty())
            return fail(kBadArguments, QStringLiteral("no socket given and no \"localagentid\" in %1").arg(cfg));
    }

    const bool ansi = watch && !asJson && StatusView::ansiTerminal(::isatty(STDOUT_FILENO), qEnvironmentVariable("TERM"));
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    if (ansi)
        put("\x1b[?25l");

    StatusView::ProgressTracker tracker;
    StatusView::Status status;
    status.socket = socket;
    status.logCount = logCount;
    QElapsedTimer mono;
    mono.start();
    qint64 settingsAt = -1;
    QJsonArray schedule;
    QByteArray shownKey;
    int prevLines = 0;
    int prevColumns = 0;
    bool busySeen = false;
    int exitStatus = 0;
    while (!g_stop) {
        status.now = QDateTime::currentDateTime();
        const bool settingsDue = settingsAt < 0 || mono.elapsed() - settingsAt >= kSettingsEveryMs;
        if (settingsDue && !NextUpload::recentlyDue(status.now, schedule, kDailyTimeGuardSecs)) {
            status.settings = ask(socket, "vxrclient_settingload", timeout);
            settingsAt = mono.elapsed();
            schedule = status.settings.value("results").toObject().value("server").toObject().value("schedule").toArray();
        }
        // A service slow to answer must not hold up an interrupt for long.
        if (g_stop)
            break;
        status.tasks = ask(socket, "vxrclient_task_alload", timeout);
        if (logCount > 0 && !g_stop)
            status.log = ask(socket, "vxrclient_log_alload", timeout);
        if (g_stop)
            break;
        status.monoMs = mono.elapsed();
        const bool tasksOk = toInt(status.tasks.value("err"), -1) == 0;
        tracker.observe(status.monoMs, StatusView::records(status.tasks), tasksOk);

        if (asJson) {
            put(QJsonDocument(StatusView::json(status, tracker)).toJson(watch ? QJsonDocument::Compact : QJsonDocument::Indented));
        } else if (ansi) {
            const TermSize size = terminalSize();
            const int columns = std::max(size.columns - 1, 1);
            const QStringList lines = StatusView::screen(status, tracker, columns, size.rows > 1 ? size.rows - 1 : 0);
            put(StatusView::redraw(lines, prevLines, columns, prevColumns != 0 && prevColumns != columns));
            prevLines = lines.size();
            prevColumns = columns;
        } else {
            const QByteArray key = StatusView::repliesKey(status);
            if (!watch || key != shownKey) {
                const QStringList lines = StatusView::screen(status, tracker, terminalSize().columns - 1, 0);
                put((shownKey.isEmpty() ? QString() : QStringLiteral("\n")).toUtf8() + lines.join('\n').toUtf8() + '\n');
                shownKey = key;
            }
        }

        if (!watch) {
            exitStatus = status.tasks.isEmpty() ? kNoReply : 0;
            break;
        }
        if (tasksOk) {
            const bool busy = !StatusView::records(status.tasks).isEmpty();
            if (untilIdle && busySeen && !busy)
                break;
            busySeen = busySeen || busy;
        }
        pause(qint64(interval * 1000));
    }
    if (ansi)
        put("\x1b[?25h");
    if (exitStatus == kNoReply)
        return fail(kNoReply, QStringLiteral("no reply from %1").arg(socket));
    return exitStatus;
}
