#include "vxrzfs.h"

#include "hx2utils.h"
#include "vxrparse.h"
#include "vxrplan.h"
#include "vxrssh.h"

namespace VxrZfs {

namespace {

constexpr int kStartMs = 10000;
constexpr int kHourMs = 3600000;
constexpr int kMinuteMs = 60000;
constexpr int kShortMs = 30000;
constexpr int kMountMs = 10000;

HX2RunOptions limits(int finishMs, QList<int> accepted = {0})
{
    HX2RunOptions o;
    o.startMs = kStartMs;
    o.finishMs = finishMs;
    o.acceptedCodes = std::move(accepted);
    return o;
}

VxrCommand command(const char* program, const QStringList& args, const HX2RunOptions& options)
{
    return VxrCommand{QString::fromLatin1(program), args, options};
}

const QString kZfsText = QStringLiteral("/usr/sbin/zfs ");

} // namespace

QString snapshotName(const QString& dataset, const QDateTime& time)
{
    return dataset + QLatin1String("@vxr_") + time.toString(QStringLiteral("yyyyMMddHHmmss"));
}

QString snapshotNameAfter(const QString& dataset, const QString& tried, const QStringList& names)
{
    const QString prefix = dataset + QLatin1String("@vxr_");
    if (!tried.startsWith(prefix) || VxrParse::snapshotTime(tried).isEmpty())
        return QString();
    // Fixed-width stamps sort as their times do.
    QString latest = tried.mid(prefix.size());
    for (const QString& name : names) {
        if (name.startsWith(prefix) && name.midRef(prefix.size()) > latest && !VxrParse::snapshotTime(name).isEmpty())
            latest = name.mid(prefix.size());
    }
    if (latest == tried.midRef(prefix.size()))
        return QString();
    // The stamp counted as a plain reading, without a zone's gaps.
    const QDateTime next(QDate::fromString(latest.left(8), QStringLiteral("yyyyMMdd")),
                         QTime::fromString(latest.mid(8), QStringLiteral("HHmmss")), Qt::UTC);
    const QString stamp = next.addSecs(1).toString(QStringLiteral("yyyyMMddHHmmss"));
    return stamp.size() == latest.size() ? prefix + stamp : QString();
}

VxrCommand info(const QString& datasetRoot)
{
    return command(kZfs, {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-p"), QStringLiteral("-o"),
                          QStringLiteral("name,used,reservation"), datasetRoot},
                   limits(kHourMs));
}

VxrCommand usedRefer(const QStringList& datasets)
{
    QStringList args;
    if (!datasets.isEmpty())
        args << QStringLiteral("list") << QStringLiteral("-H") << QStringLiteral("-o") << QStringLiteral("used,refer")
             << datasets;
    return command(kZfsPath, args, limits(kShortMs));
}

VxrCommand snapshotNames()
{
    return command(kZfs, {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name"),
                          QStringLiteral("-t"), QStringLiteral("snapshot")},
                   limits(kHourMs));
}

VxrCommand snapshot(const QString& snapshotName)
{
    return command(kZfs, {QStringLiteral("snapshot"), snapshotName}, limits(kShortMs));
}

VxrCommand snapshotListing(const QString& dataset)
{
    return command(kZfsPath, {QStringLiteral("list"), QStringLiteral("-t"), QStringLiteral("snapshot"), dataset,
                              QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name,used,refer")},
                   limits(kHourMs));
}

VxrCommand snapshotNamesOf(const QString& dataset)
{
    return command(kZfs, {QStringLiteral("list"), QStringLiteral("-t"), QStringLiteral("snapshot"),
                          QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name"), dataset},
                   limits(kHourMs));
}

VxrCommand fullEstimate(const QString& first)
{
    return command(kZfs, {QStringLiteral("send"), QStringLiteral("-RPnv"), first}, limits(kMinuteMs));
}

VxrCommand incrementalEstimate(const QString& first, const QString& last)
{
    return command(kZfs, {QStringLiteral("send"), QStringLiteral("-RPnv"), last, QStringLiteral("-i"), first},
                   limits(kMinuteMs, {0, 1}));
}

VxrCommand datasetNames()
{
    return command(kZfs, {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name")},
                   limits(kMinuteMs));
}

VxrCommand mount(const QString& dataset)
{
    HX2RunOptions o = limits(kMountMs);
    o.startMs = kMountMs;
    return command(kZfsPath, {QStringLiteral("mount"), dataset}, o);
}

VxrCommand mountpointsBelow(const QString& dataset)
{
    return command(kZfs, {QStringLiteral("get"), QStringLiteral("-H"), QStringLiteral("-o"),
                          QStringLiteral("name,value,source"), QStringLiteral("-r"), QStringLiteral("mountpoint"), dataset},
                   limits(kMinuteMs));
}

VxrCommand poolMountpoint(const QString& pool)
{
    return command(kZfs, {QStringLiteral("get"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("value"),
                          QStringLiteral("mountpoint"), pool},
                   limits(kMinuteMs));
}

VxrCommand inheritMountpoint(const QString& dataset)
{
    return command(kZfs, {QStringLiteral("inherit"), QStringLiteral("mountpoint"), dataset}, limits(kShortMs));
}

VxrCommand restoreMark(const QString& dataset)
{
    return command(kZfs, {QStringLiteral("get"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("value,source"),
                          QString::fromLatin1(VxrPlan::kRestoreMark), dataset},
                   limits(kMinuteMs));
}

VxrCommand clearRestoreMark(const QString& dataset)
{
    return command(kZfs, {QStringLiteral("inherit"), QString::fromLatin1(VxrPlan::kRestoreMark), dataset},
                   limits(kShortMs));
}

VxrCommand writtenSinceSnapshot(const QString& dataset)
{
    return command(kZfs, {QStringLiteral("get"), QStringLiteral("-Hp"), QStringLiteral("-o"), QStringLiteral("value"),
                          QStringLiteral("written"), dataset},
                   limits(kMinuteMs));
}

VxrCommand snapshotHolds(const QString& dataset)
{
    return command(kZfs, {QStringLiteral("list"), QStringLiteral("-t"), QStringLiteral("snapshot"),
                          QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name,userrefs,clones"), dataset},
                   limits(kHourMs));
}

VxrCommand hold(const QString& snapshot)
{
    return command(kZfs, {QStringLiteral("hold"), QString::fromLatin1(kBaseTag), snapshot}, limits(kShortMs));
}

VxrCommand release(const QString& snapshot)
{
    return command(kZfs, {QStringLiteral("release"), QString::fromLatin1(kBaseTag), snapshot}, limits(kShortMs));
}

VxrCommand destroy(const QString& spec)
{
    return command(kZfs, {QStringLiteral("destroy"), spec}, limits(kHourMs));
}

QString destroySpec(const QStringList& snapshots)
{
    QString spec = snapshots.value(0);
    for (int i = 1; i < snapshots.size(); ++i)
        spec += QLatin1Char(',') + snapshots.at(i).midRef(snapshots.at(i).indexOf(QLatin1Char('@')) + 1);
    return spec;
}

RemoteQuery snapshotHoldsOnServer(const QString& dataset)
{
    return {kZfsText + QStringLiteral("list -t snapshot -H -o name,userrefs,clones ") + toShellArgEscaped(dataset),
            limits(kHourMs)};
}

RemoteQuery moveBaseOnServer(const QString& base, const QStringList& releases, const QString& destroySpec)
{
    const QString tag = QString::fromLatin1(kBaseTag) + QLatin1Char(' ');
    // Released first, so that taking it again succeeds when the base
    // carries the tag already.
    QString text = kZfsText + QStringLiteral("release ") + tag + toShellArgEscaped(base) + QStringLiteral(" 2>/dev/null; ")
                   + kZfsText + QStringLiteral("hold ") + tag + toShellArgEscaped(base)
                   + QStringLiteral(" || exit %1").arg(kHoldFailed);
    for (const QString& name : releases)
        text += QStringLiteral("; ") + kZfsText + QStringLiteral("release ") + tag + toShellArgEscaped(name)
                + QStringLiteral(" 2>/dev/null");
    if (!destroySpec.isEmpty())
        text += QStringLiteral("; ") + kZfsText + QStringLiteral("destroy ") + toShellArgEscaped(destroySpec)
                + QStringLiteral(" || exit %1").arg(kDestroyFailed);
    text += QStringLiteral("; exit 0");
    return {text, limits(kHourMs, {0, kHoldFailed, kDestroyFailed})};
}

RemoteQuery destroyOnServer(const QString& destroySpec)
{
    return {kZfsText + QStringLiteral("destroy ") + toShellArgEscaped(destroySpec)
                + QStringLiteral(" || exit %1; exit 0").arg(kDestroyFailed),
            limits(kHourMs, {0, kDestroyFailed})};
}

VxrCommand onServer(const VxrSsh::Account& account, const RemoteQuery& query, bool withPort)
{
    VxrCommand c{QStringLiteral("sshpass"), VxrSsh::sshpassArgs(account, query.text, withPort), query.options};
    c.options.env = VxrSsh::sshpassEnv(account);
    if (c.options.maxOutBytes < 0 || c.options.maxOutBytes > kMaxServerOutput)
        c.options.maxOutBytes = kMaxServerOutput;
    return c;
}

RemoteQuery uploadRemoteSnapshots(const QString& dataset)
{
    return {kZfsText + QStringLiteral("list -t snapshot -H -o name ") + toShellArgEscaped(dataset), limits(kMinuteMs, {0, 1})};
}

RemoteQuery accountSnapshots()
{
    return {kZfsText + QStringLiteral("list -H -o name,used,refer -t snapshot "), limits(kHourMs)};
}

RemoteQuery accountSnapshotNames()
{
    return {kZfsText + QStringLiteral("list -t snapshot -H -o name"), limits(kMinuteMs)};
}

RemoteQuery accountDatasets()
{
    return {kZfsText + QStringLiteral("list -H -o name"), limits(kHourMs)};
}

RemoteQuery restoreSnapshots(const QString& dataset)
{
    return {kZfsText + QStringLiteral("list -t snapshot -H -o name ") + toShellArgEscaped(dataset), limits(kHourMs)};
}

RemoteQuery restoreFullEstimate(const QString& first)
{
    return {kZfsText + QStringLiteral("send -RPnv ") + toShellArgEscaped(first), limits(kMinuteMs)};
}

RemoteQuery restoreIncrementalEstimate(const QString& first, const QString& last)
{
    return {kZfsText + QStringLiteral("send -RPnv ") + toShellArgEscaped(last) + QStringLiteral(" -i ") + toShellArgEscaped(first),
            limits(kMinuteMs, {0, 1})};
}

QString sendFull(const QString& first)
{
    return QStringLiteral("zfs send ") + toShellArgEscaped(first);
}

QString sendIncremental(const QString& first, const QString& last)
{
    return QStringLiteral("zfs send -RI ") + toShellArgEscaped(first) + QLatin1Char(' ') + toShellArgEscaped(last);
}

QString restoreSendFull(const QString& first)
{
    return kZfsText + QStringLiteral("send -R ") + toShellArgEscaped(first);
}

QString restoreSendIncremental(const QString& first, const QString& last)
{
    return kZfsText + QStringLiteral("send -RI ") + toShellArgEscaped(first) + QLatin1Char(' ') + toShellArgEscaped(last);
}

QString uploadReceive(const QString& dataset, ServerHistory history)
{
    return kZfsText + QStringLiteral("recv -o atime=off -o readonly=on ")
           + (history == ServerHistory::Mirror ? QStringLiteral("-Fu ") : QStringLiteral("-u "))
           + toShellArgEscaped(dataset);
}

QString restoreReceive(const QString& dataset, bool incremental, const QString& mark)
{
    QString text = kZfsText + QStringLiteral("recv -o atime=off -o readonly=off -o sharenfs=off -o sharesmb=off ");
    if (!mark.isEmpty())
        text += QStringLiteral("-o ") + toShellArgEscaped(QLatin1String(VxrPlan::kRestoreMark) + QLatin1Char('=') + mark)
                + QLatin1Char(' ');
    return text + (incremental ? QStringLiteral("-Fu ") : QStringLiteral("-u ")) + toShellArgEscaped(dataset);
}

} // namespace VxrZfs
