// Retention cost, in one run:
//  1. the policy (all of the last 24 hours, 30 daily, 12 weekly, 12
//     monthly) over 100,000 snapshot names, a year of five-minute
//     snapshots, against sorting the same list: as zfs lists it (oldest
//     first), and shuffled. CPU time, best of several rounds (goal: the
//     policy within 3x of the sort of the list as given);
//  2. on the real-ZFS bench (root, zfs-fuse): the wall time of one local
//     pruning pass that removes 1,000 snapshots (the engine in
//     tests/e2e/retentiondriver inside the appliance: start, listing,
//     policy, destroy) against `zfs destroy` of the same 1,000 in one
//     command by hand (goal: within 1.2x). zfs-fuse lacks the comma list,
//     which the bench's zfs-compat emulates with one real destroy per name;
//     both sides go through it.
#include "cputime.h"
#include "vxrretention.h"
#include "zbench.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <random>

using zbench::Bench;
using zbench::Host;

namespace {

const QDateTime kNow(QDate(2026, 3, 7), QTime(12, 0));

QStringList yearOfNames(const QString& dataset, int count)
{
    QStringList names;
    names.reserve(count);
    for (int i = count; i > 0; --i)
        names << dataset + "@vxr_" + kNow.addSecs(-300LL * i).toString("yyyyMMddHHmmss");
    return names;
}

void policyAgainstSort()
{
    const int n = 100000;
    const QStringList names = yearOfNames("tank/home", n);
    QStringList shuffled = names;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    VxrRetention::Rule rule;
    rule.withinSecs = 86400;
    rule.daily = 30;
    rule.weekly = 12;
    rule.monthly = 12;

    int chosen = 0;
    const double policy = cpuSeconds([&] { chosen = VxrRetention::choose("tank/home", names, kNow, rule, QString(), {}).size(); });
    const double sortGiven = cpuSeconds([&] {
        QStringList copy = names;
        std::sort(copy.begin(), copy.end());
    });
    const double sortShuffled = cpuSeconds([&] {
        QStringList copy = shuffled;
        std::sort(copy.begin(), copy.end());
    });
    std::printf("policy over %d names (%d chosen): %.1f ms\n", n, chosen, policy * 1e3);
    std::printf("  baseline sort, list as given:  %.1f ms  ratio %.2fx (goal <= 3x)\n", sortGiven * 1e3,
                policy / sortGiven);
    std::printf("  baseline sort, list shuffled:  %.1f ms  ratio %.2fx\n", sortShuffled * 1e3, policy / sortShuffled);
}

bool makeSnapshots(Bench& b, const QString& ds, int count)
{
    b.destroy(Host::Appliance, ds);
    if (!b.run(Host::Appliance, {"zfs", "create", ds}).ok())
        return false;
    const zbench::Result r = b.sh(Host::Appliance,
                                  QStringLiteral("t=$(date -d 2026-01-01 +%s); for i in $(seq 1 %1); do "
                                                 "zfs snapshot %2@vxr_$(date -d @$((t + i * 60)) +%Y%m%d%H%M%S) "
                                                 "|| exit 1; done")
                                      .arg(count)
                                      .arg(ds),
                                  1800000);
    return r.ok() && b.snapshots(Host::Appliance, ds).size() == count;
}

void passAgainstDestroy()
{
    const QString why = Bench::skipReason();
    if (!why.isEmpty()) {
        std::printf("pruning pass: skipped, %s\n", qPrintable(why));
        return;
    }
    Bench b;
    QString message;
    if (b.start(&message) != Bench::StartResult::Up) {
        std::printf("pruning pass: skipped, %s\n", qPrintable(message));
        return;
    }
    const QString ds = "tank/retbench";
    const int remove = 1000, keep = 3;
    const QString root = b.stateDir() + "/app/home/retbench";
    const QString here = b.hostPath(Host::Appliance, root);
    QDir().mkpath(here + "/kozu/etc/vxrclientisp");
    auto write = [](const QString& path, const QJsonObject& o) {
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QJsonDocument(o).toJson());
    };
    write(here + "/config.json", QJsonObject{{"retention", QJsonObject{{"local", QJsonObject{{"last", keep}}}}}});
    write(here + "/kozu/etc/vxrclientisp/settings.json", QJsonObject{{"dmpaths", QJsonArray{ds}}});

    double byHand = 1e30, pass = 1e30;
    for (int round = 0; round < 2; ++round) {
        if (!makeSnapshots(b, ds, remove + keep)) {
            std::printf("pruning pass: could not make the snapshots\n");
            return;
        }
        const QStringList all = b.snapshots(Host::Appliance, ds);
        QString spec = all.first();
        for (int i = 1; i < remove; ++i)
            spec += "," + all.at(i).section('@', 1);
        QElapsedTimer t;
        t.start();
        const zbench::Result hand = b.run(Host::Appliance, {"zfs", "destroy", spec}, 1800000);
        byHand = std::min(byHand, t.elapsed() / 1000.0);
        if (!hand.ok() || b.snapshots(Host::Appliance, ds).size() != keep) {
            std::printf("pruning pass: the destroy by hand failed: %s\n", hand.err.constData());
            return;
        }

        if (!makeSnapshots(b, ds, remove + keep))
            return;
        t.restart();
        const zbench::Result engine =
            b.run(Host::Appliance, {QStringLiteral(RETENTION_DRIVER), root + "/config.json", "prune", ds}, 1800000,
                  {{"VXR_FILES_ROOT", root}});
        pass = std::min(pass, t.elapsed() / 1000.0);
        if (!engine.ok() || b.snapshots(Host::Appliance, ds).size() != keep) {
            std::printf("pruning pass: the pass failed: %s\n", engine.err.constData());
            return;
        }
    }
    b.destroy(Host::Appliance, ds);
    std::printf("pruning pass removing %d snapshots: %.2f s\n", remove, pass);
    std::printf("  baseline zfs destroy of the same in one command: %.2f s  ratio %.2fx (goal <= 1.2x)\n", byHand,
                pass / byHand);
}

} // namespace

int main()
{
    policyAgainstSort();
    std::fflush(stdout);
    passAgainstDestroy();
    return 0;
}
