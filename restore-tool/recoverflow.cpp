#include "recoverflow.h"

#include "recoverrunner.h"

#include <QStandardPaths>

#include <cstdio>

#include <unistd.h>

namespace Recover {

namespace {

constexpr int kLocalStartMs = 10000;
constexpr int kLocalFinishMs = 60000;
constexpr int kListStartMs = 10000;
constexpr int kListFinishMs = 3600000;
constexpr int kTransferStartMs = 30000;
constexpr int kTransferFinishMs = 864000000; // ten days
constexpr int kMountStartMs = 10000;
constexpr int kMountFinishMs = 10000;
// A listing beyond this is not one a backup account holds; a server that
// sends more is cut off there.
constexpr int kMaxListing = 64 << 20;
// What a transfer writes is error text and the marker; its tail suffices.
constexpr int kTransferOutput = 64 * 1024;
constexpr int kFailureLines = 20;

void say(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void sayAll(const QStringList& lines)
{
    for (const QString& line : lines)
        say(line);
}

// The terminal pv draws its progress on: standard error's, when it is one
// and pv is installed; otherwise none, and the transfer shows nothing.
QString progressTerminal()
{
    if (!::isatty(STDERR_FILENO) || QStandardPaths::findExecutable(QStringLiteral("pv")).isEmpty())
        return QString();
    const char* name = ::ttyname(STDERR_FILENO);
    return name ? QString::fromLocal8Bit(name) : QString();
}

// Runs one transfer under script; true only when script started, ended
// normally with 0 and the pipeline printed its marker. On failure prints
// the failure line and the tail of what the transfer wrote.
bool transfer(const Request& request, const QString& text, const char* startedMessage)
{
    RunLimits limits;
    limits.startMs = kTransferStartMs;
    limits.finishMs = kTransferFinishMs;
    limits.maxOutput = kTransferOutput;
    const RunResult r = run(QStringLiteral("script"), scriptArgs(text), scriptEnv(request), limits,
                            [startedMessage] { say(QString::fromUtf8(startedMessage)); });
    if (r.ok() && transferCompleted(r.out))
        return true;
    say(QString::fromUtf8(kRestoreFailed));
    if (!r.started)
        say(r.startError);
    else
        sayAll(tailLines(r.out + r.err, kFailureLines));
    return false;
}

// Makes every dataset of the target whose mount point the stream set
// outside the pool's tree inherit it again, printing a line for each, so
// that neither the mount below nor the next boot's mounts put it where the
// server chose. True when all the target's mount points are known to lie
// in the pool's tree now; false when they could not be read or one could
// not be reset, and the target must not be mounted.
bool resetMountpoints(const Request& request)
{
    RunLimits limits;
    limits.startMs = kLocalStartMs;
    limits.finishMs = kLocalFinishMs;
    limits.maxOutput = kMaxListing;
    const QString zfs = QStringLiteral("/usr/sbin/zfs");
    const QString into = request.into();
    const QString pool = into.section(QLatin1Char('/'), 0, 0);
    if (!request.target.isEmpty()) {
        // A copy beside the live dataset would mount where the live one
        // does with any mount point of its own: each inherits its place.
        const RunResult before = run(zfs, mountpointListArgs(into, true), {}, limits);
        if (!before.ok() || before.outTruncated
            || !run(zfs, {QStringLiteral("inherit"), QStringLiteral("-r"), QStringLiteral("mountpoint"), into}, {},
                    limits)
                    .ok())
            return false;
        const RunResult after = run(zfs, mountpointListArgs(into, true), {}, limits);
        if (!after.ok() || after.outTruncated)
            return false;
        const QList<Mountpoint> now = readMountpoints(after.out);
        for (const Mountpoint& was : readMountpoints(before.out)) {
            if (was.path.startsWith(QLatin1Char('/')) && !now.contains(was))
                say(mountpointResetLine(was));
        }
    }
    const RunResult poolRun = run(zfs, mountpointListArgs(pool, false), {}, limits);
    const RunResult target = run(zfs, mountpointListArgs(into, true), {}, limits);
    if (!poolRun.ok() || poolRun.outTruncated || !target.ok() || target.outTruncated)
        return false;
    const QList<Mountpoint> poolMountpoints = readMountpoints(poolRun.out);
    if (poolMountpoints.size() != 1 || poolMountpoints.first().dataset != pool)
        return false;
    bool safe = true;
    for (const Mountpoint& reset : mountpointResets(readMountpoints(target.out), poolMountpoints.first().path)) {
        if (run(zfs, inheritMountpointArgs(reset.dataset), {}, limits).ok())
            say(mountpointResetLine(reset));
        else
            safe = false;
    }
    return safe;
}

// The request as its transfers run it: without compression when the
// appliance or the server lacks the compressor, with a line that says so.
Request streamOf(const Request& request)
{
    if (request.compress.isEmpty())
        return request;
    Request plain = request;
    plain.compress.clear();
    if (QStandardPaths::findExecutable(request.compress).isEmpty()) {
        say(uncompressedLine(request.compress, false));
        return plain;
    }
    RunLimits limits;
    limits.startMs = kListStartMs;
    limits.finishMs = kLocalFinishMs;
    const RunResult probe = run(QStringLiteral("sshpass"), sshpassArgs(request, compressorProbe(request)),
                                sshpassEnv(request), limits);
    if (probe.ok() && probe.out.contains(kCompressorPresent))
        return request;
    say(uncompressedLine(request.compress, true));
    return plain;
}

// The lines a local zfs command printed; false when it failed.
bool local(const QStringList& args, QByteArray* out = nullptr)
{
    RunLimits limits;
    limits.startMs = kLocalStartMs;
    limits.finishMs = kLocalFinishMs;
    limits.maxOutput = kMaxListing;
    const RunResult r = run(QStringLiteral("/usr/sbin/zfs"), args, {}, limits);
    if (out)
        *out = r.out;
    return r.ok() && !r.outTruncated;
}

// Where the restore of an existing target goes on: true with from set (or
// empty when nothing is left to receive) when the target is an unfinished
// restore of vg/lv, holding the lineage's first snapshots and written to
// by no one since.
bool goesOn(const Request& request, const QStringList& lineage, QString* from)
{
    QByteArray mark;
    QByteArray held;
    QByteArray written;
    return local(markArgs(request.into()), &mark) && markedBy(mark, request.vglv())
        && local(snapshotListArgs(request.into()), &held)
        && resumeFrom(QString::fromUtf8(held).split(QLatin1Char('\n'), Qt::SkipEmptyParts), lineage, from)
        && local(writtenArgs(request.into()), &written) && written.trimmed() == "0";
}

} // namespace

int restore(const Request& request)
{
    const QString into = request.into();
    const QString pool = into.section(QLatin1Char('/'), 0, 0);

    RunLimits localLimits;
    localLimits.startMs = kLocalStartMs;
    localLimits.finishMs = kLocalFinishMs;
    localLimits.maxOutput = kMaxListing;
    const RunResult list = run(QStringLiteral("zfs"), localListArgs(), {}, localLimits);
    if (!list.ok() || list.outTruncated)
        return 255;
    const LocalState state = readLocalState(list.out, pool, into);
    // Only an unfinished restore of the same dataset may exist; it is
    // looked at once the server's lineage is known.
    QByteArray mark;
    if (state.targetExists && !(local(markArgs(into), &mark) && markedBy(mark, request.vglv()))) {
        sayAll(targetExistsLines(into));
        return 255;
    }
    if (!state.targetExists && !state.poolExists) {
        sayAll(poolMissingLines(pool));
        return 255;
    }
    // A target of the operator's own choice is checked for its parent too;
    // without one the receive says what is missing, as it always has.
    if (!request.target.isEmpty() && !state.targetExists && !state.parentExists) {
        sayAll(parentMissingLines(into.section(QLatin1Char('/'), 0, -2)));
        return 255;
    }

    RunLimits remote;
    remote.startMs = kListStartMs;
    remote.finishMs = kListFinishMs;
    remote.maxOutput = kMaxListing;
    remote.endOnOverflow = true;
    const RunResult listing = run(QStringLiteral("sshpass"),
                                  sshpassArgs(request, QString::fromLatin1(kRemoteListCommand)),
                                  sshpassEnv(request), remote);
    if (!listing.ok() || listing.outTruncated) {
        say(QString::fromUtf8(kQueryFailed));
        sayAll(tailLines(listing.started ? listing.err : listing.startError.toUtf8(), kFailureLines));
        return 255;
    }
    QStringList lineage;
    if (!snapshotsOf(listing.out, request.vglv(), &lineage) || lineage.isEmpty()) {
        say(QString::fromUtf8(kNoBackup));
        return 255;
    }
    if (!request.snapshot.isEmpty()) {
        const int at = lineage.indexOf(request.snapshotName());
        if (at < 0) {
            say(QString::fromUtf8(kSnapshotMissing) + request.snapshotName());
            return 255;
        }
        lineage = lineage.mid(0, at + 1);
    }

    const Request stream = streamOf(request);
    const QString terminal = progressTerminal();
    bool received = true;
    if (state.targetExists) {
        QString from;
        if (!goesOn(request, lineage, &from)) {
            sayAll(targetExistsLines(into));
            return 255;
        }
        if (!from.isEmpty()) {
            say(QString::fromUtf8(kResuming));
            received = transfer(request, incrementalTransfer(stream, from, lineage.last(), terminal), kRestoringAll);
        }
    } else {
        received = transfer(request, fullTransfer(stream, lineage.first(), terminal), kRestoringFirst);
        if (received && lineage.size() >= 2)
            received = transfer(request, incrementalTransfer(stream, lineage.first(), lineage.last(), terminal),
                                kRestoringAll);
    }
    // Also after a failed transfer: what was received stays, and would
    // mount at the next boot.
    const bool mountable = resetMountpoints(request);
    if (!received)
        return 255;
    // The last phase is in: the target is no unfinished restore any more.
    local(clearMarkArgs(into));

    say(QString::fromUtf8(kRestoreDone));
    if (mountable) {
        RunLimits mount;
        mount.startMs = kMountStartMs;
        mount.finishMs = kMountFinishMs;
        run(QStringLiteral("/usr/sbin/zfs"), mountArgs(into), {}, mount);
    }
    return 0;
}

} // namespace Recover
