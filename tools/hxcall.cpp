// hxcall: sends one request to a local RPC socket and prints the reply.
//
//   hxcall [--timeout SECONDS] SOCKET '{"cmd": "name", "params": {...}}'
//   hxcall [--timeout SECONDS] SOCKET COMMAND ['{"param": value, ...}']
//
// Either JSON text may be given as "-" and is then read from standard
// input, so that secrets (a server password) stay out of the command line.
// The reply is printed to standard output as indented JSON. Exit status: 0
// when a reply came; 2 for bad arguments; 3 when no reply came (no server
// at the path, connection refused, time-out, or a reply that is no frame).
#include "hx2localserver.h"
#include "hx2rpcpacket.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cstdio>

namespace {

const int kBadArguments = 2;
const int kNoReply = 3;

int fail(int status, const QString& message)
{
    std::fprintf(stderr, "hxcall: %s\n", message.toLocal8Bit().constData());
    return status;
}

// Parses text as a JSON object; on failure returns false with a message.
bool parseObject(const QString& text, const char* what, QJsonObject& out, QString& error)
{
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &perr);
    if (perr.error != QJsonParseError::NoError) {
        error = QStringLiteral("%1 is not valid JSON: %2 at offset %3")
                    .arg(QLatin1String(what), perr.errorString())
                    .arg(perr.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("%1 must be a JSON object").arg(QLatin1String(what));
        return false;
    }
    out = doc.object();
    return true;
}

// The argument, or when it is "-" the text on standard input (read once;
// a second "-" reads nothing). No more than a peer would accept is read.
QString argumentText(const QString& arg)
{
    if (arg != QLatin1String("-"))
        return arg;
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(in.read(HX2RpcPacket::MaxPeerPayload));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("hxcall"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends one request to a local RPC socket and prints the reply as indented JSON."));
    parser.addHelpOption();
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Seconds to wait for the reply (default 10)."),
                                           QStringLiteral("seconds"), QStringLiteral("10"));
    parser.addOption(timeoutOption);
    parser.addPositionalArgument(QStringLiteral("socket"), QStringLiteral("Path of the local socket."));
    parser.addPositionalArgument(QStringLiteral("request"),
                                 QStringLiteral("A JSON request object (- reads it from standard input), or a command name."));
    parser.addPositionalArgument(QStringLiteral("params"),
                                 QStringLiteral("With a command name: its parameters as a JSON object (- reads them from standard input)."),
                                 QStringLiteral("[params]"));
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() < 2 || args.size() > 3)
        return fail(kBadArguments, QStringLiteral("expected SOCKET and a request or a command name "
                                                  "(and optional params); see --help"));
    bool ok = false;
    const qint64 timeout = parser.value(timeoutOption).toLongLong(&ok);
    if (!ok || timeout <= 0)
        return fail(kBadArguments, QStringLiteral("--timeout needs a positive number of seconds"));

    const QString socket = args.at(0);
    const QString second = argumentText(args.at(1));
    QJsonObject request;
    QString error;
    if (second.trimmed().startsWith(QLatin1Char('{'))) {
        if (args.size() == 3)
            return fail(kBadArguments, QStringLiteral("params go with a command name, not with a request object"));
        if (!parseObject(second, "the request", request, error))
            return fail(kBadArguments, error);
    } else {
        if (second.trimmed().isEmpty())
            return fail(kBadArguments, QStringLiteral("the command name is empty"));
        request.insert(QStringLiteral("cmd"), second);
        if (args.size() == 3) {
            QJsonObject params;
            if (!parseObject(argumentText(args.at(2)), "params", params, error))
                return fail(kBadArguments, error);
            request.insert(QStringLiteral("params"), params);
        }
    }

    QJsonObject reply;
    if (!HX2LocalServer::localRequest(socket, request, &reply, timeout)) {
        if (socket.contains(QLatin1Char('/')) && !QFileInfo::exists(socket))
            return fail(kNoReply, QStringLiteral("no socket at %1").arg(socket));
        return fail(kNoReply, QStringLiteral("no reply from %1 within %2 s").arg(socket).arg(timeout));
    }
    const QByteArray text = QJsonDocument(reply).toJson(QJsonDocument::Indented);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return 0;
}
