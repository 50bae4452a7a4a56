// Runs one engine operation and prints its outcome, for the end-to-end
// tests, which start it inside the bench's appliance. The engine's files
// live under VXR_FILES_ROOT; the settings file must be there already.
//
//   engine1driver OPERATION [ARG]
//     snapcycle          one snapshot cycle over the settings' datasets
//     local DATASET      localSnapshots
//     remote             remoteAllSnapshots with the settings' account
//     logs               logAlload
//     logclear           logClear
//     storage            storageLoad
//     zfsinfo            zfsInfo of tank/home
//     allused            allUsed over the settings' datasets
//
// The last line of standard output is "RESULT " and a JSON object:
// {"ok", "err", "errmsg", "records" or "result"}; the engine's debug trace
// comes before it.
#include "vxrclient.h"
#include "vxrengine.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: engine1driver OPERATION [ARG]\n");
        return 2;
    }
    const QString op = args.at(1);
    const QString arg = args.value(2);

    VxrClient engine;
    HX2Journals setup;
    engine.loadConfigure(setup, QJsonObject{{"vg", "tank"}, {"lv", "home"}});
    engine.loadSettings(setup, nullptr);

    HX2Journals journal;
    QJsonObject out;
    bool ok = false;
    QJsonArray records;
    if (op == "snapcycle") {
        engine.units().cycle.running().store(true);
        engine.backupRun();
        ok = !engine.units().cycle.running().load();
    } else if (op == "local") {
        ok = engine.localSnapshots(journal, records, arg);
        out.insert("records", records);
    } else if (op == "remote") {
        ok = engine.remoteAllSnapshots(journal, records);
        out.insert("records", records);
    } else if (op == "logs") {
        ok = engine.logAlload(journal, records);
        out.insert("records", records);
    } else if (op == "logclear") {
        ok = engine.logClear(journal);
    } else if (op == "storage") {
        QJsonObject map;
        ok = engine.storageLoad(journal, map);
        out.insert("result", map);
    } else if (op == "zfsinfo") {
        const QJsonObject info = engine.zfsInfo();
        ok = !info.isEmpty();
        out.insert("result", info);
    } else if (op == "allused") {
        qint64 used = -1;
        qint64 refer = -1;
        ok = engine.allUsed(used, refer);
        out.insert("result", QJsonObject{{"used", used}, {"refer", refer}});
    } else {
        std::fprintf(stderr, "engine1driver: unknown operation %s\n", qPrintable(op));
        return 2;
    }
    out.insert("ok", ok);
    out.insert("err", journal.err());
    out.insert("errmsg", journal.errmsg());
    std::printf("RESULT %s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}
