// ZFS inventory: the storage map, the root dataset's space, the backed-up
// totals and the list of local snapshots.
#include "vxrinventory.h"

#include "vxrclient.h"
#include "vxrparse.h"
#include "vxrzfs.h"

namespace VxrInventory {

QJsonObject groupMountpoints(const QJsonObject& mountpoints)
{
    QJsonObject out;
    for (auto it = mountpoints.constBegin(); it != mountpoints.constEnd(); ++it) {
        const QJsonObject mp = it.value().toObject();
        if (mp.value(QStringLiteral("fstype")).toString() != QLatin1String("zfs"))
            continue;
        const QString pool = mp.value(QStringLiteral("vg")).toString();
        const QString dataset = mp.value(QStringLiteral("lv")).toString();
        QJsonObject poolEntry = out.value(pool).toObject();
        poolEntry.insert(dataset, mp);
        out.insert(pool, poolEntry);
    }
    return out;
}

} // namespace VxrInventory

bool VxrClient::storageLoad(HX2Journals& journal, QJsonObject& output)
{
    Q_UNUSED(journal);
    output = VxrInventory::groupMountpoints(storage.mountpoints());
    return true;
}

QJsonObject VxrClient::zfsInfo() const
{
    const HX2RunResult r = programs()->run(VxrZfs::info(datasetRoot));
    QJsonObject info;
    if (!r.ok)
        return info;
    const QStringList lines = r.outLines(false);
    // A first line without three columns cannot come from a working zfs:
    // treat it as a failed query rather than report zeros.
    if (lines.isEmpty() || !VxrParse::parseZfsInfo(lines.first(), info))
        return QJsonObject();
    return info;
}

bool VxrClient::allUsed(qint64& used, qint64& refer)
{
    const VxrCommand command = VxrZfs::usedRefer(dmpathsCopy());
    if (command.args.isEmpty())
        return false;
    used = 0;
    refer = 0;
    const HX2RunResult r = programs()->run(command);
    if (!r.ok)
        return false;
    VxrParse::sumUsedRefer(r.outLines(false), used, refer);
    return true;
}

QStringList VxrClient::snapshots() const
{
    const HX2RunResult r = programs()->run(VxrZfs::snapshotNames());
    if (!r.ok)
        return QStringList();
    return r.outLines(false);
}
