#ifndef VXRPIPELINE_H
#define VXRPIPELINE_H

#include "vxrprograms.h"
#include "vxrssh.h"
#include "vxrzfs.h"

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

// The stream compressors the pipelines know; both ends run the same one.
enum class Codec { None, Zstd, Lz4 };
// The program's name ("zstd", "lz4"), which the configuration also uses;
// "none" for None.
QString codecName(Codec codec);

// How a pipeline's stream travels. The default, a configuration without
// "compress" and "bwlimit", is the plain stream: no compressor, and pv
// (where there is one) without a limit.
struct StreamOptions
{
    // Compressed on the sending side after the meter (which so counts the
    // stream's own bytes) and decompressed on the receiving side before
    // zfs recv. The caller has made sure both ends have the program.
    Codec codec = Codec::None;
    // The meter carries a rate limit that can be changed while it runs
    // (meterRate), and announces its process id and starting rate on the
    // pipeline's output first (meterAnnounced). The on-demand pass gets a
    // meter only then.
    bool limited = false;
    // The starting rate, bytes a second; 0 is no limit.
    qint64 rate = 0;
};

// ---- Upload: zfs send | pv | sshpass ssh zfs recv

// Bash text of the full phase: "set -o pipefail; " then zfs send of first,
// pv measuring against totalBytes, and `sshpass -e ssh ...` running the
// receive of dataset, then the done marker. Every value is quoted for the
// local shell (and the dataset once more for the remote one); the password
// is not in the text, it travels in the SSHPASS variable of transfer().
// With a codec, the server decompresses before its zfs recv.
QString uploadFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                   qint64 totalBytes, const StreamOptions& stream = StreamOptions());
// The same with `zfs send -RI first last` (every snapshot after first up to
// last, first itself being on the server already), received as history
// says. The full phase always mirrors: it creates the server's copy.
QString uploadIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                          const QString& dataset, qint64 totalBytes, const StreamOptions& stream = StreamOptions(),
                          VxrZfs::ServerHistory history = VxrZfs::ServerHistory::Mirror);

// The on-demand pass's pipelines: no progress meter (a quiet one only when
// the stream is limited), ssh on its default port; otherwise quoted,
// compressed, failing and marked as the scheduled ones.
QString onDemandFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                     const StreamOptions& stream = StreamOptions());
QString onDemandIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                            const QString& dataset, const StreamOptions& stream = StreamOptions(),
                            VxrZfs::ServerHistory history = VxrZfs::ServerHistory::Mirror);

// ---- Restore: sshpass ssh zfs send | pv | zfs recv

// Bash text of a restore phase: the server's `zfs send -R first` (or
// `-RI first last` for the incremental one) through `sshpass -e ssh`, pv
// measuring against totalBytes, and the appliance's receive of dataset,
// then the done marker. Quoted as the upload's. The full phase's receive
// marks the dataset as an unfinished restore of mark (VxrPlan::kRestoreMark).
// With a codec the server compresses after its zfs send, and the appliance
// decompresses before pv.
QString restoreFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                    qint64 totalBytes, const QString& mark, const StreamOptions& stream = StreamOptions());
QString restoreIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                           const QString& dataset, qint64 totalBytes, const StreamOptions& stream = StreamOptions());

// The run of a pipeline text: "script" "-e" "-q" "-c" TEXT "/dev/null",
// so that pv prints its progress on a pseudo-terminal, script's status is
// the pipeline's and no typescript file is kept; bash as the shell (for
// pipefail) and the password in SSHPASS; startMs to start, no finish limit
// (the transfer loop bounds it).
VxrCommand transfer(const VxrSsh::Account& account, const QString& text, int startMs);

// ---- Compression and the rate limit

// The server's check that it can run the codec's program (as ssh's
// session finds it); 10 s to start, 60 s to end. Only for a codec other
// than none.
VxrZfs::RemoteQuery codecProbe(Codec codec);
// What that check's run says.
enum class CodecProbe { Present, Absent, Unknown };
// Present or Absent when the check ran and printed its answer; Unknown
// when it could not tell (ssh failed, the answer is missing), which is
// worth asking again.
CodecProbe readCodecProbe(const HX2RunResult& result);

// The rate pv is told for "no limit": pv keeps its limit when told 0.
constexpr qint64 kLiftedRate = Q_INT64_C(1) << 40;
// `pv -R PID -L RATE`: the running meter's new rate (0: no limit, as
// kLiftedRate); 10 s to start and to end.
VxrCommand meterRate(qint64 pid, qint64 rate);
// The process id and starting rate a limited pipeline's meter announces
// on the pipeline's output ("vxr-meter PID RATE", a line of its own), read
// from the start of that output. False until the whole line is there.
bool meterAnnounced(const QByteArray& output, qint64* pid, qint64* rate);

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
