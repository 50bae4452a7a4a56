// ZFS inventory: the storage map, the root dataset's space, the backed-up
// totals and the list of local snapshots.
#include "vxrclient.h"

#include "hx2runner.h"
#include "hx2utils.h"
#include "vxrparse.h"
#include "vxrzfs.h"

namespace {

HX2RunOptions limits(int finishMs)
{
    HX2RunOptions options;
    options.startMs = VxrZfs::kStartMs;
    options.finishMs = finishMs;
    return options;
}

} // namespace

bool VxrClient::storageLoad(HX2Journals& journal, QJsonObject& output)
{
    Q_UNUSED(journal);
    output = VxrParse::groupMountpoints(storage.mountpoints());
    return true;
}

QJsonObject VxrClient::zfsInfo() const
{
    const HX2RunResult r = HX2Runner::run(QString::fromLatin1(VxrZfs::kZfs), VxrZfs::infoArgs(datasetRoot),
                                          limits(VxrZfs::kHourMs));
    QJsonObject info;
    if (!r.ok) {
        PRINTVAR(r.errText());
        return info;
    }
    const QStringList lines = r.outLines(false);
    // A first line without three columns cannot come from a working zfs:
    // treat it as a failed query rather than report zeros.
    if (lines.isEmpty() || !VxrParse::parseZfsInfo(lines.first(), info))
        return QJsonObject();
    return info;
}

bool VxrClient::allUsed(qint64& used, qint64& refer)
{
    const QStringList args = VxrZfs::usedArgs(dmpathsCopy());
    PRINTVAR(args);
    if (args.isEmpty())
        return false;
    used = 0;
    refer = 0;
    const HX2RunResult process = HX2Runner::run(QString::fromLatin1(VxrZfs::kZfsPath), args,
                                                limits(VxrZfs::kShortMs));
    if (!process.ok) {
        PRINTVAR(process.errText());
        return false;
    }
    VxrParse::sumUsedRefer(process.outLines(false), used, refer);
    PRINTVAR(used);
    PRINTVAR(refer);
    return true;
}

QStringList VxrClient::snapshots() const
{
    const HX2RunResult r = HX2Runner::run(QString::fromLatin1(VxrZfs::kZfs), VxrZfs::snapshotNamesArgs(),
                                          limits(VxrZfs::kHourMs));
    if (!r.ok)
        return QStringList();
    return r.outLines(false);
}
