#ifndef VXRSSH_H
#define VXRSSH_H

#include <QHash>
#include <QString>
#include <QStringList>

// ssh and sshpass: the account a remote command logs in with, its argument
// lists and environment. Pure: nothing here starts a program. Shell text is
// quoted with toShellArgEscaped (hx2utils.h).
namespace VxrSsh {

// The port to put on a command line: port when in 1..65535, else 22.
int validPort(int port);

// The backup server account a remote command logs in with.
struct Account
{
    QString host;
    int port = 22;
    QString user;
    QString password;
};

// Why the account's user or host cannot be handed to ssh, or empty when
// both can: each must be non-empty, must not begin with "-" (ssh would read
// an option) and must hold no blank or control character, and the host no
// "@" (ssh splits the destination at its last one).
QString destinationProblem(const Account& account);

// ssh options every remote command of the engine carries: no host-key
// prompt, and keep-alives so that a dead link ends the command within
// about a minute instead of hanging the worker.
QStringList sshOptions();

// Arguments for the program "sshpass" that run remoteCommand on the server
// as one argument: "-e" "ssh" ["-p" PORT] options "--" USER@HOST
// remoteCommand. The password is not among them: pass sshpassEnv() as the
// environment. The caller has checked destinationProblem().
QStringList sshpassArgs(const Account& account, const QString& remoteCommand, bool withPort = true);

// The environment that hands the password to "sshpass -e".
QHash<QString, QString> sshpassEnv(const Account& account);

} // namespace VxrSsh

#endif
