#include "vxrondemandpass.h"

#include "hx2utils.h"
#include "vxrconfig.h"
#include "vxrinventory.h"
#include "vxrlinkcheck.h"
#include "vxrondemand.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrtaskworker.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// No progress is shown, so the end is all the pass waits for.
constexpr int kPollMs = 10000;
constexpr int kStartMs = 30000;

// A full stream when the server holds none, then the increments whatever
// became of it; the codes each phase's failure gives.
VxrPhasePlan phasesOf(const VxrSsh::Account& account, const QString& root, const QStringList& span,
                      const QString& newest, const VxrStreamLink& link, QList<VxrOnDemand::Code>* notStarted,
                      QList<VxrOnDemand::Code>* failed)
{
    using namespace VxrOnDemand;
    VxrPhasePlan phases;
    phases.pollMs = kPollMs;
    phases.goOnAfterFailure = true;
    phases.rate = link.rate;
    if (!span.isEmpty() && newest.isEmpty()) {
        phases.phases << VxrPhasePlan::Phase{[=](qint64, qint64) {
            return VxrPipeline::transfer(
                account, VxrPipeline::onDemandFull(account, span.first(), root, link.now()), kStartMs);
        }};
        *notStarted << FullNotStarted;
        *failed << FullFailed;
    }
    if (span.size() > 1) {
        // A pass the service's quit interrupted keeps its failure.
        phases.phases << VxrPhasePlan::Phase{[=](qint64, qint64) {
            return VxrPipeline::transfer(
                account, VxrPipeline::onDemandIncremental(account, span.first(), span.last(), root, link.now()),
                kStartMs);
        }, true};
        *notStarted << IncrementalNotStarted;
        *failed << IncrementalFailed;
    }
    return phases;
}

} // namespace

VxrOnDemandPass::VxrOnDemandPass(const VxrConfig& config, VxrSeams& seams, VxrSettingsStore& settings,
                                 const VxrInventory& inventory, const VxrTaskWorker& worker, VxrLinkCheck& links)
    : m_config(config), m_seams(seams), m_settings(settings), m_inventory(inventory), m_worker(worker), m_links(links)
{
}

int VxrOnDemandPass::run()
{
    using namespace VxrOnDemand;
    const std::shared_ptr<VxrPrograms> programs = m_seams.programs();
    const QString root = m_config.datasetRoot;

    int code = NoAccount;
    VxrSsh::Account account;
    QString why;
    if (!VxrSettingsRules::usableAccount(m_settings.settings(), &account, &why)) {
        PRINTVAR(why);
    } else {
        // ssh on its default port, as the pass's pipelines.
        const HX2RunResult listed =
            programs->run(VxrZfs::onServer(account, VxrZfs::accountSnapshotNames(), false));
        if (!listed.ok) {
            code = ListFailed;
        } else {
            const QString newest = VxrPlan::newestWithPrefix(listed.outLines(), m_config.snapPrefix);
            const QStringList span = VxrPlan::onDemandSpan(m_inventory.snapshots(), m_config.snapPrefix, newest);
            code = span.isEmpty() ? NothingLocal : NothingNew;
            QList<Code> notStarted;
            QList<Code> failed;
            const VxrStreamLink link = span.isEmpty() ? VxrStreamLink() : m_links.linkTo(*programs, account, false);
            const VxrPhasePlan phases = phasesOf(account, root, span, newest, link, &notStarted, &failed);
            const VxrPhaseOutcome outcome = VxrPhaseRunner(*programs, nullptr, m_worker.quitting()).run(phases, {});
            if (outcome.phase >= 0) {
                code = outcome.outcome == VxrTransferResult::Succeeded    ? Sent
                       : outcome.outcome == VxrTransferResult::NotStarted ? notStarted.at(outcome.phase)
                                                                          : failed.at(outcome.phase);
            }
        }
    }

    const QDateTime end = m_seams.now();
    m_settings.setLastUploadTime(end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    QDir().mkpath(QFileInfo(m_config.uploadLogPath).absolutePath());
    QFile log(m_config.uploadLogPath);
    if (log.open(QIODevice::Append | QIODevice::Text))
        log.write(logLine(end, code));
    return code;
}
