// The on-demand upload pass of the root dataset ("upload" option) and its
// upload-log line.
#include "vxrondemand.h"

#include "hx2utils.h"
#include "vxrclient.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace VxrOnDemand {

QByteArray logLine(const QDateTime& time, int code)
{
    QByteArray line = time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8() + ' ';
    if (code == 0)
        line += " success";
    else if (code < 0)
        line += " failed(" + QByteArray::number(code) + ")";
    return line + '\n';
}

} // namespace VxrOnDemand

namespace {

// No progress is shown, so the end is all the pass waits for.
constexpr int kPollMs = 10000;
constexpr int kStartMs = 30000;

} // namespace

int VxrClient::upload()
{
    using namespace VxrOnDemand;
    HX2Journals journal;
    QJsonObject view;
    loadSettings(journal, &view);
    const std::shared_ptr<VxrPrograms> run = programs();

    int code = NoAccount;
    VxrSsh::Account account;
    QString why;
    if (!usableAccount(settings(), &account, &why)) {
        PRINTVAR(why);
    } else {
        // ssh on its default port, as the pass's pipelines.
        const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::accountSnapshotNames(), false));
        if (!listed.ok) {
            code = ListFailed;
        } else {
            const QString newest = VxrPlan::newestWithPrefix(listed.outLines(), snapPrefix);
            const QStringList span = VxrPlan::onDemandSpan(snapshots(), snapPrefix, newest);
            if (span.isEmpty()) {
                code = NothingLocal;
            } else {
                code = NothingNew;
                VxrTransferJob job;
                job.pollMs = kPollMs;
                if (newest.isEmpty()) {
                    job.command = VxrPipeline::transfer(
                        account, VxrPipeline::onDemandFull(account, span.first(), datasetRoot), kStartMs);
                    const VxrTransferResult r = runTransfer(*run, nullptr, quitting, job);
                    code = r.outcome == VxrTransferResult::Succeeded    ? Sent
                           : r.outcome == VxrTransferResult::NotStarted ? FullNotStarted
                                                                        : FullFailed;
                }
                // A pass the service's stop interrupted keeps that failure.
                if (span.size() > 1 && !quitting.load()) {
                    job.command = VxrPipeline::transfer(
                        account, VxrPipeline::onDemandIncremental(account, span.first(), span.last(), datasetRoot),
                        kStartMs);
                    const VxrTransferResult r = runTransfer(*run, nullptr, quitting, job);
                    code = r.outcome == VxrTransferResult::Succeeded    ? Sent
                           : r.outcome == VxrTransferResult::NotStarted ? IncrementalNotStarted
                                                                        : IncrementalFailed;
                }
            }
        }
    }

    const QDateTime end = now();
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        m_lastUploadTime = end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    QDir().mkpath(QFileInfo(uploadLogPath).absolutePath());
    QFile log(uploadLogPath);
    if (log.open(QIODevice::Append | QIODevice::Text))
        log.write(logLine(end, code));
    return code;
}
