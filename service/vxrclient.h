#ifndef VXRCLIENT_H
#define VXRCLIENT_H

#include "hx2journals.h"
#include "phmachine.h"
#include "phstorage.h"
#include "tjkozulog.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>

// The backup server account and the periods, read together so that a
// worker never mixes values of two settings loads.
struct VxrSettings
{
    bool active = false;
    qint64 reportIntervalMs = 60;
    qint64 backupIntervalMs = 5;
    QString host;
    int port = 22;
    QString uid;
    QString pwd;
    QString serverUrl;

    // Host, user and password are all set.
    bool hasAccount() const { return !host.isEmpty() && !uid.isEmpty() && !pwd.isEmpty(); }
    // The port to put on a command line: port when in 1..65535, else 22.
    int validPort() const { return (port >= 1 && port <= 65535) ? port : 22; }
};

// The backup engine: configuration, settings, and the state shared by the
// scheduler, snapshot cycle, task worker and status report threads.
//
// Locks: settingsMutex guards the VxrSettings members (active, periods,
// host, port, uid, pwd, serverUrl); scheduleMutex guards nextSchedule
// and scheduleEntries;
// dmpathsMutex guards dmpaths; taskMutex guards tasks; lastBackupMutex
// guards lastBackup. No code holds two of them at once, and none is held
// while waiting for a child process.
class VxrClient : public QObject
{
    Q_OBJECT
public:
    explicit VxrClient(QObject* parent = nullptr);
    ~VxrClient() override;

    // ---- Configuration and settings

    // Applies "vg", "lv", "vxrserverurl" and "uploadlog"; always true.
    bool loadConfigure(HX2Journals& journal, const QJsonObject& config);
    // Reloads the last-backup and settings files. Always true; an unreadable
    // settings file sets 9991 in the journal and leaves backup switched off.
    // With a view, fills it with the settings view.
    bool loadSettings(HX2Journals& journal, QJsonObject* view);
    bool settingsLoad(HX2Journals& journal, QJsonObject& view);
    // Writes the settings file (atomically), reloads it and starts the
    // scheduler if it is not running. False, journal untouched, when the
    // file cannot be written.
    bool settingsSave(HX2Journals& journal, const QJsonObject& settings);
    // First settings load, last upload time and scheduler start.
    bool start(HX2Journals& journal);

    // ---- ZFS inventory. Each runs zfs on the caller's thread and blocks it.

    // The mounted ZFS datasets as pool -> dataset -> mount-point object.
    // Always true; the journal is not touched.
    bool storageLoad(HX2Journals& journal, QJsonObject& output);
    // {"used", "all"} in bytes of datasetRoot; empty when zfs fails.
    QJsonObject zfsInfo() const;
    // Sums "used" and "refer" over dmpaths. False with the totals untouched
    // when there are no datasets; false with both 0 when zfs fails (one
    // missing dataset fails the whole query).
    bool allUsed(qint64& used, qint64& refer);
    // Every local snapshot name in zfs's order; empty when zfs fails.
    QStringList snapshots() const;

    // ---- Tasks and operation log

    // Replaces tasks with a copy of the queue. Always true.
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

    // Thread body of one cycle: a snapshot of every dataset of dmpaths, in
    // order; clears backupRunning at the end.
    void backupRun();
    // Takes dataset@vxr_<now() as yyyyMMddHHmmss>. A failure writes one
    // "Backup failed" record carrying zfs's error text.
    void vxrSnap(const QString& dataset);

    // ---- Snapshot listings. Records already in the array stay; the result
    // is true when the listing ran and exited with 0, even with no lines.

    // The dataset's local snapshots: {"name", "used", "refer", "time"}.
    // Never touches the journal.
    bool localSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset);
    // Every snapshot the configured account sees on the server: {"name",
    // "used", "refer"}; dataset does not narrow it. Without a complete
    // account: 9994 "缺少账号设置" and nothing started. A failing listing
    // leaves the journal as it was.
    bool remoteSnapshots(HX2Journals& journal, QJsonArray& records, const QString& dataset);
    bool remoteAllSnapshots(HX2Journals& journal, QJsonArray& records);

    // Next occurrence of hour:minute (invalid times count as 00:00).
    QDateTime scheduleNext(int hour, int minute) const;
    // Earliest next occurrence over the entries; 2099-12-31 00:00 without any.
    QDateTime scheduleNext(const QJsonArray& schedule) const;

    // ---- Consistent copies of shared state

    VxrSettings settings() const;
    QStringList dmpathsCopy() const;
    QDateTime nextScheduleCopy() const;
    QJsonObject lastBackupCopy() const;

    // ---- File locations (production paths, re-rooted by the files seam)

    QString settingsPath() const { return m_settingsPath; }
    QString lastBackupPath() const { return m_lastBackupPath; }

    // The engine's clock; tests replace it.
    void setClock(std::function<QDateTime()> clock);
    QDateTime now() const;

    // ---- Configuration members
    QString vg;
    QString lv;
    QString datasetRoot;
    QString snapPrefix;

    // ---- Settings members, guarded by settingsMutex: read them through
    // settings().
    bool active = false;
    qint64 reportIntervalMs = 60;
    qint64 backupIntervalMs = 5;
    QString host;
    int port = 22;
    QString uid;
    QString pwd;
    QString serverUrl;
    QString uploadLogPath;

    std::atomic<bool> scheduleRunning{false};
    std::atomic<bool> reportRunning{false};
    std::atomic<bool> backupRunning{false};
    std::atomic<bool> uploading{false};
    std::atomic<bool> transferRunning{false};

    QString lastUploadTime;

    mutable std::mutex scheduleMutex;
    QDateTime nextSchedule;
    mutable std::mutex dmpathsMutex;
    QStringList dmpaths;
    std::atomic<int> taskIndex{0};
    mutable std::mutex taskMutex;
    QJsonArray tasks;
    mutable std::mutex lastBackupMutex;
    QJsonObject lastBackup;

    mutable std::mutex settingsMutex;

    // ---- Platform objects, living and dying with the engine. kozulog may
    // be used from any thread.
    PHMachine machine;
    PHStorage storage;
    TJKozulog kozulog;

    // One on-demand upload pass of the root dataset; its result code.
    int upload();

    // Thread body of the scheduler.
    void scheduleRun();
    // The daily upload check of the scheduler: when now() has reached
    // nextSchedule, queues one upload task per dataset (with a complete
    // account) and makes sure the task worker runs; then moves nextSchedule
    // to the next coming time, from the settings file or, when that cannot
    // be read, from the schedule already loaded, so a due time queues each
    // dataset once. Scheduler thread, or tests.
    void dailyCheck();

    // ---- Task worker and upload

    // Thread body of the task worker: runs the queue's head task until the
    // queue is empty (or the service quits), removing each when done, then
    // clears transferRunning.
    void transferRun();
    // Uploads the task's dataset: the snapshots the server lacks, as a full
    // stream when the server has none, then the increments from the
    // server's newest. Writes the outcome record and the last-backup file
    // once a transfer was tried (also when there was nothing left to send).
    // True on success. Worker thread.
    bool vxrUpload(const QJsonObject& task);
    // Starts the task worker unless it runs; a starter appends its tasks
    // first. Any thread.
    void startTransferWorker();
    // Set by the orderly quit: the worker takes no further task and starts
    // no further program.
    std::atomic<bool> quitting{false};
    // Waits up to ms for the task worker to end; true when none runs.
    bool waitTransferIdle(int ms) const;

    // The schedule entries of the last successful settings load, guarded
    // by scheduleMutex.
    QJsonArray scheduleEntries;

private:
    void startScheduler();

    QString m_settingsPath;
    QString m_lastBackupPath;
    mutable std::mutex m_clockMutex;
    std::function<QDateTime()> m_clock;
};

#endif
