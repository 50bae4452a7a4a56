// standin_agent: stands in for the appliance's platform agent on its local
// socket, answering "system_currinfo" as the status report relies on.
//
//   standin_agent [--socket PATH] [--results JSON | --results-file FILE]
//                 [--err N] [--delay-ms N] [--record FILE]
//
// --socket        the socket to listen on; default
//                 "/run/kozu/localsockets/.ls.hubcore.agent."
// --results       the object answered as "results"; default
//                 {"hostname": this machine's host name}
// --results-file  a file holding that object, read again at every request,
//                 so a test may change the answer while the agent runs
// --err           the "err" of every answer (default 0); a non-zero err is
//                 answered with "errmsg" and no "results"
// --delay-ms      pause before each answer
// --record        append every request received, as one compact JSON line
//
// Prints "listening PATH" once it accepts requests. SIGINT and SIGTERM end it
// and remove the socket file.
#include "hx2localserver.h"
#include "hx2todorouter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>
#include <QJsonDocument>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

char g_socketPath[4096];

void quit(int)
{
    ::unlink(g_socketPath);
    ::_exit(0);
}

} // namespace

class AgentRouter : public HX2TodoRouter
{
    Q_OBJECT
public:
    QJsonObject results;
    QString resultsFile;
    int err = 0;
    int delayMs = 0;
    QString recordFile;

private slots:
    void system_currinfo(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        record(cmdObject);
        if (cmdObject.contains("help"))
            return;
        QThread::msleep(ulong(delayMs));
        if (err != 0) {
            envObject->setErr(err, QStringLiteral("standin agent error"));
            return;
        }
        QJsonObject answer = results;
        if (!resultsFile.isEmpty()) {
            QFile f(resultsFile);
            answer = f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
        }
        retObject->insert("results", answer);
        envObject->setErr(0, QString());
    }

private:
    void record(const QJsonObject& request)
    {
        if (recordFile.isEmpty())
            return;
        std::lock_guard<std::mutex> lock(m_recordMutex);
        QFile f(recordFile);
        if (f.open(QIODevice::Append))
            f.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    }
    std::mutex m_recordMutex;
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stands in for the platform agent: answers system_currinfo."));
    parser.addHelpOption();
    parser.addOptions({
        {"socket", "Socket path to listen on.", "path", "/run/kozu/localsockets/.ls.hubcore.agent."},
        {"results", "JSON object answered as \"results\".", "json"},
        {"results-file", "File holding that object, read at every request.", "file"},
        {"err", "\"err\" of every answer.", "n", "0"},
        {"delay-ms", "Pause before each answer.", "ms", "0"},
        {"record", "Append each request as a JSON line to this file.", "file"},
    });
    parser.process(app);

    AgentRouter router;
    router.results = QJsonObject{{"hostname", QSysInfo::machineHostName()}};
    if (parser.isSet("results")) {
        const QJsonDocument doc = QJsonDocument::fromJson(parser.value("results").toUtf8());
        if (!doc.isObject()) {
            std::fprintf(stderr, "standin_agent: --results must be a JSON object\n");
            return 2;
        }
        router.results = doc.object();
    }
    router.resultsFile = parser.value("results-file");
    router.err = parser.value("err").toInt();
    router.delayMs = parser.value("delay-ms").toInt();
    router.recordFile = parser.value("record");

    const QString path = parser.value("socket");
    std::strncpy(g_socketPath, QFile::encodeName(path).constData(), sizeof g_socketPath - 1);
    std::signal(SIGINT, quit);
    std::signal(SIGTERM, quit);

    HX2LocalServer server;
    server.add(&router);
    if (!server.start(path)) {
        std::fprintf(stderr, "standin_agent: cannot listen on %s\n", g_socketPath);
        return 1;
    }
    std::printf("listening %s\n", g_socketPath);
    std::fflush(stdout);
    return app.exec();
}

#include "agent.moc"
