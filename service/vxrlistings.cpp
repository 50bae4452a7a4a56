// Snapshot listings: the appliance's and the backup server's.
#include "vxrclient.h"

#include "hx2utils.h"
#include "vxrparse.h"
#include "vxrzfs.h"

bool VxrClient::localSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset)
{
    Q_UNUSED(journal);
    const HX2RunResult r = programs()->run(VxrZfs::snapshotListing(dataset));
    if (!r.ok)
        return false;
    VxrParse::appendSnapshotRecords(r.outLines(true), true, records);
    return true;
}

bool VxrClient::remoteSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset)
{
    // The server lists every snapshot of the account; the dataset does not
    // narrow it.
    Q_UNUSED(dataset);
    return remoteAllSnapshots(journal, records);
}

bool VxrClient::remoteAllSnapshots(HX2Journals& journal, QJsonArray& records)
{
    // One copy, so that host, port, user and password belong together even
    // while the settings are being saved.
    const VxrSettings s = settings();
    if (!s.hasAccount()) {
        journal.setErr(9994, QStringLiteral("缺少账号设置"));
        return false;
    }
    VxrSsh::Account account;
    QString why;
    if (!usableAccount(s, &account, &why)) {
        PRINTVAR(why);
        journal.setErr(9994, QStringLiteral("账号设置无效"));
        return false;
    }
    const HX2RunResult r = programs()->run(VxrZfs::onServer(account, VxrZfs::accountSnapshots()));
    if (!r.ok)
        return false;
    VxrParse::appendSnapshotRecords(r.outLines(true), false, records);
    return true;
}
