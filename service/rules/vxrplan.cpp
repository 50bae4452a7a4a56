#include "vxrplan.h"

#include <QDir>
#include <QStringView>

namespace VxrPlan {

Upload upload(const QStringList& local, const QStringList& remote)
{
    Upload plan;
    if (local.isEmpty()) {
        plan.refusal = QStringLiteral("the appliance holds no snapshot of the dataset");
        return plan;
    }
    if (remote.isEmpty()) {
        plan.full = local.first();
        if (local.size() >= 2) {
            plan.from = local.first();
            plan.to = local.last();
        }
        return plan;
    }
    const int at = local.indexOf(remote.last());
    if (at < 0) {
        plan.refusal = QStringLiteral("the server's newest snapshot ") + remote.last()
                       + QStringLiteral(" is not among the appliance's: the two copies share no base to send "
                                        "increments from");
        return plan;
    }
    if (at < local.size() - 1) {
        plan.from = local.at(at);
        plan.to = local.last();
    }
    return plan;
}

QString newestWithPrefix(const QStringList& remote, const QString& prefix)
{
    for (int i = remote.size() - 1; i >= 0; --i) {
        if (remote.at(i).startsWith(prefix))
            return remote.at(i);
    }
    return QString();
}

QStringList onDemandSpan(const QStringList& local, const QString& prefix, const QString& remoteNewest)
{
    QStringList span;
    for (int i = local.size() - 1; i >= 0; --i) {
        if (!local.at(i).startsWith(prefix))
            continue;
        span.prepend(local.at(i));
        if (!remoteNewest.isEmpty() && local.at(i) == remoteNewest)
            return span;
    }
    return span;
}

namespace {

bool validDataset(QStringView name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('-')))
        return false;
    bool componentEmpty = true;
    for (const QChar c : name) {
        if (c == QLatin1Char('/')) {
            if (componentEmpty)
                return false;
            componentEmpty = true;
            continue;
        }
        const ushort u = c.unicode();
        const bool allowed = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_'
                             || u == '-' || u == '.' || u == ':' || u == ' ';
        if (!allowed)
            return false;
        componentEmpty = false;
    }
    return !componentEmpty;
}

// ZFS refuses names of 256 bytes or more.
constexpr int kMaxName = 255;

} // namespace

bool validName(const QString& name, bool snapshot)
{
    if (name.size() > kMaxName)
        return false;
    const int at = name.indexOf(QLatin1Char('@'));
    if (!snapshot)
        return at < 0 && validDataset(name);
    if (at <= 0 || name.indexOf(QLatin1Char('@'), at + 1) >= 0)
        return false;
    const QStringView tail = QStringView(name).mid(at + 1);
    return validDataset(QStringView(name).left(at)) && validDataset(tail) && !tail.contains(QLatin1Char('/'));
}

QString snapshotOf(const QString& dataset, const QString& name)
{
    return name.contains(QLatin1Char('@')) ? name : dataset + QLatin1Char('@') + name;
}

Restore restore(const QString& dataset, const QStringList& serverSnapshots, const QString& upTo)
{
    Restore plan;
    const QString prefix = dataset + QLatin1Char('@');
    for (const QString& name : serverSnapshots) {
        if (!validName(name, true) || !name.startsWith(prefix)) {
            plan.refusal = QStringLiteral("the server lists a snapshot that is not one of ") + dataset
                           + QStringLiteral("'s: ") + name;
            return plan;
        }
    }
    int end = serverSnapshots.size();
    if (!upTo.isEmpty()) {
        end = serverSnapshots.indexOf(snapshotOf(dataset, upTo)) + 1;
        if (end == 0) {
            plan.missing = true;
            return plan;
        }
    }
    if (end == 0)
        return plan;
    plan.lineage = serverSnapshots.mid(0, end);
    plan.first = plan.lineage.first();
    if (plan.lineage.size() >= 2)
        plan.last = plan.lineage.last();
    return plan;
}

Resume resume(const QStringList& targetSnapshots, const QStringList& lineage)
{
    Resume out;
    if (targetSnapshots.isEmpty() || targetSnapshots.size() > lineage.size())
        return out;
    auto part = [](const QString& name) { return name.mid(name.indexOf(QLatin1Char('@')) + 1); };
    for (int i = 0; i < targetSnapshots.size(); ++i) {
        if (part(targetSnapshots.at(i)) != part(lineage.at(i)))
            return out;
    }
    if (targetSnapshots.size() == lineage.size()) {
        out.kind = Resume::Finished;
        return out;
    }
    out.kind = Resume::From;
    out.from = lineage.at(targetSnapshots.size() - 1);
    return out;
}

QStringList choiceProblems(const RestoreChoice& c)
{
    QStringList out;
    auto belowPool = [](const QString& name) { return validName(name, false) && name.contains(QLatin1Char('/')); };
    if (c.dataset.isEmpty()) {
        if (!c.snapshot.isEmpty())
            out << QStringLiteral("snapshot");
        if (!c.target.isEmpty())
            out << QStringLiteral("target");
        return out;
    }
    if (!belowPool(c.dataset))
        out << QStringLiteral("dmpath");
    const QString snapshot = snapshotOf(c.dataset, c.snapshot);
    if (!c.snapshot.isEmpty()
        && (!validName(snapshot, true) || !snapshot.startsWith(c.dataset + QLatin1Char('@'))))
        out << QStringLiteral("snapshot");
    if (!c.target.isEmpty() && !belowPool(c.target))
        out << QStringLiteral("target");
    return out;
}

RestoreRequest restoreRequest(const QStringList& serverNames, const QStringList& localNames)
{
    RestoreRequest out;
    for (const QString& name : serverNames) {
        if (!validName(name, false)) {
            out.invalid << name;
            continue;
        }
        if (!name.contains(QLatin1Char('/')))
            continue;
        out.datasets << name;
        const QStringList parts = name.split(QLatin1Char('/'));
        if (parts.size() == 2 && !localNames.contains(parts.first()) && !out.missingPools.contains(parts.first()))
            out.missingPools << parts.first();
        if (localNames.contains(name))
            out.clashes << name;
    }
    return out;
}

bool mountpointInside(const QString& poolMountpoint, const QString& path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return true;
    if (!poolMountpoint.startsWith(QLatin1Char('/')))
        return false;
    const QString pool = QDir::cleanPath(poolMountpoint);
    const QString at = QDir::cleanPath(path);
    // Strictly below: a dataset mounted on the pool's own mount point would
    // hide the pool's files.
    if (pool == QLatin1String("/"))
        return at != pool;
    return at.startsWith(pool + QLatin1Char('/'));
}

bool ownMountpoints(const QStringList& lines, QList<Mountpoint>* own)
{
    for (const QString& line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() != 3 || fields.at(0).isEmpty())
            return false;
        if (fields.at(2) == QLatin1String("local") || fields.at(2) == QLatin1String("received"))
            own->append({fields.at(0), fields.at(1)});
    }
    return true;
}

} // namespace VxrPlan
