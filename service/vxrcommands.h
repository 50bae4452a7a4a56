#ifndef VXRCOMMANDS_H
#define VXRCOMMANDS_H

#include <QHash>
#include <QString>
#include <QStringList>

// Pure builders of the engine's command lines and shell text. Nothing here
// starts a program.
namespace VxrCommands {

// The account a remote command logs in with.
struct Account
{
    QString host;
    int port = 22;
    QString user;
    QString password;
};

// ssh options every remote command of the engine carries: no host-key
// prompt, and keep-alives so that a dead link ends the command within
// about a minute instead of hanging the worker.
QStringList sshOptions();

// Arguments for the program "sshpass" that run remoteCommand on the server
// as one argument: "-e" "ssh" ["-p" PORT] options USER@HOST remoteCommand.
// The password is not among them: pass sshpassEnv() as the environment.
QStringList sshpassArgs(const Account& account, const QString& remoteCommand, bool withPort = true);

// The environment that hands the password to "sshpass -e".
QHash<QString, QString> sshpassEnv(const Account& account);

// The text quoted for a POSIX shell: the value between single quotes, each
// single quote written as '\''. The shell reads it back unchanged, whatever
// it holds.
QString shellQuote(const QString& value);

} // namespace VxrCommands

#endif
