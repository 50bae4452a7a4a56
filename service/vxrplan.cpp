#include "vxrplan.h"

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

} // namespace VxrPlan
