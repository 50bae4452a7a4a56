#ifndef ZFSMODEL_H
#define ZFSMODEL_H

#include "vxrprograms.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>
#include <mutex>

// Two pools as zfs keeps them, in memory, behind the engine's programs
// seam: the appliance's, which the commands run locally reach, and the
// backup server's, which the text sshpass hands to ssh reaches (read by a
// small shell: words, quotes, ";", "&&", "||", "exit N", "2>/dev/null").
// Snapshots are listed in creation order; a snapshot's holds are tags;
// a destroy of a list is all or nothing and refused while one is held; a
// transfer (`zfs send [-RI A B] | ... | sshpass ssh zfs recv [-F] DS`) is
// applied to the server when it starts: a full stream creates the dataset
// with its snapshot, an incremental one adds every snapshot after A up to
// B, and with -F also drops the server's snapshots the appliance no longer
// has (a held one stays: its destroy is refused). No program runs. Any
// thread.
class ZfsModel : public VxrPrograms
{
public:
    enum Side { Appliance, Server };

    // An empty dataset (a pool's file system) on one side.
    void createDataset(Side side, const QString& dataset);
    int count(Side side, const QString& dataset) const;
    // Its snapshots carrying at least one hold.
    QStringList held(Side side, const QString& dataset) const;
    // Appliance snapshots destroyed before any stream carried them to the
    // server.
    int destroyedUnsent(const QString& dataset) const;
    // Commands the model does not know, as shell text (the first few).
    QStringList unknown() const;

    HX2RunResult run(const VxrCommand& command) override;
    std::unique_ptr<VxrTransferProcess> startTransfer(const VxrCommand& command) override;

private:
    struct Snapshot
    {
        quint64 txg = 0;
        QString name;      // after "@"
        QByteArray line;   // the full name as a listing prints it
        QSet<QString> tags;
    };
    struct Dataset
    {
        // Creation order, as zfs lists them.
        std::vector<Snapshot> snapshots;
        QHash<QString, quint64> txgOf;
        // The newest snapshot a received stream carried (a sending side's).
        quint64 sentThrough = 0;
        int destroyedUnsent = 0;
        // Position of txg in snapshots; snapshots.size() when absent.
        size_t at(quint64 txg) const;
        Snapshot* find(const QString& name);
    };
    struct Pool
    {
        QHash<QString, Dataset> datasets;
        quint64 txg = 0;
    };
    struct Outcome
    {
        int code = 0;
        QByteArray out;
        QByteArray err;
    };

    Outcome zfs(Pool& pool, const QStringList& args);
    Outcome list(Pool& pool, const QStringList& args);
    Outcome snapshot(Pool& pool, const QString& name);
    Outcome hold(Pool& pool, const QStringList& args, bool take);
    Outcome destroy(Pool& pool, const QString& spec);
    Outcome estimate(Pool& pool, const QStringList& args);
    Outcome remote(const QString& text);
    Outcome receive(const QStringList& send, const QStringList& recv);
    Outcome receiveIncremental(Dataset& from, const QString& a, const QString& b, const QString& target, Dataset& to,
                               bool intermediates, bool force);
    // The snapshot "ds@snap" of pool, or null.
    Snapshot* find(Pool& pool, const QString& name, Dataset** dataset = nullptr);
    static void add(Pool& pool, const QString& datasetName, Dataset& dataset, const QString& snap);
    static void drop(Dataset& dataset, const QString& snap);
    void noteUnknown(const QString& text);

    mutable std::mutex m_mutex;
    Pool m_pools[2];
    QStringList m_unknown;
};

// Shell text split into words as a POSIX shell reads it: single and
// double quotes and backslashes resolved; an unquoted run of ";", "|",
// "&", "(" or ")" is one operator word, returned as itself with *ops
// (when given) marking its index.
QStringList shellWords(const QString& text, QSet<int>* ops = nullptr);

#endif
