// The on-demand upload pass of the root dataset ("upload" option) and its
// upload-log line.
#include "vxrclient.h"

#include "hx2runner.h"
#include "hx2utils.h"
#include "vxrcommands.h"
#include "vxrpipeline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr int kStartMs = 10000;
constexpr int kListMs = 60000;
constexpr int kScriptStartMs = 30000;

// Runs one pipeline to its end without a time limit: 0 on success, 1 when
// it did not start, 2 when it failed.
int transfer(const QString& text, const VxrCommands::Account& account)
{
    PRINTVAR(text);
    HX2RunOptions o;
    o.startMs = kScriptStartMs;
    o.finishMs = -1;
    o.env = VxrPipeline::scriptEnv(account);
    const HX2RunResult r = HX2Runner::run(QStringLiteral("script"), VxrPipeline::scriptArgs(text), o);
    if (!r.started)
        return 1;
    if (r.ok && VxrPipeline::streamCompleted(r.out.right(4096)))
        return 0;
    // script puts every stage's complaints on its standard output.
    const QString failed = QString::fromUtf8(r.out.right(2048)) + r.errText();
    PRINTVAR(failed);
    return 2;
}

} // namespace

int VxrClient::upload()
{
    HX2Journals journal;
    QJsonObject view;
    loadSettings(journal, &view);
    const VxrSettings s = settings();

    int code = -3;
    if (s.hasAccount()) {
        const VxrCommands::Account account{s.host, s.validPort(), s.uid, s.pwd};
        HX2RunOptions o;
        o.startMs = kStartMs;
        o.finishMs = kListMs;
        o.env = VxrCommands::sshpassEnv(account);
        const HX2RunResult listed = HX2Runner::run(
            QStringLiteral("sshpass"),
            VxrCommands::sshpassArgs(account, QStringLiteral("/usr/sbin/zfs list -t snapshot -H -o name"), false), o);
        if (!listed.ok) {
            code = -4;
        } else {
            const QString newest = VxrPipeline::newestWithPrefix(listed.outLines(), snapPrefix);
            const QStringList span = VxrPipeline::onDemandSpan(snapshots(), snapPrefix, newest);
            if (span.isEmpty()) {
                code = 1;
            } else {
                code = -1;
                if (newest.isEmpty()) {
                    const int r = transfer(VxrPipeline::onDemandFullPipeline(account, span.first(), datasetRoot), account);
                    code = r == 0 ? 0 : (r == 1 ? -11 : -12);
                }
                if (span.size() > 1) {
                    const int r = transfer(
                        VxrPipeline::onDemandIncrementalPipeline(account, span.first(), span.last(), datasetRoot), account);
                    code = r == 0 ? 0 : (r == 1 ? -21 : -22);
                }
            }
        }
    }

    const QDateTime end = now();
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        lastUploadTime = end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    QDir().mkpath(QFileInfo(uploadLogPath).absolutePath());
    QFile log(uploadLogPath);
    if (log.open(QIODevice::Append | QIODevice::Text))
        log.write(VxrPipeline::uploadLogLine(end, code));
    return code;
}
