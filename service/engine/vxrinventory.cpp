#include "vxrinventory.h"

#include "hx2utils.h"
#include "vxrconfig.h"
#include "vxrparse.h"
#include "vxrplan.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrzfs.h"

VxrInventory::VxrInventory(const VxrConfig& config, VxrSeams& seams, const VxrSettingsStore& settings)
    : m_config(config), m_seams(seams), m_settings(settings)
{
}

void VxrInventory::storageLoad(QJsonObject& output) const
{
    output = VxrParse::groupMountpoints(m_storage.mountpoints());
}

QJsonObject VxrInventory::zfsInfo() const
{
    const HX2RunResult r = m_seams.programs()->run(VxrZfs::info(m_config.datasetRoot));
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

bool VxrInventory::allUsed(qint64& used, qint64& refer) const
{
    const QStringList datasets = m_settings.dmpaths();
    const VxrCommand command = VxrZfs::usedRefer(datasets);
    if (command.args.isEmpty())
        return false;
    used = 0;
    refer = 0;
    // A saved name zfs would take for an option fails the query, as a
    // missing dataset does, without running it.
    for (const QString& dataset : datasets) {
        if (!VxrPlan::validName(dataset, false))
            return false;
    }
    const HX2RunResult r = m_seams.programs()->run(command);
    if (!r.ok)
        return false;
    VxrParse::sumUsedRefer(r.outLines(false), used, refer);
    return true;
}

QStringList VxrInventory::snapshots() const
{
    const HX2RunResult r = m_seams.programs()->run(VxrZfs::snapshotNames());
    if (!r.ok)
        return QStringList();
    return r.outLines(false);
}

bool VxrInventory::localSnapshots(QJsonArray& records, const QString& dataset) const
{
    const HX2RunResult r = m_seams.programs()->run(VxrZfs::snapshotListing(dataset));
    if (!r.ok)
        return false;
    VxrParse::appendSnapshotRecords(r.outLines(true), true, records);
    return true;
}

bool VxrInventory::remoteSnapshots(HX2Journals& journal, QJsonArray& records, int finishMs) const
{
    // One copy, so that host, port, user and password belong together even
    // while the settings are being saved.
    const VxrSettings s = m_settings.settings();
    if (!s.hasAccount()) {
        journal.setErr(9994, QStringLiteral("缺少账号设置"));
        return false;
    }
    VxrSsh::Account account;
    QString why;
    if (!VxrSettingsRules::usableAccount(s, &account, &why)) {
        PRINTVAR(why);
        journal.setErr(9994, QStringLiteral("账号设置无效"));
        return false;
    }
    VxrZfs::RemoteQuery query = VxrZfs::accountSnapshots();
    if (finishMs > 0 && finishMs < query.options.finishMs)
        query.options.finishMs = finishMs;
    const HX2RunResult r = m_seams.programs()->run(VxrZfs::onServer(account, query));
    if (!r.ok)
        return false;
    const int before = records.size();
    VxrParse::appendSnapshotRecords(r.outLines(true), false, records);
    // A name zfs would not make means the listing is not zfs's.
    static const QString kName = QStringLiteral("name");
    for (int i = before; i < records.size(); ++i) {
        if (!VxrPlan::validName(records.at(i).toObject().value(kName).toString(), true)) {
            while (records.size() > before)
                records.removeLast();
            journal.setErr(9886, QStringLiteral("操作失败，云机上的快照列表无效"));
            return false;
        }
    }
    return true;
}
