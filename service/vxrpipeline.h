#ifndef VXRPIPELINE_H
#define VXRPIPELINE_H

#include "vxrcommands.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

// Pure pieces of the upload transfer: the command lines and shell text of
// the pipeline `zfs send | pv | sshpass ssh zfs recv`, and the parsers of
// what zfs and pv print. Nothing here starts a program or takes a lock.
namespace VxrPipeline {

// ---- Builders

// "zfs" "list" "-t" "snapshot" "-H" "-o" "name" DATASET.
QStringList localListArgs(const QString& dataset);
// The remote command that lists the dataset's snapshots on the server, the
// dataset quoted for the server's shell.
QString remoteListCommand(const QString& dataset);
// "zfs" arguments of a size estimate: "send" "-RPnv" FIRST for a full
// stream; "send" "-RPnv" LAST "-i" FIRST for an incremental one.
QStringList fullEstimateArgs(const QString& first);
QStringList incrementalEstimateArgs(const QString& first, const QString& last);

// The remote command that receives the stream: read-only, access times off,
// not mounted, rolled back as needed; the dataset quoted for the server's
// shell.
QString receiveCommand(const QString& dataset);

// Printed by the pipeline text after every stage succeeded. script exits
// 0 when it is terminated itself (as by a service stop that signals every
// process at once), so its status alone cannot tell a finished stream.
constexpr const char* kDoneMarker = "vxr-stream-complete";
// True when output (the end of a transfer's output) shows the marker.
bool streamCompleted(const QByteArray& output);

// Bash text of the full phase: "set -o pipefail; " then zfs send of first,
// pv measuring against totalBytes, and `sshpass -e ssh ...` running the
// receive of dataset, then the done marker. Every value is quoted for the local shell (and the
// dataset once more for the remote one); the password is not in the text,
// it travels in the SSHPASS variable of scriptEnv().
QString fullPipeline(const VxrCommands::Account& account, const QString& first,
                     const QString& dataset, qint64 totalBytes);
// The same with `zfs send -RI first last` (every snapshot after first up to
// last, first itself being on the server already).
QString incrementalPipeline(const VxrCommands::Account& account, const QString& first,
                            const QString& last, const QString& dataset, qint64 totalBytes);

// The on-demand pass's pipelines: no progress meter, ssh on its default
// port; otherwise quoted, failing and marked as the scheduled ones.
QString onDemandFullPipeline(const VxrCommands::Account& account, const QString& first,
                             const QString& dataset);
QString onDemandIncrementalPipeline(const VxrCommands::Account& account, const QString& first,
                                    const QString& last, const QString& dataset);

// The on-demand pass's choice of snapshots, oldest first: those of local
// carrying prefix, from remoteNewest (when it is among them) to the newest;
// all of them when remoteNewest is empty or not found.
QStringList onDemandSpan(const QStringList& local, const QString& prefix, const QString& remoteNewest);
// The last of remote's lines that starts with prefix; empty when none.
QString newestWithPrefix(const QStringList& remote, const QString& prefix);
// The upload-log line of a pass: time, a blank, then " success" for 0,
// " failed(CODE)" for a negative code, nothing for a positive one; with
// the line feed.
QByteArray uploadLogLine(const QDateTime& time, int code);

// Arguments for the program "script" that run text on a pseudo-terminal
// (so pv prints its progress line), return its exit status (-e), print no
// banner (-q) and keep no typescript file (/dev/null).
QStringList scriptArgs(const QString& text);
// The environment of that run: bash as the shell (pipefail) and the
// password for `sshpass -e`.
QHash<QString, QString> scriptEnv(const VxrCommands::Account& account);

// ---- Decisions

// The snapshots the incremental phase spans, oldest first, given the local
// list and the server's list (both oldest first). With the server's newest
// among the local snapshots the span starts at it (the server holds it, and
// zfs needs the common snapshot as the incremental source); otherwise it is
// the whole local list. Fewer than two entries mean nothing to send.
QStringList incrementalSpan(const QStringList& local, const QStringList& remote);

// ---- Parsers

// The byte count of a `zfs send -nv` estimate: the second field of the
// first line whose first field is "size" (blanks and tabs separate fields);
// 0 when there is none or it is not a decimal number.
qint64 parseEstimateSize(const QByteArray& output);

// Percent with the mapped scale: the incremental phase fills what the full
// phase left, base + percent * (100 - base) / 100; both clamped to 0..100.
int mapRate(int percent, int base);

// The progress of a running transfer, read from pv's status line as it
// arrives through script's output.
//
// pv rewrites its status line in place ("[5.20MiB/s] [===>   ] 45%"
// separated by carriage returns), so the whole transfer can be one line of
// megabytes. Only the tail of the current line is kept (kTail bytes at
// most), which always holds the newest status: a poll costs the same after
// hours as after seconds.
class ProgressParser
{
public:
    static constexpr int kTail = 4096;

    // Appends output read from the transfer.
    void append(const QByteArray& bytes);

    // Reads the newest status. When the last non-empty line (trimmed) ends
    // in "%", sets *percent to the number before it clamped to 0..100 (0
    // when unreadable) and, when the rate field "[...]/s]" is found, *speed
    // to its text (such as "5.20MiB/s"), and returns true; otherwise
    // returns false and leaves both untouched. *speed may also stay
    // untouched on true.
    bool read(QString* speed, int* percent) const;

    // Bytes held now (bounded by about kTail plus one poll's output).
    int heldBytes() const { return m_tail.size(); }

private:
    QByteArray m_tail;
};

} // namespace VxrPipeline

#endif
