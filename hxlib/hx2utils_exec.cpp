#include "hx2utils.h"

#include "hx2runner.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

namespace {

constexpr int kNotRun = 9998;
constexpr int kNoOutcome = 62;
constexpr int kStartMs = 30000;

QString utf8Text(const QByteArray& bytes) { return QString::fromUtf8(beforeZero(bytes)); }

// The variables to hand to the runner, which sets or replaces each: list
// variables already set are extended here so that the runner's replace
// gives the amended list.
QHash<QString, QString> amendedEnv(const QHash<QString, QString>& env)
{
    if (env.isEmpty())
        return env;
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    QHash<QString, QString> out;
    for (auto it = env.cbegin(); it != env.cend(); ++it) {
        const QString& name = it.key();
        if (!name.endsWith(QLatin1String("PATH")) || !system.contains(name)) {
            out.insert(name, it.value());
            continue;
        }
        QStringList entries = system.value(name).split(QLatin1Char(':'), Qt::SkipEmptyParts);
        entries.append(it.value());
        out.insert(name, entries.join(QLatin1Char(':')));
    }
    return out;
}

// One synchronous run with the start limit startMs and the finish limit of
// whatever is left of totalMs (measured from clock) once started.
HX2RunResult runTimed(const QStringList& argv, const QHash<QString, QString>& env, int startMs,
                      int totalMs, const QElapsedTimer& clock)
{
    if (argv.isEmpty() || argv.first().isEmpty())
        return HX2RunResult();
    HX2RunOptions options;
    options.startMs = startMs;
    options.env = env;
    HX2Runner runner(argv.first(), argv.mid(1), options);
    if (!runner.start())
        return runner.result();
    if (runner.waitForFinished(remainingLimit(totalMs, clock.elapsed())))
        return runner.result();
    runner.killTree(500);
    HX2RunResult r = runner.result();
    r.finished = false;
    r.ok = false;
    return r;
}

HX2RunResult runLine(const QString& cmd, const QHash<QString, QString>& env, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    return runTimed(QProcess::splitCommand(cmd), amendedEnv(env), timeout, timeout, clock);
}

bool finishOut(const HX2RunResult& r, QString& out)
{
    out = r.ok ? utf8Text(r.out) : r.errText();
    return r.ok;
}

QStringList rootArgv(const QStringList& argv, bool asRoot)
{
    return asRoot ? QStringList(QStringLiteral("sudo")) + argv : argv;
}

} // namespace

int remainingLimit(int limitMs, qint64 spentMs)
{
    if (limitMs < 0)
        return -1;
    return spentMs >= limitMs ? 0 : static_cast<int>(limitMs - spentMs);
}

bool cmdExec(const QString& cmd, QString& out, int timeout)
{
    return finishOut(runLine(cmd, {}, timeout), out);
}

bool cmdExec(const QString& cmd, int timeout)
{
    QString out;
    return cmdExec(cmd, out, timeout);
}

bool cmdExec(const QHash<QString, QString>& env, const QString& cmd, QString& out, int timeout)
{
    return finishOut(runLine(cmd, env, timeout), out);
}

bool cmdExec(const QHash<QString, QString>& env, const QString& cmd, int timeout)
{
    QString out;
    return cmdExec(env, cmd, out, timeout);
}

bool cmdsExec(const QStringList& cmds, QJsonArray& errors, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    bool ran = false;
    for (const QString& cmd : cmds) {
        if (cmd.trimmed().isEmpty())
            continue;
        const HX2RunResult r = runTimed(QProcess::splitCommand(cmd), {}, timeout, timeout, clock);
        if (!r.ok) {
            errors.append(QString::fromLatin1(beforeZero(r.err)));
            return false;
        }
        ran = true;
    }
    // A list with nothing to run has not succeeded at anything.
    return ran;
}

bool cmdsExec(const QStringList& cmds, int timeout)
{
    QJsonArray errors;
    return cmdsExec(cmds, errors, timeout);
}

int cmdExecute(QString& out, const QStringList& argv, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    const HX2RunResult r = runTimed(argv, {}, timeout, timeout, clock);
    if (!r.started || !r.finished || !r.normalExit) {
        out = r.errText();
        return kNotRun;
    }
    out = r.exitCode == 0 ? utf8Text(r.out) : r.errText();
    return r.exitCode;
}

bool execBash(const QString& script, QString& out, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    const QStringList argv{QStringLiteral("/usr/bin/sudo"), QStringLiteral("/bin/bash"),
                           QStringLiteral("-c"), script};
    return finishOut(runTimed(argv, {}, timeout, timeout, clock), out);
}

bool execBash(const QString& script, int timeout)
{
    QString out;
    return execBash(script, out, timeout);
}

int exeCommand(const QString& cmd, int timeout, QByteArray* out)
{
    const QStringList argv = QProcess::splitCommand(cmd);
    if (argv.isEmpty())
        return timeout == 0 ? -2 : kNoOutcome;
    if (timeout < 0)
        return HX2Runner::startDetached(argv.first(), argv.mid(1)) ? 0 : kNoOutcome;
    if (timeout == 0) {
        HX2RunOptions options;
        options.startMs = kStartMs;
        options.finishMs = -1;
        options.channels = HX2Channels::Forwarded;
        const HX2RunResult r = HX2Runner::run(argv.first(), argv.mid(1), options);
        if (out)
            out->clear();
        if (!r.started)
            return -2;
        return r.normalExit ? r.exitCode : -1;
    }
    QElapsedTimer clock;
    clock.start();
    const HX2RunResult r = runTimed(argv, {}, timeout, timeout, clock);
    if (!r.started || !r.finished)
        return kNoOutcome;
    if (out)
        *out = r.ok ? r.out : r.err;
    return r.normalExit ? r.exitCode : -1;
}

int linuxCmdExec(const QStringList& argv, bool asRoot)
{
    QElapsedTimer clock;
    clock.start();
    const HX2RunResult r = runTimed(rootArgv(argv, asRoot), {}, kStartMs, -1, clock);
    if (!r.started)
        return -2;
    return r.normalExit ? r.exitCode : -1;
}

std::unique_ptr<HX2Runner> linuxCmdStart(const QStringList& argv, bool asRoot)
{
    const QStringList all = rootArgv(argv, asRoot);
    if (all.isEmpty() || all.first().isEmpty())
        return nullptr;
    HX2RunOptions options;
    options.startMs = kStartMs;
    std::unique_ptr<HX2Runner> runner(new HX2Runner(all.first(), all.mid(1), options));
    if (!runner->start())
        return nullptr;
    return runner;
}
