#include "lnx2apt.h"

#include "hx2runner.h"
#include "hx2utils.h"
#include "lnx2package.h"

#include <QElapsedTimer>
#include <QFile>

namespace {

constexpr int kStartMs = 30000;
constexpr int kPollMs = 500;
constexpr int kReinstall = 3;
constexpr int kPurge = 4;

// The shell text handed to script names the package only through this
// variable, so no name or path is ever parsed by the shell.
const QString kTargetVar = QStringLiteral("VXR_APT_TARGET");
constexpr const char* kDoneMarker = "vxr-apt-complete";

// apt's arguments for one action; target stands last. Every other
// argument is a constant of this file free of shell syntax.
QStringList actionArgs(int action, const QString& target)
{
    const QStringList plain{QStringLiteral("-o"), QStringLiteral("Dpkg::Progress-Fancy=0"),
                            QStringLiteral("-o"), QStringLiteral("APT::Color=0")};
    if (action == kReinstall)
        return plain + LNX2Package::reinstallArgs(target);
    if (action == kPurge)
        return plain + QStringList{QStringLiteral("purge"), QStringLiteral("-y")} + LNX2Package::aptOptions()
               + QStringList{target};
    return plain + QStringList{QStringLiteral("install"), QStringLiteral("--fix-missing")}
           + LNX2Package::aptOptions()
           + QStringList{QStringLiteral("-o"), QStringLiteral("Dpkg::Options::=--force-confmiss"),
                         QStringLiteral("-y"), target};
}

} // namespace

int LNX2AptProgress::feed(const QByteArray& chunk)
{
    if (m_phase == Phase::Counting)
        raise(1);
    QByteArray data = m_carry + chunk;

    // apt redraws its download line with carriage returns; the figure
    // before its last "% [" is the download percentage.
    const int mark = data.lastIndexOf("% [");
    if (mark > 0) {
        QByteArray digits = data.left(mark).right(3);
        digits.replace('%', QByteArray());
        digits = digits.mid(digits.lastIndexOf('\r') + 1).trimmed();
        bool ok = false;
        const int d = digits.toInt(&ok);
        if (ok && d >= 0 && d <= 100)
            m_download = qMax(m_download, d);
    }

    const int end = data.lastIndexOf('\n');
    int from = 0;
    while (from <= end) {
        const int lf = data.indexOf('\n', from);
        scanLine(data.mid(from, lf - from));
        from = lf + 1;
    }
    m_carry = data.mid(end + 1);
    // A line never ended (a long redrawn download line) keeps only its
    // last redraw.
    if (m_carry.size() > kTailBytes) {
        m_carry = m_carry.mid(m_carry.lastIndexOf('\r') + 1);
        if (m_carry.size() > kTailBytes)
            m_carry = m_carry.right(kTailBytes);
    }
    advance();
    return m_percent;
}

void LNX2AptProgress::scanLine(const QByteArray& raw)
{
    QByteArray line = raw;
    while (line.endsWith('\r'))
        line.chop(1);
    line = line.mid(line.lastIndexOf('\r') + 1);
    if (line.trimmed().isEmpty())
        return;
    m_tail += line + '\n';
    if (m_tail.size() > 2 * kTailBytes)
        m_tail = m_tail.right(kTailBytes);

    if (line.startsWith("Unpacking ")) {
        ++m_unpacked;
    } else if (line.startsWith("Setting up ")) {
        ++m_setUp;
    } else if (line.startsWith("Fetched ")) {
        m_fetched = true;
    } else if (m_count < 0 && line.contains("upgraded,") && line.contains("newly installed,")
               && line.contains("to remove and") && line.contains("not upgraded.")) {
        const QList<QByteArray> f = line.simplified().split(' ');
        m_count = f.value(0).toInt() + f.value(2).toInt();
    }
}

void LNX2AptProgress::advance()
{
    for (;;) {
        switch (m_phase) {
        case Phase::Counting:
            if (m_count < 0)
                return;
            m_phase = Phase::Downloading;
            break;
        case Phase::Downloading:
            if (m_count < 1) {
                raise(30);
            } else {
                raise(m_download * 30 / 100);
                if (!m_fetched && m_unpacked == 0 && m_download < 100)
                    return;
            }
            m_phase = Phase::Unpacking;
            break;
        case Phase::Unpacking:
            if (m_count < 1) {
                raise(60);
            } else {
                raise(30 + qMin(m_unpacked, m_count) * 30 / m_count);
                if (m_unpacked < m_count)
                    return;
            }
            m_phase = Phase::SettingUp;
            break;
        case Phase::SettingUp:
            raise(m_count < 1 ? 100 : 60 + qMin(m_setUp, m_count) * 40 / m_count);
            return;
        }
    }
}

void LNX2AptProgress::raise(int to) { m_percent = qBound(m_percent, to, kMaxParsed); }

QString LNX2AptProgress::tail() const
{
    QByteArray t = m_tail.right(kTailBytes);
    // Start at a whole line.
    if (t.size() < m_tail.size())
        t = t.mid(t.indexOf('\n') + 1);
    return QString::fromUtf8(t).trimmed();
}

LNX2Apt::LNX2Apt(QObject* parent) : QObject(parent) {}

bool LNX2Apt::isBusy() const { return LNX2Package().isBusy(); }

QString LNX2Apt::takePackageName(const QString& package)
{
    const QString file = package.section(QLatin1Char('/'), -1);
    const int cut = file.indexOf(QLatin1Char('_'));
    return cut > 0 ? file.left(cut) : file;
}

bool LNX2Apt::aptExecute(QJsonObject& result, const QJsonObject& request)
{
    QElapsedTimer clock;
    clock.start();
    const QString package = toString(request.value(QStringLiteral("package")));
    int action = toInt(request.value(QStringLiteral("exec")));
    if (action != 2 && action != kReinstall && action != kPurge)
        action = 1;
    const QString name = takePackageName(package);
    const bool isFile = package.contains(QLatin1Char('/'));

    result = QJsonObject{{QStringLiteral("package"), name},
                         {QStringLiteral("action"), action},
                         {QStringLiteral("oldstatus"), QString()},
                         {QStringLiteral("oldversion"), QString()},
                         {QStringLiteral("newstatus"), QString()},
                         {QStringLiteral("newversion"), QString()}};
    if (isFile)
        result.insert(QStringLiteral("filepath"), package);
    emit progress(0);

    auto fail = [&](const QString& why) {
        result.insert(QStringLiteral("errmsg"), why);
        result.insert(QStringLiteral("times"), clock.elapsed());
        return false;
    };

    QString target;
    if (action == kPurge)
        target = LNX2Package::isPackageName(name) ? name : QString();
    else
        target = (isFile ? LNX2Package::isPackageFile(package) : LNX2Package::isPackageName(package)) ? package
                                                                                                      : QString();
    if (target.isEmpty())
        return fail(QStringLiteral("无效的软件包: ") + package);

    HX2RunOptions options;
    options.startMs = kStartMs;
    options.channels = HX2Channels::Merged;
    options.env.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    options.env.insert(kTargetVar, target);
    // script gives apt a terminal, so that it prints its progress; -e
    // passes apt's exit code on, and the session record goes nowhere.
    // script also exits 0 when it is itself terminated, so only the marker,
    // printed once apt succeeded, tells a finished run.
    options.env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    const QString text = QStringLiteral("apt ")
                         + actionArgs(action, QStringLiteral("\"$") + kTargetVar + QLatin1Char('"'))
                               .join(QLatin1Char(' '))
                         + QStringLiteral(" && echo ") + QLatin1String(kDoneMarker);
    HX2Runner runner(QStringLiteral("script"),
                     {QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("-c"), text, QStringLiteral("/dev/null")},
                     options);
    if (!runner.start())
        return fail(QStringLiteral("script did not start"));

    LNX2AptProgress parser;
    QByteArray tail;
    bool ended = false;
    for (;;) {
        const int left = remainingLimit(kExecuteMs, clock.elapsed());
        ended = runner.waitForFinished(qMin(kPollMs, left));
        const QByteArray fresh = runner.readOutput();
        tail = (tail + fresh).right(256);
        emit progress(parser.feed(fresh));
        if (ended || left == 0)
            break;
    }
    if (!ended)
        runner.killTree();
    const HX2RunResult r = runner.result();
    if (!ended || !r.ok || !tail.contains(kDoneMarker)) {
        const QString why = parser.tail();
        return fail(why.isEmpty() ? QStringLiteral("apt failed") : why);
    }
    emit progress(100);
    result.insert(QStringLiteral("times"), clock.elapsed());
    return true;
}

bool LNX2Apt::aptPurge(const QString& name)
{
    if (!LNX2Package::isPackageName(name))
        return false;
    QStringList scripts{QStringLiteral(".prerm"), QStringLiteral(".postrm"), QStringLiteral(".preinst"),
                        QStringLiteral(".postinst")};
    HX2RunOptions options;
    options.startMs = kStartMs;
    options.finishMs = 900000;
    // A package left half-removed by a failed script is only removed by
    // the next purge, its configuration kept: purge until it is gone.
    for (int attempt = 0; attempt < 2 + scripts.size(); ++attempt) {
        const HX2RunResult r = LNX2Package::runTool(
            QStringLiteral("apt"),
            QStringList{QStringLiteral("purge"), QStringLiteral("-y")} + LNX2Package::aptOptions() + QStringList{name},
            options);
        if (r.ok) {
            // Only a listing that dpkg gave can show the package gone.
            QList<LNX2Package::Entry> entries;
            if (!LNX2Package().listing(entries))
                return false;
            const LNX2Package::Entry* left = LNX2Package::find(entries, name);
            if (!left || left->status.endsWith(QLatin1Char('n')))
                return true;
            continue;
        }
        const QString script = LNX2Package::failedScript(name, QString::fromUtf8(r.out) + r.errText(), scripts);
        if (script.isEmpty())
            return false;
        PRINTVAR(script);
        if (QFile::exists(script))
            QFile::remove(script);
    }
    return false;
}

int LNX2Apt::aptPurge(const QList<QJsonObject>& records)
{
    int n = 0;
    for (const QJsonObject& r : records)
        n += aptPurge(r.value(QStringLiteral("package")).toString()) ? 1 : 0;
    return n;
}

bool LNX2Apt::aptReinstall(const QString& name) { return LNX2Package().reinstall(name); }

int LNX2Apt::aptReinstall(const QList<QJsonObject>& records) { return LNX2Package().reinstall(records); }

QList<QJsonObject> LNX2Apt::dpkgPackages() const { return LNX2Package().packages(); }

QList<QJsonObject> LNX2Apt::dpkgBrokens() const { return LNX2Package().brokens(); }

bool LNX2Apt::dpkgStatus(const QString& name, QString& status, QString& version) const
{
    return LNX2Package().status(name, status, version);
}

bool LNX2Apt::aptRepair()
{
    if (isBusy())
        return false;
    emit progress(0);
    emit progress(5);
    emit progress(10);
    HX2RunOptions clock;
    clock.startMs = kStartMs;
    clock.finishMs = kStartMs;
    const bool hwclock = HX2Runner::run(QStringLiteral("hwclock"), {QStringLiteral("--systohc")}, clock).ok;
    PRINTVAR(hwclock);
    for (int p : {15, 30, 40, 50})
        emit progress(p);

    struct Step
    {
        QString program;
        QStringList args;
        int after;
    };
    const QString apt = QStringLiteral("apt");
    const QString y = QStringLiteral("-y");
    const Step steps[] = {
        {apt, {QStringLiteral("clean"), y}, 50},
        {apt, {QStringLiteral("autoclean"), y}, 60},
        {QStringLiteral("dpkg"),
         {QStringLiteral("--configure"), QStringLiteral("-a"), QStringLiteral("--force-confdef"),
          QStringLiteral("--force-confold")},
         70},
        {apt, {QStringLiteral("autoremove"), y}, 80},
        {apt, {QStringLiteral("install"), QStringLiteral("--fix-broken"), y}, 90},
        {apt,
         {QStringLiteral("install"), QStringLiteral("--fix-broken"), QStringLiteral("-o"),
          QStringLiteral("Dpkg::Options::=--force-confmiss"), y},
         95},
    };
    bool ok = false;
    for (const Step& s : steps) {
        const QStringList args = s.program == apt ? s.args + LNX2Package::aptOptions() : s.args;
        const QString command = s.program + QLatin1Char(' ') + args.join(QLatin1Char(' '));
        PRINTVAR(command);
        ok = LNX2Package::runStep(s.program, args);
        emit progress(s.after);
    }
    emit progress(100);
    return ok;
}
