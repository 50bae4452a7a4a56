// The service as the end-to-end tests run it inside the bench's appliance:
// the application object, engine start, event loop and orderly quit as in
// the service's entry, plus two test hooks: the engine clock shifted by
// VXR_DRIVER_CLOCK_OFFSET_MS (so a schedule "at the next minute" comes in
// seconds), and commands on standard input, each answered with one line
// "@@<command> <compact JSON>" (and, with VXR_DRIVER_WATCH_MS set, the
// task queue as "@@watch <compact JSON>" each time it changed, looked at
// every that many milliseconds, so that short-lived states are seen):
//   tasks        the task queue
//   cancel N     taskCancel(N) -> {"ok", "err"}
//   log          the engine's operation-log records
//   upload DS... one upload task per dataset (percent-encoded, so that a
//                name may hold blanks), run at once -> {"indexes"}
//   restore HOST PORT USER PASSWORD
//                restoreAll -> {"ok", "err", "errmsg"}; the password is the
//                rest of the line
//   restoreone HOST PORT USER DMPATH SNAPSHOT TARGET PASSWORD
//                the restore of one dataset with its choices (percent-
//                encoded, "-" for none) -> as restore
#include "appdata.h"
#include "vxrengine.h"
#include "hx2journals.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

void answer(const char* command, const QJsonValue& value)
{
    const QByteArray json = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    std::printf("@@%s %s\n", command, json.constData());
    std::fflush(stdout);
}

void handle(VxrClient& engine, const QByteArray& line)
{
    const QList<QByteArray> words = line.trimmed().split(' ');
    HX2Journals journal;
    if (words.value(0) == "tasks") {
        QJsonArray tasks;
        engine.taskAlload(journal, tasks);
        answer("tasks", tasks);
    } else if (words.value(0) == "cancel") {
        const bool ok = engine.taskCancel(journal, words.value(1).toInt());
        answer("cancel", QJsonObject{{"ok", ok}, {"err", journal.err()}});
    } else if (words.value(0) == "upload") {
        QList<VxrTask> tasks;
        for (const QByteArray& ds : words.mid(1))
            tasks << VxrTask::upload(QString::fromUtf8(QByteArray::fromPercentEncoding(ds)));
        QJsonArray indexes;
        for (int i : engine.units().worker.queueTasks(tasks))
            indexes.append(i);
        answer("upload", QJsonObject{{"indexes", indexes}});
    } else if (words.value(0) == "restore") {
        const QByteArray rest = line.trimmed();
        int at = 0;
        for (int i = 0; i < 4 && at >= 0; ++i)
            at = rest.indexOf(' ', at + 1);
        const QString password = at < 0 ? QString() : QString::fromUtf8(rest.mid(at + 1));
        const bool ok = engine.restoreAll(journal, QString::fromUtf8(words.value(1)), words.value(2).toInt(),
                                          QString::fromUtf8(words.value(3)), password);
        answer("restore", QJsonObject{{"ok", ok}, {"err", journal.err()}, {"errmsg", journal.errmsg()}});
    } else if (words.value(0) == "restoreone") {
        const QByteArray rest = line.trimmed();
        int at = 0;
        for (int i = 0; i < 7 && at >= 0; ++i)
            at = rest.indexOf(' ', at + 1);
        const QString password = at < 0 ? QString() : QString::fromUtf8(rest.mid(at + 1));
        auto choice = [&](int i) {
            const QByteArray w = words.value(i);
            return w == "-" ? QString() : QString::fromUtf8(QByteArray::fromPercentEncoding(w));
        };
        const VxrPlan::RestoreChoice c{choice(4), choice(5), choice(6)};
        const bool ok = engine.restoreAll(journal, QString::fromUtf8(words.value(1)), words.value(2).toInt(),
                                          QString::fromUtf8(words.value(3)), password, c);
        answer("restoreone", QJsonObject{{"ok", ok}, {"err", journal.err()}, {"errmsg", journal.errmsg()}});
    } else if (words.value(0) == "log") {
        QJsonArray records;
        engine.logAlload(journal, records);
        answer("log", records);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    AppData* data = AppData::create();
    if (!data->init(qEnvironmentVariable("VXR_DRIVER_CONFIG")))
        return 2;
    const qint64 offset = qEnvironmentVariable("VXR_DRIVER_CLOCK_OFFSET_MS").toLongLong();
    data->engine.setClock([offset] { return QDateTime::currentDateTime().addMSecs(offset); });
    if (!data->start())
        return 3;

    QTimer watch;
    QByteArray watched;
    const int watchMs = qEnvironmentVariableIntValue("VXR_DRIVER_WATCH_MS");
    if (watchMs > 0) {
        QObject::connect(&watch, &QTimer::timeout, [&] {
            HX2Journals journal;
            QJsonArray tasks;
            data->engine.taskAlload(journal, tasks);
            const QByteArray now = QJsonDocument(tasks).toJson(QJsonDocument::Compact);
            if (now != watched) {
                watched = now;
                answer("watch", tasks);
            }
        });
        watch.start(watchMs);
    }

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buf, static_cast<int>(n));
        int nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            handle(data->engine, pending.left(nl));
            pending.remove(0, nl + 1);
        }
    });

    const int status = QCoreApplication::exec();
    data->finish();
    std::_Exit(status);
}
