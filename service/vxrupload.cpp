// The task worker and the scheduled upload of one dataset.
#include "vxrclient.h"

#include "hx2file.h"
#include "hx2runner.h"
#include "hx2utils.h"
#include "vxrcommands.h"
#include "vxrmarkers.h"
#include "vxrpipeline.h"

#include <QElapsedTimer>

#include <chrono>
#include <thread>

using VxrCommands::Account;

namespace {

constexpr int kPollMs = 2000;
// Grace given to the transfer's processes between the terminate and the
// kill of a cancel; short, as the user waits for it.
constexpr int kCancelGraceMs = 1000;
constexpr int kListStartMs = 10000;
constexpr int kLocalListMs = 3600000;
constexpr int kRemoteListMs = 60000;
constexpr int kEstimateMs = 60000;
constexpr int kScriptStartMs = 30000;
// Output kept for the trace of a failed transfer (zfs or ssh complaints).
constexpr int kFailureTail = 2048;

enum class Transfer { Succeeded, Failed, Cancelled };

// The progress a transfer shows in the head task; the task is left alone
// when the head is no longer this one.
void updateHead(VxrClient& engine, int index, const QString& speed, int rate, qint64 total)
{
    std::lock_guard<std::mutex> lock(engine.taskMutex);
    if (engine.tasks.isEmpty())
        return;
    QJsonObject head = engine.tasks.at(0).toObject();
    if (toInt(head.value("index")) != index)
        return;
    head.insert("speed", speed);
    head.insert("rate", rate);
    head.insert("totalsize", total);
    head.insert("currsize", rate == 0 ? qint64(0) : total * rate / 100);
    engine.tasks.replace(0, head);
}

bool headRemoved(VxrClient& engine, int index)
{
    std::lock_guard<std::mutex> lock(engine.taskMutex);
    if (engine.tasks.isEmpty())
        return false;
    const QJsonObject head = engine.tasks.at(0).toObject();
    return toInt(head.value("index")) == index && toInt(head.value("removed")) > 0;
}

qint64 estimate(const QStringList& args, const QList<int>& accepted, bool* ran)
{
    HX2RunOptions o;
    o.startMs = kListStartMs;
    o.finishMs = kEstimateMs;
    o.acceptedCodes = accepted;
    const HX2RunResult r = HX2Runner::run(QStringLiteral("zfs"), args, o);
    if (ran)
        *ran = r.ok;
    return r.ok ? VxrPipeline::parseEstimateSize(r.out) : 0;
}

// Runs one phase's pipeline, polling pv's progress into the head task
// every two seconds. In mapped mode the phase's percent fills the part of
// the scale above base. rate is the running rate in and out.
Transfer runTransfer(VxrClient& engine, int index, const QString& text, const Account& account,
                     bool mapped, int base, qint64 total, QString& speed, int& rate)
{
    if (engine.quitting.load())
        return Transfer::Failed;
    HX2RunOptions o;
    o.startMs = kScriptStartMs;
    o.finishMs = -1;
    o.env = VxrPipeline::scriptEnv(account);
    HX2Runner runner(QStringLiteral("script"), VxrPipeline::scriptArgs(text), o);
    if (!runner.start())
        return Transfer::Failed;

    rate = mapped ? base : 0;
    VxrPipeline::ProgressParser progress;
    QByteArray tail;
    auto take = [&] {
        const QByteArray fresh = runner.readOutput();
        progress.append(fresh);
        tail += fresh;
        if (tail.size() > kFailureTail)
            tail = tail.right(kFailureTail);
    };
    while (!runner.waitForFinished(kPollMs)) {
        take();
        int percent = 0;
        if (progress.read(&speed, &percent))
            rate = mapped ? VxrPipeline::mapRate(percent, base) : percent;
        if (headRemoved(engine, index)) {
            runner.killTree(kCancelGraceMs);
            return Transfer::Cancelled;
        }
        updateHead(engine, index, speed, rate, total);
    }
    take();
    const HX2RunResult r = runner.result();
    if (r.ok && VxrPipeline::streamCompleted(tail) && !engine.quitting.load())
        return Transfer::Succeeded;
    const QString failed = QString::fromUtf8(tail);
    PRINTVAR(r.exitCode);
    PRINTVAR(failed);
    return Transfer::Failed;
}

} // namespace

void VxrClient::startTransferWorker()
{
    if (!transferRunning.exchange(true))
        std::thread([this] { transferRun(); }).detach();
}

bool VxrClient::waitTransferIdle(int ms) const
{
    QElapsedTimer timer;
    timer.start();
    while (transferRunning.load()) {
        if (timer.elapsed() >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void VxrClient::transferRun()
{
    transferRunning.store(true);
    for (;;) {
        QJsonObject task;
        {
            std::lock_guard<std::mutex> lock(taskMutex);
            // Cleared under the same lock a starter appends under, so a task
            // appended now is never left without a worker.
            if (tasks.isEmpty() || quitting.load()) {
                transferRunning.store(false);
                break;
            }
            task = tasks.at(0).toObject();
            task.insert("step", 1);
            tasks.replace(0, task);
        }
        const int index = toInt(task.value("index"));
        const int action = toInt(task.value("action"));
        if (action == VxrLog::kActionUpload) {
            uploading.store(true);
            vxrUpload(task);
            uploading.store(false);
        }
        // Restore tasks (action 3) are not run yet; like any other action
        // they are removed below.
        {
            std::lock_guard<std::mutex> lock(taskMutex);
            for (int i = 0; i < tasks.size(); ++i) {
                if (toInt(tasks.at(i).toObject().value("index")) == index) {
                    tasks.removeAt(i);
                    break;
                }
            }
        }
    }
}

bool VxrClient::vxrUpload(const QJsonObject& task)
{
    const VxrSettings s = settings();
    if (!s.hasAccount())
        return false;
    const Account account{s.host, s.validPort(), s.uid, s.pwd};
    const QString dataset = toString(task.value("dmpath"));
    const int index = toInt(task.value("index"));

    HX2RunOptions listOptions;
    listOptions.startMs = kListStartMs;
    listOptions.finishMs = kLocalListMs;
    const HX2RunResult localRun = HX2Runner::run(QStringLiteral("zfs"), VxrPipeline::localListArgs(dataset), listOptions);
    if (!localRun.ok)
        return false;
    QStringList local = localRun.outLines();
    if (local.isEmpty() || quitting.load())
        return false;

    const QStringList remoteArgs = VxrCommands::sshpassArgs(account, VxrPipeline::remoteListCommand(dataset));
    const QString cmd = QStringLiteral("sshpass ") + remoteArgs.join(QLatin1Char(' '));
    PRINTVAR(cmd);
    HX2RunOptions remoteOptions;
    remoteOptions.startMs = kListStartMs;
    remoteOptions.finishMs = kRemoteListMs;
    remoteOptions.acceptedCodes = {0, 1};
    remoteOptions.env = VxrCommands::sshpassEnv(account);
    const HX2RunResult remoteRun = HX2Runner::run(QStringLiteral("sshpass"), remoteArgs, remoteOptions);
    if (!remoteRun.ok) {
        const QString stderrText = remoteRun.errText();
        PRINTVAR(stderrText);
        writeLog(QString::fromLatin1(VxrLog::kError), QString::fromLatin1(VxrLog::kCloudInfoFailed),
                 VxrLog::kActionUpload, VxrLog::kStateFailed);
        return false;
    }
    const QStringList remote = remoteRun.outLines();

    QString speed = QStringLiteral("0B/s");
    qint64 fullSize = 0;
    qint64 incrementalSize = 0;
    Transfer outcome = Transfer::Succeeded;
    int rate = 0;

    if (remote.isEmpty()) {
        bool ran = false;
        fullSize = estimate(VxrPipeline::fullEstimateArgs(local.first()), {0}, &ran);
        if (ran)
            incrementalSize = estimate(VxrPipeline::incrementalEstimateArgs(local.first(), local.last()), {0, 1}, nullptr);
        const QString command = VxrPipeline::fullPipeline(account, local.first(), dataset, fullSize + incrementalSize);
        PRINTVAR(command);
        outcome = runTransfer(*this, index, command, account, false, 0, fullSize + incrementalSize, speed, rate);
    }

    if (outcome == Transfer::Succeeded) {
        speed = QStringLiteral("0B/s");
        // From the server's newest, which both sides hold; a span of one
        // snapshot leaves nothing to send.
        const QStringList span = VxrPipeline::incrementalSpan(local, remote);
        if (span.size() >= 2) {
            if (incrementalSize <= 0)
                incrementalSize = estimate(VxrPipeline::incrementalEstimateArgs(span.first(), span.last()), {0, 1}, nullptr);
            const QString command = VxrPipeline::incrementalPipeline(account, span.first(), span.last(), dataset, incrementalSize);
            PRINTVAR(command);
            outcome = runTransfer(*this, index, command, account, true, rate, fullSize + incrementalSize, speed, rate);
        }
    }

    const qint64 total = fullSize + incrementalSize;
    if (outcome == Transfer::Succeeded) {
        speed = QStringLiteral("0B/s");
        std::lock_guard<std::mutex> lock(taskMutex);
        if (!tasks.isEmpty()) {
            QJsonObject head = tasks.at(0).toObject();
            if (toInt(head.value("index")) == index && toInt(head.value("removed")) <= 0) {
                head.insert("speed", speed);
                head.insert("rate", 100);
                head.insert("totalsize", total);
                head.insert("currsize", total);
                tasks.replace(0, head);
            }
        }
    }

    const QString time = now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    int state = VxrLog::kStateSucceeded;
    switch (outcome) {
    case Transfer::Succeeded:
        writeLog(QString::fromLatin1(VxrLog::kInformation), QString::fromLatin1(VxrLog::kUploadSuccess),
                 VxrLog::kActionUpload, VxrLog::kStateSucceeded);
        break;
    case Transfer::Cancelled:
        state = VxrLog::kStateCancelled;
        writeLog(QString::fromLatin1(VxrLog::kWarning), QString::fromLatin1(VxrLog::kCancelUpload),
                 VxrLog::kActionUpload, state);
        break;
    case Transfer::Failed:
        state = VxrLog::kStateFailed;
        writeLog(QString::fromLatin1(VxrLog::kError), QString::fromLatin1(VxrLog::kUploadFail),
                 VxrLog::kActionUpload, state);
        break;
    }

    QJsonObject record;
    {
        std::lock_guard<std::mutex> lock(lastBackupMutex);
        lastBackup.insert("time", time);
        lastBackup.insert("result", state);
        record = lastBackup;
    }
    HX2File::saveJson(lastBackupPath(), record, true);
    return outcome == Transfer::Succeeded;
}
