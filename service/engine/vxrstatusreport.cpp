#include "vxrstatusreport.h"

#include "hx2localserver.h"
#include "hx2utils.h"
#include "phpaths.h"
#include "phsystem.h"
#include "vxrconfig.h"
#include "vxrdpkg.h"
#include "vxrinventory.h"
#include "vxrreport.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrtaskworker.h"

#include <thread>

VxrStatusReport::VxrStatusReport(const VxrConfig& config, VxrSeams& seams, const VxrSettingsStore& settings,
                                 const VxrInventory& inventory, const VxrTaskWorker& worker)
    : m_config(config), m_seams(seams), m_settings(settings), m_inventory(inventory), m_worker(worker)
{
}

void VxrStatusReport::configure()
{
    m_pool.setCaFile(m_config.caFile);
}

void VxrStatusReport::start()
{
    if (!m_running.exchange(true))
        std::thread([this] { run(); }).detach();
}

void VxrStatusReport::run()
{
    m_running.store(true);
    const VxrSettings s = m_settings.settings();
    QJsonObject answer;
    // The agent is asked first: without its answer no report goes out, and
    // the server's listing (an ssh login) would be made for nothing.
    const bool allowed = !m_config.serverUrl.isEmpty()
        && HX2LocalServer::localRequest(PHPaths::resolve(QString::fromLatin1(VxrReport::kAgentSocket)),
                                        QJsonObject{{QStringLiteral("cmd"), QStringLiteral("system_currinfo")}},
                                        &answer, VxrReport::kAgentTimeoutSeconds)
        && VxrReport::agentAllows(answer);
    if (allowed) {
        PHSystem system;
        HX2Journals journal;
        VxrReport::Parts parts;
        parts.agent = answer.value(QStringLiteral("results")).toObject();
        parts.sn = system.serialNumber();
        parts.uptime = system.uptime();
        parts.zfsInfo = m_inventory.zfsInfo();
        parts.uploadTime = m_settings.lastUploadTime();
        // A listing that fails leaves "backups" empty.
        m_inventory.remoteSnapshots(journal, parts.backups, VxrReport::listingLimitMs(s.reportIntervalMs));
        parts.tasks = m_worker.queue().listing();
        parts.host = s.host;
        parts.port = s.port;

        const std::shared_ptr<VxrPrograms> run = m_seams.programs();
        const HX2RunResult dpkg = run->run(VxrDpkg::listPackage(QString::fromLatin1(VxrDpkg::kPackage)));
        if (dpkg.ok)
            parts.version = VxrDpkg::installedVersion(dpkg.outLines(true), QString::fromLatin1(VxrDpkg::kPackage));
        parts.ubackup = VxrReport::statusArray(
            run->run(VxrReport::statusProgram(PHPaths::resolve(QString::fromLatin1(VxrReport::kStatusProgram)))));
        parts.hasCapacity = m_inventory.allUsed(parts.used, parts.refer);

        m_pool.addPost(m_config.serverUrl, VxrReport::assemble(parts), nullptr);
    }
    m_running.store(false);
}
