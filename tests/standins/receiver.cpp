// standin_receiver: stands in for the management server that receives the
// status reports, on 127.0.0.1.
//
//   standin_receiver [--port N] [--record FILE] [--status N] [--reply TEXT]
//                    [--tls-cert FILE --tls-key FILE]
//
// --port      the port (default: a free one)
// --record    append every request as one JSON line: {"method", "target",
//             "headers": {name: value}, "body": text}
// --status    the status of every answer (default 200)
// --reply     the body of every answer (default {"err":0})
// --tls-cert, --tls-key   serve https with this PEM certificate and key
//
// Prints "listening URL" once it accepts requests; runs until SIGINT or
// SIGTERM.
#include "httptestserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <cstdio>
#include <mutex>

int main(int argc, char* argv[])
{
    // Blocked before any thread starts, so that only sigwait() takes them.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stands in for the management server: records requests."));
    parser.addHelpOption();
    parser.addOptions({
        {"port", "Port on 127.0.0.1 (default: a free one).", "n", "0"},
        {"record", "Append each request as a JSON line to this file.", "file"},
        {"status", "Status of every answer.", "n", "200"},
        {"reply", "Body of every answer.", "text", "{\"err\":0}"},
        {"tls-cert", "PEM certificate: serve https.", "file"},
        {"tls-key", "PEM key of that certificate.", "file"},
    });
    parser.process(app);

    HttpTestServer server;
    std::mutex recordMutex;
    const QString recordFile = parser.value("record");
    HttpTestServer::Reply reply = HttpTestServer::Reply::code(parser.value("status").toInt(),
                                                              parser.value("reply").toUtf8());
    server.setRecording(false);
    server.setHandler([&](const HttpTestServer::Request& request) {
        if (!recordFile.isEmpty()) {
            QJsonObject headers;
            for (const auto& h : request.headers)
                headers.insert(QString::fromLatin1(h.first), QString::fromLatin1(h.second));
            const QJsonObject line{{"method", QString::fromLatin1(request.method)},
                                   {"target", QString::fromLatin1(request.target)},
                                   {"headers", headers},
                                   {"body", QString::fromUtf8(request.body)}};
            std::lock_guard<std::mutex> lock(recordMutex);
            QFile f(recordFile);
            if (f.open(QIODevice::Append))
                f.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
        }
        return reply;
    });
    const quint16 port = quint16(parser.value("port").toUInt());
    const bool started = parser.isSet("tls-cert")
        ? server.startTls(parser.value("tls-cert"), parser.value("tls-key"), port)
        : server.start(port);
    if (!started) {
        std::fprintf(stderr, "standin_receiver: cannot listen\n");
        return 1;
    }
    std::printf("listening %s\n", server.url(QString()).toUtf8().constData());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&quitSignals, &signal);
    server.stop();
    return 0;
}
