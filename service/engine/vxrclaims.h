#ifndef VXRCLAIMS_H
#define VXRCLAIMS_H

#include "hx2mutex.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <atomic>
#include <condition_variable>

// Marks datasets that a transfer or a pruning pass is working on, so that
// pruning never runs while a transfer of the same dataset runs: in this
// process (any thread) and in every other process of the service (the
// on-demand pass runs as one of its own).
//
// Across processes a claim is an exclusive flock on a file of the lock
// folder, one per dataset, named by the SHA-256 of the dataset's name and
// made readable by its owner only. The kernel lets go of it when the
// process ends however it ends; programs the engine starts never inherit
// it. Lock files stay in place: removing one could let two holders lock
// two different files of the same name.
class VxrDatasetClaims
{
public:
    // The lock folder of production, before PHPaths::resolve.
    static constexpr const char* kLockFolder = "/run/kozu/vxrclient/claims";

    // Locks in folder (PHPaths::resolve of kLockFolder when empty).
    explicit VxrDatasetClaims(const QString& folder = QString());
    ~VxrDatasetClaims();
    VxrDatasetClaims(const VxrDatasetClaims&) = delete;
    VxrDatasetClaims& operator=(const VxrDatasetClaims&) = delete;

    // Waits until no one holds the dataset, then holds it; with stop given,
    // gives up (false) once it reads true. When the lock file cannot be
    // made, holds the dataset in this process only (a trace says so): a
    // transfer is never kept from running by a broken lock folder.
    bool claim(const QString& dataset, const std::atomic<bool>* stop = nullptr);
    // Holds the dataset unless anyone does; true when it is now held. A
    // lock file that cannot be made counts as held by someone else.
    bool tryClaim(const QString& dataset);
    void release(const QString& dataset);

    // The dataset's lock file.
    QString lockPath(const QString& dataset) const;

    // Holds a dataset for a scope.
    class Hold
    {
    public:
        Hold(VxrDatasetClaims& claims, const QString& dataset, bool wait, const std::atomic<bool>* stop = nullptr);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        bool held() const { return m_held; }

    private:
        VxrDatasetClaims& m_claims;
        QString m_dataset;
        bool m_held;
    };

private:
    // The open lock file of dataset, locked, or -1: -2 when another
    // process holds it (and wait is false or stop became true).
    int lockFile(const QString& dataset, bool wait, const std::atomic<bool>* stop) const;
    // Takes the in-process mark; false when stop became true first.
    bool markHeld(const QString& dataset, bool wait, const std::atomic<bool>* stop);
    void unmark(const QString& dataset, int fd);

    const QString m_folder;
    HX2Mutex m_mutex;
    std::condition_variable_any m_released;
    QSet<QString> m_held HX2_GUARDED_BY(m_mutex);
    // The lock file of each held dataset that has one.
    QHash<QString, int> m_files HX2_GUARDED_BY(m_mutex);
};

#endif
