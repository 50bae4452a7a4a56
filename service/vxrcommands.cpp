#include "vxrcommands.h"

namespace VxrCommands {

QStringList sshOptions()
{
    return {QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking no"),
            QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=15"),
            QStringLiteral("-o"), QStringLiteral("ServerAliveCountMax=4")};
}

QStringList sshpassArgs(const Account& account, const QString& remoteCommand, bool withPort)
{
    QStringList args{QStringLiteral("-e"), QStringLiteral("ssh")};
    if (withPort) {
        const int port = (account.port >= 1 && account.port <= 65535) ? account.port : 22;
        args << QStringLiteral("-p") << QString::number(port);
    }
    args << sshOptions();
    args << account.user + QLatin1Char('@') + account.host;
    args << remoteCommand;
    return args;
}

QHash<QString, QString> sshpassEnv(const Account& account)
{
    return {{QStringLiteral("SSHPASS"), account.password}};
}

QString shellQuote(const QString& value)
{
    QString out;
    out.reserve(value.size() + 2);
    out += QLatin1Char('\'');
    for (const QChar c : value) {
        if (c == QLatin1Char('\''))
            out += QLatin1String("'\\''");
        else
            out += c;
    }
    out += QLatin1Char('\'');
    return out;
}

} // namespace VxrCommands
