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

struct Options
{
    QString socket;
    bool watch = false;
    bool untilIdle = false;
    bool json = false;
    double interval = 2;
    int logCount = 5;
    qint64 timeout = 10;
};

// Reads the command line into *options; false with *error for bad
// arguments. Exits itself for --help.
bool parseOptions(const QCoreApplication& app, Options* options, QString* error)
{
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
    bool ok = false;
    options->interval = parser.value(intervalOption).toDouble(&ok);
    const bool intervalOk = ok && options->interval >= 0.2 && options->interval <= 3600;
    options->logCount = parser.value(logOption).toInt(&ok);
    const bool logOk = ok && options->logCount >= 0 && options->logCount <= 1000;
    options->timeout = parser.value(timeoutOption).toLongLong(&ok);
    const bool timeoutOk = ok && options->timeout > 0;
    options->watch = parser.isSet(watchOption);
    options->untilIdle = parser.isSet(idleOption);
    options->json = parser.isSet(jsonOption);
    options->socket = args.value(0);
    if (options->socket.isEmpty())
        options->socket = toString(HX2File::readJsonObject(parser.value(cfgOption)).value("localagentid")).trimmed();

    if (args.size() > 1)
        *error = QStringLiteral("expected at most one socket; see --help");
    else if (!intervalOk)
        *error = QStringLiteral("--interval needs seconds from 0.2 to 3600");
    else if (!logOk)
        *error = QStringLiteral("--log needs a count from 0 to 1000");
    else if (!timeoutOk)
        *error = QStringLiteral("--timeout needs a positive number of seconds");
    else if (options->untilIdle && !options->watch)
        *error = QStringLiteral("--until-idle goes with --watch");
    else if (options->socket.isEmpty())
        *error = QStringLiteral("no socket given and no \"localagentid\" in %1").arg(parser.value(cfgOption));
    return error->isEmpty();
}

// Asks the service for one refresh's replies. The settings are read at the
// start, then once a minute.
class Poller
{
public:
    explicit Poller(const Options& options) : m_options(options) { m_mono.start(); }

    // Fills status and feeds the tracker; false when interrupted.
    bool refresh(StatusView::Status& status, StatusView::ProgressTracker& tracker)
    {
        status.now = QDateTime::currentDateTime();
        const bool due = m_settingsAt < 0 || m_mono.elapsed() - m_settingsAt >= kSettingsEveryMs;
        if (due) {
            status.settings = ask(m_options.socket, "vxrclient_settingload", m_options.timeout);
            m_settingsAt = m_mono.elapsed();
        }
        // A service slow to answer must not hold up an interrupt for long.
        if (g_stop)
            return false;
        status.tasks = ask(m_options.socket, "vxrclient_task_alload", m_options.timeout);
        if (m_options.logCount > 0 && !g_stop)
            status.log = ask(m_options.socket, "vxrclient_log_alload", m_options.timeout);
        status.monoMs = m_mono.elapsed();
        tracker.observe(status.monoMs, StatusView::records(status.tasks), tasksCame(status));
        return !g_stop;
    }

    static bool tasksCame(const StatusView::Status& status) { return toInt(status.tasks.value("err"), -1) == 0; }

private:
    const Options& m_options;
    QElapsedTimer m_mono;
    qint64 m_settingsAt = -1;
};

// Writes each refresh: JSON, a frame redrawn in place on a terminal, or
// plain screens. The terminal's cursor is hidden while frames are drawn.
class Output
{
public:
    explicit Output(const Options& options)
        : m_options(options),
          m_ansi(options.watch && !options.json
                 && StatusView::ansiTerminal(::isatty(STDOUT_FILENO), qEnvironmentVariable("TERM")))
    {
        if (m_ansi)
            put("\x1b[?25l");
    }
    ~Output()
    {
        if (m_ansi)
            put("\x1b[?25h");
    }

    void show(const StatusView::Status& status, const StatusView::ProgressTracker& tracker)
    {
        if (m_options.json) {
            // The compact form has no line end of its own.
            const QJsonDocument doc(StatusView::json(status, tracker));
            put(m_options.watch ? doc.toJson(QJsonDocument::Compact) + '\n' : doc.toJson(QJsonDocument::Indented));
        } else if (m_ansi) {
            const TermSize size = terminalSize();
            const int columns = std::max(size.columns - 1, 1);
            const QStringList lines = StatusView::screen(status, tracker, columns, size.rows > 1 ? size.rows - 1 : 0);
            put(StatusView::redraw(lines, m_prevLines, columns, m_prevColumns != 0 && m_prevColumns != columns));
            m_prevLines = lines.size();
            m_prevColumns = columns;
        } else {
            // Without a terminal a screen is printed only when the service
            // showed something new.
            const QByteArray key = StatusView::repliesKey(status);
            if (m_options.watch && key == m_shownKey)
                return;
            const QStringList lines = StatusView::screen(status, tracker, terminalSize().columns - 1, 0);
            put((m_shownKey.isEmpty() ? QByteArray() : QByteArray("\n")) + lines.join('\n').toUtf8() + '\n');
            m_shownKey = key;
        }
    }

private:
    const Options& m_options;
    const bool m_ansi;
    int m_prevLines = 0;
    int m_prevColumns = 0;
    QByteArray m_shownKey;
};

int run(const Options& options)
{
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);

    Output output(options);
    Poller poller(options);
    StatusView::ProgressTracker tracker;
    StatusView::Status status;
    status.socket = options.socket;
    status.logCount = options.logCount;
    bool busySeen = false;
    while (poller.refresh(status, tracker)) {
        output.show(status, tracker);
        if (!options.watch)
            return status.tasks.isEmpty() ? kNoReply : 0;
        if (Poller::tasksCame(status)) {
            const bool busy = !StatusView::records(status.tasks).isEmpty();
            if (options.untilIdle && busySeen && !busy)
                break;
            busySeen = busySeen || busy;
        }
        pause(qint64(options.interval * 1000));
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vxrstatus"));
    Options options;
    QString error;
    if (!parseOptions(app, &options, &error))
        return fail(kBadArguments, error);
    const int status = run(options);
    if (status == kNoReply)
        return fail(kNoReply, QStringLiteral("no reply from %1").arg(options.socket));
    return status;
}
