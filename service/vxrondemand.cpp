#include "vxrondemand.h"

#include "vxrclient.h"

#include "hx2file.h"
#include "hx2runner.h"
#include "hx2utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace VxrOnDemand {

Plan plan(const QStringList& remote, const QStringList& local, const QString& prefix)
{
    Plan p;
    for (int i = remote.size() - 1; i >= 0; --i) {
        if (remote.at(i).startsWith(prefix)) {
            p.remoteNewest = remote.at(i);
            break;
        }
    }
    if (p.remoteNewest.isEmpty()) {
        for (const QString& s : local) {
            if (s.startsWith(prefix))
                p.toSend.append(s);
        }
        return p;
    }
    bool found = false;
    for (int i = local.size() - 1; i >= 0; --i) {
        const QString& s = local.at(i);
        if (!s.startsWith(prefix))
            continue;
        p.toSend.prepend(s);
        if (s == p.remoteNewest) {
            found = true;
            break;
        }
    }
    // When the server's newest is unknown here, the whole prefixed list
    // stays (the loop above has already collected all of it).
    Q_UNUSED(found);
    return p;
}

QString logLine(const QDateTime& when, int code)
{
    QString line = when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QLatin1Char(' ');
    if (code == 0)
        line += QLatin1String(" success");
    else if (code < 0)
        line += QLatin1String(" failed(") + QString::number(code) + QLatin1Char(')');
    line += QLatin1Char('\n');
    return line;
}

QString pipelineText(const VxrCommands::Account& account, const QString& from, const QString& to,
                     const QString& target)
{
    using VxrCommands::shellQuote;
    QString send = QStringLiteral("zfs send ");
    if (to.isEmpty())
        send += shellQuote(from);
    else
        send += QStringLiteral("-RI ") + shellQuote(from) + QLatin1Char(' ') + shellQuote(to);

    const QString remote = QStringLiteral("/usr/sbin/zfs recv -o atime=off -o readonly=on -Fu ")
                           + shellQuote(target);
    QStringList ssh = VxrCommands::sshpassArgs(account, remote, false);
    QString text = QStringLiteral("set -o pipefail; ") + send + QStringLiteral(" | sshpass");
    for (const QString& a : ssh)
        text += QLatin1Char(' ') + shellQuote(a);
    return text;
}

} // namespace VxrOnDemand

namespace {

// Runs one transfer; the start failure and the other failure give their
// own codes.
int runTransfer(const QString& text, const VxrCommands::Account& account, int notStarted, int failed)
{
    HX2RunOptions opts;
    opts.startMs = 30000;
    opts.env = VxrCommands::sshpassEnv(account);
    opts.env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    HX2Runner runner(QStringLiteral("script"),
                     {QStringLiteral("-e"), QStringLiteral("-q"), QStringLiteral("-c"), text,
                      QStringLiteral("/dev/null")},
                     opts);
    if (!runner.start())
        return notStarted;
    while (!runner.waitForFinished(10000)) {
        // The transfer has no time limit; its output (the remote side's
        // messages) is not kept.
        runner.readOutput();
    }
    const HX2RunResult r = runner.result();
    if (r.ok)
        return VxrOnDemand::kSent;
    const QByteArray tail = runner.readOutput().right(4096);
    PRINTVAR(QString::fromUtf8(tail));
    return failed;
}

} // namespace

int VxrClient::upload()
{
    using namespace VxrOnDemand;
    HX2Journals journal;
    QJsonObject view;
    loadSettings(journal, &view);
    const VxrSettings s = settings();

    int code = kNothingLocal;
    if (!s.hasAccount()) {
        code = kNoAccount;
    } else {
        VxrCommands::Account account{s.host, s.port, s.uid, s.pwd};
        HX2RunOptions listOpts;
        listOpts.startMs = 10000;
        listOpts.finishMs = 60000;
        listOpts.env = VxrCommands::sshpassEnv(account);
        const HX2RunResult listing = HX2Runner::run(
            QStringLiteral("sshpass"),
            VxrCommands::sshpassArgs(account, QStringLiteral("/usr/sbin/zfs list -t snapshot -H -o name"),
                                     false),
            listOpts);
        if (!listing.ok) {
            code = kListFailed;
        } else {
            const Plan p = plan(listing.outLines(false), snapshots(), snapPrefix);
            if (p.toSend.isEmpty()) {
                code = kNothingLocal;
            } else {
                code = kServerCurrent;
                if (p.remoteNewest.isEmpty()) {
                    code = runTransfer(pipelineText(account, p.toSend.first(), QString(), datasetRoot),
                                       account, kFullNotStarted, kFullFailed);
                }
                if (p.toSend.size() > 1) {
                    code = runTransfer(pipelineText(account, p.toSend.first(), p.toSend.last(), datasetRoot),
                                       account, kIncrementalNotStarted, kIncrementalFailed);
                }
            }
        }
    }

    const QDateTime end = now();
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        lastUploadTime = end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    QDir().mkpath(QFileInfo(uploadLogPath).absolutePath());
    QFile log(uploadLogPath);
    if (log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        log.write(logLine(end, code).toUtf8());
    return code;
}
