// The snapshot cycle: one new snapshot of every configured dataset.
#include "vxrclient.h"

#include "hx2runner.h"
#include "hx2utils.h"
#include "vxrmarkers.h"
#include "vxrparse.h"
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
    const QString name = VxrParse::snapshotName(dataset, now());
    HX2RunOptions options;
    options.startMs = VxrZfs::kStartMs;
    options.finishMs = VxrZfs::kShortMs;
    const QStringList args = VxrZfs::snapshotArgs(name);
    PRINTVAR(args);
    const HX2RunResult r = HX2Runner::run(QString::fromLatin1(VxrZfs::kZfs), args, options);
    if (r.ok)
        return;
    const QString err = r.errText();
    PRINTVAR(err);
    writeLog(QString::fromLatin1(VxrLog::kError), QString::fromLatin1(VxrLog::kBackupFailed) + QLatin1String(": ") + err,
             VxrLog::kActionSnapshot, VxrLog::kStateFailed);
}
