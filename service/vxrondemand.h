#ifndef VXRONDEMAND_H
#define VXRONDEMAND_H

#include "vxrcommands.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// Pure pieces of the on-demand upload pass of the root dataset.
namespace VxrOnDemand {

// Result codes of the pass (the process exit status in "upload" mode).
enum Code {
    kSent = 0,
    kNothingLocal = 1,
    kServerCurrent = -1,
    kNoAccount = -3,
    kListFailed = -4,
    kFullNotStarted = -11,
    kFullFailed = -12,
    kIncrementalNotStarted = -21,
    kIncrementalFailed = -22,
};

struct Plan
{
    // The newest snapshot with the prefix that the server holds; empty
    // when it holds none.
    QString remoteNewest;
    // Local snapshots to send, oldest first: from the server's newest (when
    // the appliance has it) to the appliance's newest.
    QStringList toSend;
};

// Decides what to send from the server's and the appliance's snapshot
// names; only names starting with prefix count on either side.
Plan plan(const QStringList& remote, const QStringList& local, const QString& prefix);

// The upload-log line for a code, with its line feed:
// "yyyy-MM-dd HH:mm:ss  success", "... failed(-4)", or the time and a blank.
QString logLine(const QDateTime& when, int code);

// Shell text of a transfer to the server: a full stream of `from` when
// `to` is empty, else the increments from `from` to `to`, received into
// `target` on the server. Every value is quoted for the local shell, the
// target also for the server's shell; the password is not in the text
// (sshpass reads it from SSHPASS). ssh runs on its default port.
QString pipelineText(const VxrCommands::Account& account, const QString& from, const QString& to,
                     const QString& target);

} // namespace VxrOnDemand

#endif
