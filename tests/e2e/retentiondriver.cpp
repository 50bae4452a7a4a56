// Runs one engine step with a configuration file, for the retention tests
// and benchmark, which start it inside the bench's appliance. The engine's
// files live under VXR_FILES_ROOT (the settings file must be there), and
// its clock stands at VXR_DRIVER_NOW (yyyyMMddHHmmss).
//
//   retentiondriver CONFIG cycle           one snapshot cycle with its pruning
//   retentiondriver CONFIG prune DATASET   one local pruning pass only
//   retentiondriver CONFIG upload DATASET  one upload task
//   retentiondriver CONFIG restore DATASET SNAPSHOT TARGET
//                                          the restore of the dataset up to
//                                          the snapshot into a new target,
//                                          with the settings' account
//   retentiondriver CONFIG logs            the operation-log messages
//   retentiondriver CONFIG logclear        clears the operation log
//
// The last line of standard output is "RESULT " and a JSON object {"ok",
// "base", "messages"}. A configuration the engine refuses exits 2.
#include "hx2file.h"
#include "hx2journals.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxrsettings.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: retentiondriver CONFIG OPERATION [DATASET]\n");
        return 2;
    }
    const QString op = args.at(2);
    const QString dataset = args.value(3);

    VxrClient engine;
    const QDateTime now = QDateTime::fromString(qEnvironmentVariable("VXR_DRIVER_NOW"), "yyyyMMddHHmmss");
    if (now.isValid())
        engine.setClock([now] { return now; });
    HX2Journals journal;
    if (!engine.loadConfigure(journal, HX2File::readJsonObject(args.at(1)))) {
        std::fprintf(stderr, "%s\n", journal.errmsg().toUtf8().constData());
        return 2;
    }
    engine.loadSettings(journal, nullptr);

    QJsonObject out;
    bool ok = true;
    if (op == "cycle") {
        engine.units().cycle.running().store(true);
        engine.backupRun();
    } else if (op == "prune") {
        engine.units().pruning.pruneLocal(dataset);
    } else if (op == "upload") {
        engine.units().worker.queueTasks({VxrTask::upload(dataset)});
        ok = engine.units().worker.waitIdle(600000) && engine.units().settings.lastBackup().value("result").toInt() == 9;
    } else if (op == "restore") {
        VxrSsh::Account a;
        QString why;
        const VxrPlan::RestoreChoice choice{dataset, args.value(4), args.value(5)};
        ok = VxrSettingsRules::usableAccount(engine.units().settings.settings(), &a, &why)
             && engine.restoreAll(journal, a.host, a.port, a.user, a.password, choice)
             && engine.units().worker.waitIdle(600000);
    } else if (op == "logclear") {
        ok = engine.logClear(journal);
    } else if (op != "logs") {
        std::fprintf(stderr, "retentiondriver: unknown operation %s\n", qPrintable(op));
        return 2;
    }
    QJsonArray records;
    engine.logAlload(journal, records);
    QJsonArray messages;
    for (const QJsonValue& r : records)
        messages.prepend(r.toObject().value("message"));
    out.insert("ok", ok);
    out.insert("base", engine.units().pruning.recordedBase(dataset));
    out.insert("messages", messages);
    std::printf("RESULT %s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}
