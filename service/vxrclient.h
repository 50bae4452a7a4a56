#ifndef VXRCLIENT_H
#define VXRCLIENT_H

#include "hx2journals.h"
#include "vxrplan.h"
#include "vxrprograms.h"
#include "vxrtask.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct VxrEngineUnits;

// The backup engine: its configuration and settings, the ZFS inventory,
// the snapshot cycle, the task worker with its uploads and restores, the
// on-demand pass, the scheduler, the listings, the status report, and the
// tasks and operation log. Each operation is carried out by one of the
// engine's units, which owns the state it touches and the lock that guards
// it (VxrEngineUnits).
class VxrClient : public QObject
{
    Q_OBJECT
public:
    explicit VxrClient(QObject* parent = nullptr);
    ~VxrClient() override;

    // ---- Configuration and settings

    // Applies "vg", "lv", "vxrserverurl", "uploadlog", "vxrservercafile" (a
    // PEM file of certificate authorities that an https management server
    // must be verified against; without it the server's certificate is not
    // checked) and "retention". False, with the reason in the journal, when
    // "retention" is malformed: the service must not start then. Before any
    // thread of the engine runs.
    bool loadConfigure(HX2Journals& journal, const QJsonObject& config);
    // Reloads the last-backup and settings files. An unreadable settings
    // file sets 9991 in the journal and leaves backup switched off. With a
    // view, fills it with the settings view.
    void loadSettings(HX2Journals& journal, QJsonObject* view);
    // The same for the settings command: false, with 9991 and the view
    // untouched, when the settings file cannot be read (the command would
    // otherwise report success with nothing to show).
    bool settingsLoad(HX2Journals& journal, QJsonObject& view);
    // Writes the settings file (atomically, readable by its owner only),
    // reloads it and starts the scheduler if it is not running. False,
    // journal untouched, when the file cannot be written.
    bool settingsSave(HX2Journals& journal, const QJsonObject& settings);
    // First settings load, last upload time and scheduler start.
    void start(HX2Journals& journal);
    // Next occurrence of hour:minute (invalid times count as 00:00).
    QDateTime scheduleNext(int hour, int minute) const;
    // Earliest next occurrence over the entries; 2099-12-31 00:00 without any.
    QDateTime scheduleNext(const QJsonArray& schedule) const;

    // ---- ZFS inventory. Each runs zfs on the caller's thread and blocks it.

    // The mounted ZFS datasets as pool -> dataset -> mount-point object.
    // Always true; the journal is not touched.
    bool storageLoad(HX2Journals& journal, QJsonObject& output);
    // {"used", "all"} in bytes of the root dataset; empty when zfs fails.
    QJsonObject zfsInfo() const;
    // Sums "used" and "refer" over the datasets. False with the totals
    // untouched when there are no datasets; false with both 0 when zfs
    // fails (one missing dataset fails the whole query).
    bool allUsed(qint64& used, qint64& refer);
    // Every local snapshot name in zfs's order; empty when zfs fails.
    QStringList snapshots() const;

    // ---- Snapshot cycle

    // Thread body of one cycle: a snapshot of every dataset, in order, then
    // (with a local retention rule) a pruning pass over each.
    void backupRun();
    // Takes dataset@vxr_<now() as yyyyMMddHHmmss>. A failure writes one
    // "Backup failed" record carrying zfs's error text.
    void vxrSnap(const QString& dataset);

    // ---- Task worker and upload

    // Thread body of the task worker: runs the queue's head task until the
    // queue is empty (or the service quits), removing each when done.
    void transferRun();
    // Uploads the task's dataset: the snapshots the server lacks, as a full
    // stream when the server has none, then the increments from the
    // server's newest. Writes the outcome record and the last-backup file
    // once the two lists were read. True on success. Worker thread.
    bool vxrUpload(const VxrTask& task);
    // One on-demand upload pass of the root dataset; its result code
    // (VxrOnDemand::Code), which the "upload" mode exits with.
    int upload();

    // ---- Scheduler

    // Thread body of the scheduler.
    void scheduleRun();

    // ---- Snapshot listings. Records already in the array stay; the result
    // is true when the listing ran and exited with 0, even with no lines.

    // The dataset's local snapshots: {"name", "used", "refer", "time"}.
    // Never touches the journal.
    bool localSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset);
    // Every snapshot the configured account sees on the server: {"name",
    // "used", "refer"}; dataset does not narrow it. Without a complete
    // account: 9994 "缺少账号设置", and with a user or host ssh would
    // misread: 9994 "账号设置无效"; nothing started in either case. A failing
    // listing leaves the journal as it was.
    bool remoteSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset);
    bool remoteAllSnapshots(HX2Journals& journal, QJsonArray& records);

    // ---- Restore

    // Queues one restore task per dataset the account holds on the server
    // (see VxrRestoreFlow::request); a port outside 1..65535 becomes 22.
    bool restoreAll(HX2Journals& journal, const QString& server, int port, const QString& userid,
                    const QString& passwd);
    // The same for choice.dataset alone, up to choice.snapshot, into
    // choice.target (see VxrRestoreFlow::request).
    bool restoreAll(HX2Journals& journal, const QString& server, int port, const QString& userid,
                    const QString& passwd, const VxrPlan::RestoreChoice& choice);
    // Receives the task's dataset from the server (see VxrRestoreFlow::run).
    // Worker thread.
    bool vxrRestore(const VxrTask& task);

    // ---- Status report

    // Thread body of one status report (see VxrStatusReport::run).
    void reportRun();

    // ---- Tasks and operation log

    // Replaces tasks with the queue as listed (never a password). Always
    // true.
    bool taskAlload(HX2Journals& journal, QJsonArray& tasks);
    // Marks the running task (the head) "removed" 1, or removes a waiting
    // one. False with 9994 "index 不存在" when no task has that index.
    bool taskCancel(HX2Journals& journal, int index);
    // Appends the engine's operation-log records, newest first, with their
    // details merged in. False, records unchanged, when the log cannot be
    // read. The journal is not touched.
    bool logAlload(HX2Journals& journal, QJsonArray& records);
    // Clears the engine's operation log; true when it was cleared.
    bool logClear(HX2Journals& journal);

    // ---- The orderly quit

    // The worker takes no further task and no further transfer starts;
    // waits up to waitMs for the worker to end. True when none runs.
    bool quit(int waitMs);

    // ---- Seams. Set before the engine's threads run; tests replace them.

    void setClock(std::function<QDateTime()> clock);
    QDateTime now() const;
    // The programs the engine starts; never null.
    void setPrograms(std::shared_ptr<VxrPrograms> programs);
    std::shared_ptr<VxrPrograms> programs() const;

    // The engine's units, for bench drivers and tests that exercise one of
    // them; the service itself goes through the operations above.
    VxrEngineUnits& units() { return *m_units; }

private:
    // loadSettings' work; false when the settings file could not be read.
    bool reload(HX2Journals& journal, QJsonObject* view);

    std::unique_ptr<VxrEngineUnits> m_units;
};

#endif
