#ifndef VXRCLIENT_H
#define VXRCLIENT_H

#include "hx2journals.h"
#include "hx3httppool.h"
#include "phmachine.h"
#include "phstorage.h"
#include "tjkozulog.h"
#include "vxrprograms.h"
#include "vxrretention.h"
#include "vxrsettings.h"
#include "vxrtaskqueue.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// The backup engine: configuration, settings, and the state shared by the
// scheduler, snapshot cycle, task worker and status report threads.
//
// Each lock guards the members named beside it. No code holds two of them
// at once, and none is held while waiting for a child process. The task
// queue keeps its own lock.
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
    // Reloads the last-backup and settings files. Always true; an unreadable
    // settings file sets 9991 in the journal and leaves backup switched off.
    // With a view, fills it with the settings view.
    bool loadSettings(HX2Journals& journal, QJsonObject* view);
    // The same for the settings command: false, with 9991 and the view
    // untouched, when the settings file cannot be read (the command would
    // otherwise report success with nothing to show).
    bool settingsLoad(HX2Journals& journal, QJsonObject& view);
    // Writes the settings file (atomically, readable by its owner only),
    // reloads it and starts the scheduler if it is not running. False,
    // journal untouched, when the file cannot be written.
    bool settingsSave(HX2Journals& journal, const QJsonObject& settings);
    // First settings load, last upload time and scheduler start.
    bool start(HX2Journals& journal);

    // ---- ZFS inventory. Each runs zfs on the caller's thread and blocks it.

    // The mounted ZFS datasets as pool -> dataset -> mount-point object.
    // Always true; the journal is not touched.
    bool storageLoad(HX2Journals& journal, QJsonObject& output);
    // {"used", "all"} in bytes of datasetRoot; empty when zfs fails.
    QJsonObject zfsInfo() const;
    // Sums "used" and "refer" over the datasets. False with the totals
    // untouched when there are no datasets; false with both 0 when zfs
    // fails (one missing dataset fails the whole query).
    bool allUsed(qint64& used, qint64& refer);
    // Every local snapshot name in zfs's order; empty when zfs fails.
    QStringList snapshots() const;

    // ---- Tasks and operation log

    // Replaces tasks with the queue as listed (restore tasks without their
    // password). Always true.
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
    // Writes one operation-log record of this engine: level, message and
    // details {"action", "state"}. Safe from any thread.
    void writeLog(const QString& level, const QString& message, int action, int state);

    // ---- Snapshot cycle

    // Thread body of one cycle: a snapshot of every dataset, in order;
    // clears backupRunning at the end.
    void backupRun();
    // Takes dataset@vxr_<now() as yyyyMMddHHmmss>. A failure writes one
    // "Backup failed" record carrying zfs's error text.
    void vxrSnap(const QString& dataset);

    // ---- Retention (only with the "retention" configuration key)

    // One local pruning pass over the dataset by the local rule: skipped
    // while an upload of it runs, and while an account is set but no
    // upload has recorded the dataset's base yet. Snapshots that carry a
    // hold, or that the server held at the last upload, are never chosen.
    // At most kMaxPrunedPerPass go per pass, in one zfs destroy (a longer
    // backlog goes over the next cycles). Writes one "Snapshots pruned"
    // record when it removed any, or a "Snapshot pruning failed" record
    // with zfs's reason.
    void pruneLocal(const QString& dataset);
    // The stamped names keep a destroy argument of this many well below
    // what one argument, and a remote shell's command, may hold.
    static constexpr int kMaxPrunedPerPass = 2000;
    // Held snapshots a base move tries to release the engine's hold from,
    // at most, on each side.
    static constexpr int kMaxReleases = 100;
    // The dataset's incremental base as the last upload left it, and the
    // other snapshots the server then held; empty before any. Survives a
    // restart (a file beside the last-backup file).
    QString recordedBase(const QString& dataset, QStringList* serverHeld = nullptr) const;

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
    // (below a pool), in the server's order, with consecutive indexes, and
    // makes sure the task worker runs. The account is the one given, not
    // the configured one; a port outside 1..65535 becomes 22. Refusals,
    // with nothing queued: a user or host ssh would misread, 9994
    // "账号设置无效" (nothing started); the server's list not obtained, an
    // "Error" record and 9886; no dataset on the server, 9994; datasets the
    // appliance holds already, 9993 with their names (before the next
    // check); pools the appliance lacks, 9887 with their names. A failing
    // local list returns false and leaves the journal as it was. True, the
    // journal untouched, when the tasks were queued. Blocks the caller for
    // as long as the two listings take.
    bool restoreAll(HX2Journals& journal, const QString& server, int port, const QString& userid,
                    const QString& passwd);
    // Receives the task's dataset from the server: the first snapshot whole,
    // then the increments to the last, with progress and cancel, and mounts
    // it. Never replaces a dataset that exists on the appliance: one that
    // holds the server's newest snapshot already (a child its parent's
    // stream brought) is complete, any other fails the restore. Writes one
    // outcome record; true when restored. Worker thread.
    bool vxrRestore(const QJsonObject& task);

    // Next occurrence of hour:minute (invalid times count as 00:00).
    QDateTime scheduleNext(int hour, int minute) const;
    // Earliest next occurrence over the entries; 2099-12-31 00:00 without any.
    QDateTime scheduleNext(const QJsonArray& schedule) const;

    // ---- Consistent copies of shared state

    VxrSettings settings() const;
    QStringList dmpathsCopy() const;
    QDateTime nextScheduleCopy() const;
    QJsonObject lastBackupCopy() const;
    // "yyyy-MM-dd HH:mm:ss" of the last on-demand pass; empty before any.
    QString lastUploadTimeCopy() const;

    // ---- File locations (production paths, re-rooted by the files seam)

    QString settingsPath() const { return m_settingsPath; }
    QString lastBackupPath() const { return m_lastBackupPath; }

    // ---- Seams. Set before the engine's threads run; tests replace them.

    void setClock(std::function<QDateTime()> clock);
    QDateTime now() const;
    // The programs the engine starts; never null.
    void setPrograms(std::shared_ptr<VxrPrograms> programs);
    std::shared_ptr<VxrPrograms> programs() const;

    // ---- Configuration members, set by loadConfigure before the engine's
    // threads run and only read afterwards.
    QString vg;
    QString lv;
    QString datasetRoot;
    QString snapPrefix;
    QString uploadLogPath;
    VxrRetention::Policy retention;

    // ---- Run flags. Only the party whose exchange turned one from false
    // to true may start the thread it stands for.
    std::atomic<bool> scheduleRunning{false};
    std::atomic<bool> reportRunning{false};
    std::atomic<bool> backupRunning{false};
    std::atomic<bool> transferRunning{false};
    // True exactly while an upload task runs.
    std::atomic<bool> uploading{false};
    // Set by the orderly quit: the worker takes no further task and no
    // further transfer starts.
    std::atomic<bool> quitting{false};

    // ---- Platform objects, living and dying with the engine. kozulog may
    // be used from any thread.
    PHMachine machine;
    PHStorage storage;
    TJKozulog kozulog;

    // The uploads and restores waiting or running.
    VxrTaskQueue taskQueue;
    // Datasets an upload or a pruning pass works on.
    VxrDatasetClaims datasetClaims;

    // Posts the status reports; 30 s for each.
    HX3HttpPool httpPool{nullptr, 30};

    // Thread body of one status report; clears reportRunning at its end.
    // With a management server URL and an answer of the platform agent that
    // allows it, gathers the report (server account and snapshots, task
    // listing, ZFS inventory, last upload, status program, package
    // version, capacity) and hands it to httpPool without waiting. Without
    // them nothing is gathered: no ssh login, no program run. Failures are
    // silent (no operation-log record); a part that fails stays empty.
    void reportRun();

    // One on-demand upload pass of the root dataset; its result code
    // (VxrOnDemand::Code), which the "upload" mode exits with.
    int upload();

    // Thread body of the scheduler.
    void scheduleRun();
    // The daily upload check of the scheduler: when now() has reached the
    // next scheduled time, queues one upload task per dataset (with a
    // complete account) and makes sure the task worker runs; then moves the
    // next time on, from the settings file or, when that cannot be read,
    // from the schedule already loaded, so a due time queues each dataset
    // once. Scheduler thread, or tests.
    void dailyCheck();

    // ---- Task worker and upload

    // Thread body of the task worker: runs the queue's head task until the
    // queue is empty (or the service quits), removing each when done, then
    // clears transferRunning.
    void transferRun();
    // Uploads the task's dataset: the snapshots the server lacks, as a full
    // stream when the server has none, then the increments from the
    // server's newest. Writes the outcome record and the last-backup file
    // once the two lists were read. True on success. Worker thread.
    bool vxrUpload(const QJsonObject& task);
    // Appends the tasks to the queue, then starts the task worker unless it
    // runs. Any thread.
    QList<int> queueTasks(const QList<QJsonObject>& tasks);
    // Waits up to ms for the task worker to end; true when none runs.
    bool waitTransferIdle(int ms) const;

private:
    void startScheduler();
    void startTransferWorker();
    // loadSettings' work; false when the settings file could not be read.
    bool readSettings(HX2Journals& journal, QJsonObject* view);
    // The account ready for ssh, or false with the reason in why (nothing
    // may be started then).
    static bool usableAccount(const VxrSettings& s, VxrSsh::Account* account, QString* why);
    // Resets every mount point of dataset and the datasets below it that
    // leads out of its pool's mount point (by its text, or through a link)
    // to the inherited one, listing each as "DS from PATH" in resets.
    // False when the mount points could not be read or a reset failed.
    bool resetStrayMountpoints(VxrPrograms& run, const QString& dataset, QStringList* resets);
    // Writes the last-backup record of an upload's outcome.
    void recordLastBackup(int state);
    // After a successful upload whose server now ends at base: moves the
    // base hold there on both sides and prunes the server by the remote
    // rule. Whatever fails leaves the recorded base where it was.
    void moveBase(const VxrSsh::Account& account, const QString& dataset, const QString& base);
    // Holds base on the appliance, releases the engine's hold from its
    // other snapshots and records base; false when base cannot be held.
    bool moveLocalBase(const QString& dataset, const QString& base, const QStringList& serverHeld);
    // Replaces the dataset's entry of the retention file; false when the
    // file cannot be written.
    bool recordBase(const QString& dataset, const QString& base, const QStringList& serverHeld);

    QString m_settingsPath;
    QString m_lastBackupPath;
    QString m_retentionPath;
    mutable std::mutex retentionMutex;  // guards the file at m_retentionPath

    mutable std::mutex settingsMutex;
    VxrSettings m_settings;         // guarded by settingsMutex
    QString m_lastUploadTime;       // guarded by settingsMutex

    mutable std::mutex scheduleMutex;
    QDateTime nextSchedule;         // guarded by scheduleMutex
    QJsonArray scheduleEntries;     // guarded by scheduleMutex: the last loaded

    mutable std::mutex dmpathsMutex;
    QStringList dmpaths;            // guarded by dmpathsMutex

    mutable std::mutex lastBackupMutex;
    QJsonObject lastBackup;         // guarded by lastBackupMutex

    mutable std::mutex m_seamMutex;
    std::function<QDateTime()> m_clock;         // guarded by m_seamMutex
    std::shared_ptr<VxrPrograms> m_programs;    // guarded by m_seamMutex
};

#endif
