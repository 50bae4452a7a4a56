#include "vxrondemandpass.h"

#include "hx2utils.h"
#include "vxrconfig.h"
#include "vxrinventory.h"
#include "vxrlinkcheck.h"
#include "vxrondemand.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrpruning.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrtaskworker.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>
#include <vector>

namespace {

// No progress is shown, so the end is all the pass waits for.
constexpr int kPollMs = 10000;
constexpr int kStartMs = 30000;

// A full stream when the server holds none, then the increments whatever
// became of it; the codes each phase's failure gives.
VxrPhasePlan phasesOf(const VxrSsh::Account& account, const QString& root, const QStringList& span,
                      const QString& newest, const VxrStreamLink& link, VxrZfs::ServerHistory history,
                      QList<VxrOnDemand::Code>* notStarted, QList<VxrOnDemand::Code>* failed)
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
                account, VxrPipeline::onDemandIncremental(account, span.first(), span.last(), root, link.now(), history),
                kStartMs);
        }, true};
        *notStarted << IncrementalNotStarted;
        *failed << IncrementalFailed;
    }
    return phases;
}

} // namespace

VxrOnDemandPass::VxrOnDemandPass(const VxrConfig& config, VxrSeams& seams, VxrSettingsStore& settings,
                                 const VxrInventory& inventory, const VxrTaskWorker& worker, VxrLinkCheck& links,
                                 VxrPruning& pruning)
    : m_config(config),
      m_seams(seams),
      m_settings(settings),
      m_inventory(inventory),
      m_worker(worker),
      m_links(links),
      m_pruning(pruning)
{
}

QStringList VxrOnDemandPass::claimedDatasets() const
{
    const QString& root = m_config.datasetRoot;
    QStringList out{root};
    for (const QString& dataset : m_settings.dmpaths()) {
        if (dataset.startsWith(root + QLatin1Char('/')) && VxrPlan::validName(dataset, false)
            && !out.contains(dataset))
            out << dataset;
    }
    return out;
}

int VxrOnDemandPass::send(const VxrSsh::Account& account, QString* sent)
{
    using namespace VxrOnDemand;
    const std::shared_ptr<VxrPrograms> programs = m_seams.programs();
    // ssh on its default port, as the pass's pipelines.
    const HX2RunResult listed = programs->run(VxrZfs::onServer(account, VxrZfs::accountSnapshotNames(), false));
    if (!listed.ok)
        return ListFailed;
    const QString newest = VxrPlan::newestWithPrefix(listed.outLines(), m_config.snapPrefix);
    const QStringList span = VxrPlan::onDemandSpan(m_inventory.snapshots(), m_config.snapPrefix, newest);
    int code = span.isEmpty() ? NothingLocal : NothingNew;
    QList<Code> notStarted;
    QList<Code> failed;
    const VxrStreamLink link = span.isEmpty() ? VxrStreamLink() : m_links.linkTo(*programs, account, false);
    // Received as the scheduled upload's increments.
    const VxrPhasePlan phases = phasesOf(account, m_config.datasetRoot, span, newest, link,
                                         m_pruning.serverHistory(), &notStarted, &failed);
    const VxrPhaseOutcome outcome = VxrPhaseRunner(*programs, nullptr, m_worker.quitting()).run(phases, {});
    if (outcome.phase >= 0) {
        code = outcome.outcome == VxrTransferResult::Succeeded    ? Sent
               : outcome.outcome == VxrTransferResult::NotStarted ? notStarted.at(outcome.phase)
                                                                  : failed.at(outcome.phase);
    }
    if (code == Sent)
        *sent = span.last();
    return code;
}

int VxrOnDemandPass::sendClaimed(const VxrSsh::Account& account)
{
    const QStringList datasets = claimedDatasets();
    // Always claimed in this order, so two passes never wait on each other.
    std::vector<std::unique_ptr<VxrDatasetClaims::Hold>> claims;
    for (const QString& dataset : datasets) {
        claims.push_back(std::make_unique<VxrDatasetClaims::Hold>(m_pruning.claims(), dataset, true,
                                                                   &m_worker.quitting()));
        if (!claims.back()->held())
            return VxrOnDemand::ListFailed;
    }
    QString sent;
    const int code = send(account, &sent);
    if (code != VxrOnDemand::Sent || !m_pruning.policy().enabled)
        return code;
    // The server's newest of each is the snapshot of that name, where the
    // stream brought one; moveBase checks that the server holds it. It
    // reaches the server on the account's port, as after a scheduled
    // upload.
    const QString name = sent.section(QLatin1Char('@'), 1);
    for (const QString& dataset : datasets)
        m_pruning.moveBase(account, dataset, dataset + QLatin1Char('@') + name);
    return code;
}

int VxrOnDemandPass::run()
{
    int code = VxrOnDemand::NoAccount;
    VxrSsh::Account account;
    QString why;
    if (VxrSettingsRules::usableAccount(m_settings.settings(), &account, &why))
        code = sendClaimed(account);
    else
        PRINTVAR(why);

    const QDateTime end = m_seams.now();
    m_settings.setLastUploadTime(end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    QDir().mkpath(QFileInfo(m_config.uploadLogPath).absolutePath());
    QFile log(m_config.uploadLogPath);
    if (log.open(QIODevice::Append | QIODevice::Text))
        log.write(VxrOnDemand::logLine(end, code));
    return code;
}
