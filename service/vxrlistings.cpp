// Snapshot listings: the appliance's and the backup server's.
#include "vxrclient.h"

#include "hx2runner.h"
#include "hx2utils.h"
#include "vxrcommands.h"
#include "vxrparse.h"
#include "vxrzfs.h"

namespace {

HX2RunOptions listingLimits()
{
    HX2RunOptions options;
    options.startMs = VxrZfs::kStartMs;
    options.finishMs = VxrZfs::kHourMs;
    return options;
}

} // namespace

bool VxrClient::localSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset)
{
    Q_UNUSED(journal);
    const HX2RunResult r = HX2Runner::run(QString::fromLatin1(VxrZfs::kZfsPath), VxrZfs::localListArgs(dataset),
                                          listingLimits());
    if (!r.ok) {
        PRINTVAR(r.errText());
        return false;
    }
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
    VxrCommands::Account account;
    account.host = s.host;
    account.port = s.validPort();
    account.user = s.uid;
    account.password = s.pwd;

    HX2RunOptions options = listingLimits();
    options.env = VxrCommands::sshpassEnv(account);
    const QStringList args = VxrCommands::sshpassArgs(account, VxrZfs::remoteListCommand(), true);
    PRINTVAR(args);
    const HX2RunResult r = HX2Runner::run(QStringLiteral("sshpass"), args, options);
    if (!r.ok) {
        PRINTVAR(r.errText());
        return false;
    }
    VxrParse::appendSnapshotRecords(r.outLines(true), false, records);
    return true;
}
