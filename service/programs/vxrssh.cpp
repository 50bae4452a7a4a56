#include "vxrssh.h"

namespace VxrSsh {

int validPort(int port)
{
    return (port >= 1 && port <= 65535) ? port : 22;
}

namespace {

QString partProblem(const QString& value, const char* what)
{
    const QString name = QString::fromLatin1(what);
    if (value.isEmpty())
        return name + QStringLiteral(" is empty");
    if (value.startsWith(QLatin1Char('-')))
        return name + QStringLiteral(" begins with \"-\"");
    for (const QChar c : value) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return name + QStringLiteral(" holds a blank or control character");
    }
    return QString();
}

} // namespace

QString destinationProblem(const Account& account)
{
    const QString user = partProblem(account.user, "user");
    if (!user.isEmpty())
        return user;
    // ssh splits the destination at its last "@": one in the host would
    // log in as another user on another host.
    if (account.host.contains(QLatin1Char('@')))
        return QStringLiteral("host holds \"@\"");
    return partProblem(account.host, "host");
}

QStringList sshOptions()
{
    return {QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking no"),
            QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=15"),
            QStringLiteral("-o"), QStringLiteral("ServerAliveCountMax=4")};
}

QStringList sshpassArgs(const Account& account, const QString& remoteCommand, bool withPort)
{
    QStringList args{QStringLiteral("-e"), QStringLiteral("ssh")};
    if (withPort)
        args << QStringLiteral("-p") << QString::number(validPort(account.port));
    args << sshOptions();
    // Ends ssh's options: whatever the destination holds, it is not one.
    args << QStringLiteral("--");
    args << account.user + QLatin1Char('@') + account.host;
    args << remoteCommand;
    return args;
}

QHash<QString, QString> sshpassEnv(const Account& account)
{
    return {{QStringLiteral("SSHPASS"), account.password}};
}

} // namespace VxrSsh
