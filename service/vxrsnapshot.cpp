// The snapshot cycle: one new snapshot of every configured dataset.
#include "vxrclient.h"

#include "vxroplog.h"
#include "vxrzfs.h"

void VxrClient::backupRun()
{
    backupRunning.store(true);
    const QStringList datasets = dmpathsCopy();
    for (const QString& dataset : datasets)
        vxrSnap(dataset);
    backupRunning.store(false);
}

void VxrClient::vxrSnap(const QString& dataset)
{
    const HX2RunResult r = programs()->run(VxrZfs::snapshot(VxrZfs::snapshotName(dataset, now())));
    if (r.ok)
        return;
    writeLog(QString::fromLatin1(VxrLog::kError),
             QString::fromLatin1(VxrLog::kBackupFailed) + QLatin1String(": ") + r.errText(), VxrLog::kActionSnapshot,
             VxrLog::kStateFailed);
}
