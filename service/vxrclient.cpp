#include "vxrclient.h"

#include "vxrengine.h"

VxrClient::VxrClient(QObject* parent) : QObject(parent), m_units(std::make_unique<VxrEngineUnits>()) {}

VxrClient::~VxrClient() = default;

bool VxrClient::loadConfigure(HX2Journals& journal, const QJsonObject& config)
{
    QString why;
    if (!VxrConfigRules::parse(config, &m_units->config, &why)) {
        journal.setErr(9994, why);
        return false;
    }
    m_units->report.configure();
    return true;
}

void VxrClient::loadSettings(HX2Journals& journal, QJsonObject* view)
{
    reload(journal, view);
}

bool VxrClient::settingsLoad(HX2Journals& journal, QJsonObject& view)
{
    return reload(journal, &view);
}

bool VxrClient::reload(HX2Journals& journal, QJsonObject* view)
{
    VxrSettingsFile file;
    if (!m_units->settings.read(journal, &file))
        return false;
    m_units->scheduler.setSchedule(file.schedule);
    m_units->settings.apply(file);
    if (view)
        *view = VxrSettingsRules::view(file, m_units->settings.lastBackup(), m_units->worker.isUploading());
    return true;
}

bool VxrClient::settingsSave(HX2Journals& journal, const QJsonObject& settings)
{
    if (!m_units->settings.save(settings))
        return false;
    loadSettings(journal, nullptr);
    m_units->scheduler.start();
    return true;
}

void VxrClient::start(HX2Journals& journal)
{
    loadSettings(journal, nullptr);
    m_units->settings.readUploadLog(m_units->config.uploadLogPath);
    m_units->scheduler.start();
}

QDateTime VxrClient::scheduleNext(int hour, int minute) const
{
    return m_units->scheduler.scheduleNext(hour, minute);
}

QDateTime VxrClient::scheduleNext(const QJsonArray& schedule) const
{
    return m_units->scheduler.scheduleNext(schedule);
}

bool VxrClient::storageLoad(HX2Journals& journal, QJsonObject& output)
{
    Q_UNUSED(journal);
    m_units->inventory.storageLoad(output);
    return true;
}

QJsonObject VxrClient::zfsInfo() const
{
    return m_units->inventory.zfsInfo();
}

bool VxrClient::allUsed(qint64& used, qint64& refer)
{
    return m_units->inventory.allUsed(used, refer);
}

QStringList VxrClient::snapshots() const
{
    return m_units->inventory.snapshots();
}

void VxrClient::backupRun()
{
    m_units->cycle.run();
}

void VxrClient::vxrSnap(const QString& dataset)
{
    m_units->cycle.snap(dataset);
}

void VxrClient::transferRun()
{
    m_units->worker.run();
}

bool VxrClient::vxrUpload(const VxrTask& task)
{
    return m_units->uploads.run(task);
}

int VxrClient::upload()
{
    HX2Journals journal;
    loadSettings(journal, nullptr);
    return m_units->onDemand.run();
}

void VxrClient::scheduleRun()
{
    m_units->scheduler.run();
}

bool VxrClient::localSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset)
{
    Q_UNUSED(journal);
    return m_units->inventory.localSnapshots(records, dataset);
}

bool VxrClient::remoteSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset)
{
    // The server lists every snapshot of the account; the dataset does not
    // narrow it.
    Q_UNUSED(dataset);
    return m_units->inventory.remoteSnapshots(journal, records);
}

bool VxrClient::remoteAllSnapshots(HX2Journals& journal, QJsonArray& records)
{
    return m_units->inventory.remoteSnapshots(journal, records);
}

bool VxrClient::restoreAll(HX2Journals& journal, const QString& server, int port, const QString& userid,
                           const QString& passwd)
{
    return m_units->restores.request(journal, VxrSsh::Account{server, VxrSsh::validPort(port), userid, passwd});
}

bool VxrClient::restoreAll(HX2Journals& journal, const QString& server, int port, const QString& userid,
                           const QString& passwd, const VxrPlan::RestoreChoice& choice)
{
    return m_units->restores.request(journal, VxrSsh::Account{server, VxrSsh::validPort(port), userid, passwd},
                                     choice);
}

bool VxrClient::vxrRestore(const VxrTask& task)
{
    return m_units->restores.run(task);
}

void VxrClient::reportRun()
{
    m_units->report.run();
}

bool VxrClient::taskAlload(HX2Journals& journal, QJsonArray& tasks)
{
    Q_UNUSED(journal);
    tasks = m_units->worker.queue().listing();
    return true;
}

bool VxrClient::taskCancel(HX2Journals& journal, int index)
{
    if (!m_units->worker.queue().cancel(index)) {
        journal.setErr(9994, QStringLiteral("index 不存在"));
        return false;
    }
    return true;
}

bool VxrClient::logAlload(HX2Journals& journal, QJsonArray& records)
{
    Q_UNUSED(journal);
    return m_units->log.list(records);
}

bool VxrClient::logClear(HX2Journals& journal)
{
    Q_UNUSED(journal);
    return m_units->log.clear();
}

bool VxrClient::quit(int waitMs)
{
    m_units->worker.quit();
    return m_units->worker.waitIdle(waitMs);
}

void VxrClient::setClock(std::function<QDateTime()> clock)
{
    m_units->seams.setClock(std::move(clock));
}

QDateTime VxrClient::now() const
{
    return m_units->seams.now();
}

void VxrClient::setPrograms(std::shared_ptr<VxrPrograms> programs)
{
    m_units->seams.setPrograms(std::move(programs));
}

std::shared_ptr<VxrPrograms> VxrClient::programs() const
{
    return m_units->seams.programs();
}
