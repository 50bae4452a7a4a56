#ifndef VXRPIPELINE_H
#define VXRPIPELINE_H

#include "vxrprograms.h"
#include "vxrssh.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

// Pure pieces of the transfers: the shell text of the pipelines that carry
// a ZFS stream between the appliance and the server, the run of that text,
// and the reading of pv's progress from its output. Nothing here starts a
// program or takes a lock.
namespace VxrPipeline {

// Printed by the pipeline text after every stage succeeded. script exits
// 0 when it is terminated itself (as by a service stop that signals every
// process at once), so its status alone cannot tell a finished stream.
constexpr const char* kDoneMarker = "vxr-stream-complete";
// True when output (the end of a transfer's output) shows the marker.
bool streamCompleted(const QByteArray& output);

// ---- Upload: zfs send | pv | sshpass ssh zfs recv

// Bash text of the full phase: "set -o pipefail; " then zfs send of first,
// pv measuring against totalBytes, and `sshpass -e ssh ...` running the
// receive of dataset, then the done marker. Every value is quoted for the
// local shell (and the dataset once more for the remote one); the password
// is not in the text, it travels in the SSHPASS variable of transfer().
QString uploadFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                   qint64 totalBytes);
// The same with `zfs send -RI first last` (every snapshot after first up to
// last, first itself being on the server already).
QString uploadIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                          const QString& dataset, qint64 totalBytes);

// The on-demand pass's pipelines: no progress meter, ssh on its default
// port; otherwise quoted, failing and marked as the scheduled ones.
QString onDemandFull(const VxrSsh::Account& account, const QString& first, const QString& dataset);
QString onDemandIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                            const QString& dataset);

// ---- Restore: sshpass ssh zfs send | pv | zfs recv

// Bash text of a restore phase: the server's `zfs send -R first` (or
// `-RI first last` for the incremental one) through `sshpass -e ssh`, pv
// measuring against totalBytes, and the appliance's receive of dataset,
// then the done marker. Quoted as the upload's. The full phase's receive
// marks the dataset as an unfinished restore of mark (VxrPlan::kRestoreMark).
QString restoreFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                    qint64 totalBytes, const QString& mark);
QString restoreIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                           const QString& dataset, qint64 totalBytes);

// The run of a pipeline text: "script" "-e" "-q" "-c" TEXT "/dev/null",
// so that pv prints its progress on a pseudo-terminal, script's status is
// the pipeline's and no typescript file is kept; bash as the shell (for
// pipefail) and the password in SSHPASS; startMs to start, no finish limit
// (the transfer loop bounds it).
VxrCommand transfer(const VxrSsh::Account& account, const QString& text, int startMs);

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
