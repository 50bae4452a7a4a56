#include "lnx2package.h"

#include "hx2utils.h"
#include "lnx2network.h"
#include "lnx2utils.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <chrono>
#include <thread>

namespace {

constexpr int kQueryMs = 9999;
constexpr int kListMs = 30000;
constexpr int kStepStartMs = 30000;
constexpr int kStepMs = 900000;
constexpr int kUpdateMs = 300000;
constexpr int kReinstallStartMs = 5000;
constexpr int kReinstallMs = 7200000;
constexpr int kRepairRounds = 5;
constexpr int kPurgeAttempts = 5;

const QString kInfoDir = QStringLiteral("/var/lib/dpkg/info/");

HX2RunOptions limits(int startMs, int finishMs)
{
    HX2RunOptions o;
    o.startMs = startMs;
    o.finishMs = finishMs;
    return o;
}

QString baseName(const QString& listed) { return listed.section(QLatin1Char(':'), 0, 0); }

QJsonObject record(const LNX2Package::Entry& e)
{
    return QJsonObject{{QStringLiteral("status"), e.status},
                       {QStringLiteral("package"), baseName(e.name)},
                       {QStringLiteral("version"), e.version}};
}

bool aptStep(const QStringList& args)
{
    return LNX2Package::runStep(QStringLiteral("apt"), args + LNX2Package::aptOptions());
}

} // namespace

bool LNX2Package::isPackageName(const QString& name)
{
    static const QRegularExpression re(QStringLiteral("^[a-z0-9][a-z0-9+.-]+(:[a-z0-9][a-z0-9-]*)?$"));
    return re.match(name).hasMatch();
}

bool LNX2Package::isPackageFile(const QString& path)
{
    const QFileInfo info(path);
    return path.startsWith(QLatin1Char('/')) && path.endsWith(QLatin1String(".deb")) && info.isFile();
}

QList<LNX2Package::Entry> LNX2Package::parseList(const QString& listing)
{
    QList<Entry> out;
    bool body = false;
    for (const QString& line : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!body) {
            body = line.startsWith(QLatin1String("+++-==="));
            continue;
        }
        const QStringList f = stringSplit(line);
        if (f.size() >= 3)
            out.append(Entry{f.at(0), f.at(1), f.at(2)});
    }
    return out;
}

bool LNX2Package::isBroken(const QString& status)
{
    if (status.size() < 2)
        return false;
    if (status.size() >= 3 && status.at(2) == QLatin1Char('R'))
        return true;
    return QStringLiteral("HUFWt").contains(status.at(1));
}

QJsonArray LNX2Package::parseUpgradables(const QString& listing)
{
    QJsonArray out;
    for (const QString& raw : listing.split(QLatin1Char('\n'))) {
        QString line = raw.trimmed();
        if (line.indexOf(QLatin1Char('/')) < 1)
            continue;
        line.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
        line.replace(QLatin1String("upgradable from:"), QLatin1String("upgradable_from:"));
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (f.size() < 5 || f.at(0).indexOf(QLatin1Char('/')) < 1 || f.at(3) != QLatin1String("upgradable_from:"))
            continue;
        const QString name = f.at(0).section(QLatin1Char('/'), 0, 0);
        if (name == QLatin1String("version-kozu"))
            continue;
        out.append(QJsonObject{{QStringLiteral("package"), name},
                               {QStringLiteral("version"), f.at(1)},
                               {QStringLiteral("current"), f.at(4)}});
    }
    return out;
}

bool LNX2Package::busyIn(const QString& commandNames)
{
    static const QStringList managers{QStringLiteral("dpkg"), QStringLiteral("apt"), QStringLiteral("apt-get")};
    for (const QString& line : commandNames.split(QLatin1Char('\n'))) {
        if (managers.contains(line.trimmed()))
            return true;
    }
    return false;
}

QStringList LNX2Package::aptOptions()
{
    return {QStringLiteral("-o"), QStringLiteral("DPkg::Lock::Timeout=%1").arg(kLockWaitSeconds),
            QStringLiteral("-o"), QStringLiteral("Dpkg::Options::=--force-confdef"),
            QStringLiteral("-o"), QStringLiteral("Dpkg::Options::=--force-confold")};
}

QStringList LNX2Package::reinstallArgs(const QString& target)
{
    return QStringList{QStringLiteral("reinstall"), QStringLiteral("--fix-missing")} + aptOptions()
           + QStringList{QStringLiteral("-o"), QStringLiteral("Dpkg::Options::=--force-confmiss"),
                         QStringLiteral("-y"), target};
}

QString LNX2Package::failedScript(const QString& name, const QString& output, QStringList& scripts)
{
    static const char* const phrases[][2] = {{" pre-removal ", ".prerm"},
                                             {" post-removal ", ".postrm"},
                                             {" pre-installation ", ".preinst"},
                                             {" post-installation ", ".postinst"}};
    for (const auto& p : phrases) {
        const QString suffix = QLatin1String(p[1]);
        if (output.contains(QLatin1String(p[0])) && scripts.contains(suffix)) {
            scripts.removeAll(suffix);
            return kInfoDir + name + suffix;
        }
    }
    return QString();
}

HX2RunResult LNX2Package::runTool(const QString& program, const QStringList& args, HX2RunOptions options)
{
    options.env.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    return HX2Runner::run(program, args, options);
}

bool LNX2Package::runStep(const QString& program, const QStringList& args)
{
    const HX2RunResult r = runTool(program, args, limits(kStepStartMs, kStepMs));
    if (!r.ok) {
        const QString failed = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(": ")
                               + r.errText().right(2000);
        PRINTVAR(failed);
    }
    return r.ok;
}

bool LNX2Package::isBusy() const
{
    const HX2RunResult r = HX2Runner::run(
        QStringLiteral("ps"), {QStringLiteral("-e"), QStringLiteral("-o"), QStringLiteral("comm=")},
        limits(kQueryMs, kQueryMs));
    return r.ok && busyIn(QString::fromUtf8(r.out));
}

const LNX2Package::Entry* LNX2Package::find(const QList<Entry>& entries, const QString& name)
{
    const QString wanted = baseName(name);
    for (const Entry& e : entries) {
        if (baseName(e.name) == wanted)
            return &e;
    }
    return nullptr;
}

bool LNX2Package::listing(QList<Entry>& out) const
{
    const HX2RunResult r = runTool(QStringLiteral("dpkg"), {QStringLiteral("-l"), QStringLiteral("--no-pager")},
                                   limits(kQueryMs, kQueryMs));
    out = r.ok ? parseList(QString::fromUtf8(r.out)) : QList<Entry>();
    return r.ok;
}

QList<LNX2Package::Entry> LNX2Package::listing() const
{
    QList<Entry> out;
    listing(out);
    return out;
}

bool LNX2Package::status(const QString& name, QString& status, QString& version) const
{
    const QList<Entry> entries = listing();
    const Entry* e = find(entries, name);
    if (!e)
        return false;
    status = e->status;
    version = e->version;
    return true;
}

bool LNX2Package::installed(const QString& name, QString* version) const
{
    QString st;
    QString ver;
    if (!status(name, st, ver) || st != QLatin1String("ii"))
        return false;
    if (version)
        *version = ver;
    return true;
}

QList<QJsonObject> LNX2Package::packages() const
{
    QList<QJsonObject> out;
    for (const Entry& e : listing())
        out.append(record(e));
    return out;
}

QStringList LNX2Package::installeds(QJsonObject* details) const
{
    QStringList out;
    for (const Entry& e : listing()) {
        if (e.status != QLatin1String("ii"))
            continue;
        const QString name = baseName(e.name);
        out.append(name);
        if (details)
            details->insert(name, QJsonObject{{QStringLiteral("version"), e.version}});
    }
    return out;
}

QHash<QString, QString> LNX2Package::packageVersions() const
{
    QHash<QString, QString> out;
    for (const Entry& e : listing()) {
        if (e.status == QLatin1String("ii"))
            out.insert(e.name, e.version);
    }
    return out;
}

QList<QJsonObject> LNX2Package::brokens() const
{
    QList<QJsonObject> out;
    brokens(out);
    return out;
}

bool LNX2Package::brokens(QList<QJsonObject>& out) const
{
    out.clear();
    QList<Entry> entries;
    if (!listing(entries))
        return false;
    for (const Entry& e : qAsConst(entries)) {
        if (isBroken(e.status))
            out.append(record(e));
    }
    return true;
}

static bool listUpgradables(QJsonArray& out, int limitMs)
{
    if (LNX2Package().isBusy())
        return false;
    const HX2RunResult r = LNX2Package::runTool(
        QStringLiteral("apt"), {QStringLiteral("list"), QStringLiteral("--upgradeable")}, limits(limitMs, limitMs));
    if (!r.ok)
        return false;
    out = LNX2Package::parseUpgradables(QString::fromUtf8(r.out));
    return true;
}

bool LNX2Package::upgradables(QJsonArray& out) const { return listUpgradables(out, kQueryMs); }

QJsonArray LNX2Package::upgradables() const
{
    QJsonArray out;
    listUpgradables(out, kListMs);
    return out;
}

bool LNX2Package::upgradable(QString& version, QString& current, const QString& name) const
{
    for (const QJsonValue& v : upgradables()) {
        const QJsonObject o = v.toObject();
        if (o.value(QStringLiteral("package")).toString() == name) {
            version = o.value(QStringLiteral("version")).toString();
            current = o.value(QStringLiteral("current")).toString();
            return true;
        }
    }
    return false;
}

bool LNX2Package::purge(const QString& name) const
{
    if (!isPackageName(name))
        return false;
    for (int attempt = 0; attempt < kPurgeAttempts; ++attempt) {
        const HX2RunResult r = runTool(QStringLiteral("dpkg"), {QStringLiteral("-P"), name},
                                       limits(kStepStartMs, kStepMs));
        if (r.ok)
            return true;
        QStringList scripts{QStringLiteral(".postrm")};
        const QString script = failedScript(name, QString::fromUtf8(r.out) + r.errText(), scripts);
        if (!script.isEmpty() && QFile::exists(script)) {
            PRINTVAR(script);
            QFile::remove(script);
        }
    }
    return false;
}

int LNX2Package::purge(const QList<QJsonObject>& records) const
{
    int n = 0;
    for (const QJsonObject& r : records)
        n += purge(r.value(QStringLiteral("package")).toString()) ? 1 : 0;
    return n;
}

bool LNX2Package::reinstall(const QString& name) const
{
    if (!isPackageName(name) && !isPackageFile(name))
        return false;
    return runTool(QStringLiteral("apt"), reinstallArgs(name), limits(kReinstallStartMs, kReinstallMs)).ok;
}

int LNX2Package::reinstall(const QList<QJsonObject>& records) const
{
    int n = 0;
    for (const QJsonObject& r : records)
        n += reinstall(r.value(QStringLiteral("package")).toString()) ? 1 : 0;
    return n;
}

bool LNX2Package::stepAutoRemove() const { return aptStep({QStringLiteral("autoremove"), QStringLiteral("-y")}); }

bool LNX2Package::stepRepair() const
{
    // A listing that fails is no sign that nothing is broken.
    QList<QJsonObject> broken;
    if (!brokens(broken))
        return false;
    reinstall(broken);
    return brokens(broken) && broken.isEmpty();
}

bool LNX2Package::repairAll(bool wait) const
{
    if (isBusy()) {
        if (!wait)
            return false;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (isBusy())
            return false;
    }
    // apt refuses release files dated in its future: a clock that is far
    // behind makes every list look invalid.
    const bool clockSet = LNX2Network().networkTimeProtocol(QString());
    if (!clockSet)
        PRINTVAR(clockSet);

    const HX2RunResult update = runTool(QStringLiteral("apt"),
                                        QStringList{QStringLiteral("update"), QStringLiteral("-y")} + aptOptions(),
                                        limits(kStepStartMs, kUpdateMs));
    if (!update.ok)
        return false;

    // Pending changes first: apt refuses to act while dpkg's journal holds
    // an interrupted run.
    runStep(QStringLiteral("dpkg"), {QStringLiteral("--configure"), QStringLiteral("-a"),
                                  QStringLiteral("--force-confdef"), QStringLiteral("--force-confold")});
    for (int round = 0; round < kRepairRounds; ++round) {
        const QList<QJsonObject> broken = brokens();
        if (broken.isEmpty() || reinstall(broken) == 0)
            break;
    }

    aptStep({QStringLiteral("autoremove"), QStringLiteral("-y")});
    aptStep({QStringLiteral("clean"), QStringLiteral("-y")});
    aptStep({QStringLiteral("update"), QStringLiteral("-y")});
    aptStep({QStringLiteral("install"), QStringLiteral("--fix-broken"), QStringLiteral("-y")});
    return aptStep({QStringLiteral("install"), QStringLiteral("--fix-broken"), QStringLiteral("-o"),
                    QStringLiteral("Dpkg::Options::=--force-confmiss"), QStringLiteral("-y")});
}
