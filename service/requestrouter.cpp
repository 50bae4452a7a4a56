#include "requestrouter.h"

#include "appdata.h"
#include "hx2utils.h"
#include "vxrplan.h"

#include <QJsonArray>

#include <unistd.h>

namespace {

const char kMissing[] = "缺少参数: ";

// A request's "params"; anything but an object reads as an empty one.
QJsonObject paramsOf(const QJsonObject& cmdObject)
{
    return cmdObject.value(QStringLiteral("params")).toObject();
}

// Parameters are read as the management layer has always had them read: a
// number's text for a text, decimal or "0x" text for a number; anything
// else reads as empty or 0.
QString textParam(const QJsonObject& params, const char* key)
{
    return toString(params.value(QLatin1String(key))).trimmed();
}

int numberParam(const QJsonObject& params, const char* key)
{
    return toInt(params.value(QLatin1String(key)));
}

// An optional text parameter of the restore's choices, read strictly: a
// string (trimmed; blank as absent), absent or null. False for any other
// kind, which is refused rather than guessed at.
bool optionalText(const QJsonObject& params, const char* key, QString* out)
{
    const QJsonValue v = params.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isString())
        return false;
    *out = v.toString().trimmed();
    return true;
}

void refuseMissing(HX2Cabinet* envObject, const char* names)
{
    envObject->setErr(9995, QString::fromUtf8(kMissing) + QLatin1String(names));
}

void succeed(QJsonObject* retObject, HX2Cabinet* envObject, const QJsonValue& results = QJsonValue::Undefined)
{
    if (!results.isUndefined())
        retObject->insert(QStringLiteral("results"), results);
    envObject->setErr(0, QString());
}

// The socket takes every local user's connection; the server's password
// goes only to the service's own user and to root.
bool mayReadPassword(const HX2Cabinet* envObject)
{
    const QJsonValue peer = envObject->value(QStringLiteral("peeruid"));
    if (!peer.isDouble())
        return true;
    const qint64 uid = qint64(peer.toDouble());
    return uid == 0 || uid == qint64(::geteuid());
}

QJsonObject recordsOf(const QJsonArray& records)
{
    return QJsonObject{{QStringLiteral("records"), records}};
}

} // namespace

RequestRouter::RequestRouter(QObject* parent) : HX2TodoRouter(parent) {}

bool RequestRouter::loadConfigure(HX2Journals& journal, const QJsonObject& config)
{
    AppData* app = IAppData();
    if (!app)
        return false;
    return app->engine.loadConfigure(journal, config);
}

VxrClient* RequestRouter::open(QJsonObject* retObject, const QJsonObject& cmdObject, HX2Cabinet* envObject)
{
    if (cmdObject.contains(QStringLiteral("help"))) {
        *retObject = QJsonObject();
        return nullptr;
    }
    envObject->begin();
    AppData* app = IAppData();
    return app ? &app->engine : nullptr;
}

void RequestRouter::vxrclient_settingload(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    QJsonObject view;
    if (!engine->settingsLoad(*envObject, view))
        return;
    if (!mayReadPassword(envObject)) {
        QJsonObject server = view.value(QStringLiteral("server")).toObject();
        server.remove(QStringLiteral("pwd"));
        view.insert(QStringLiteral("server"), server);
    }
    succeed(retObject, envObject, view);
}

void RequestRouter::vxrclient_settingsave(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    if (engine->settingsSave(*envObject, paramsOf(cmdObject)))
        succeed(retObject, envObject);
}

void RequestRouter::vxrclient_zfstorage(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    QJsonObject storage;
    if (engine->storageLoad(*envObject, storage))
        succeed(retObject, envObject, storage);
}

void RequestRouter::vxrclient_restore(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    const QJsonObject params = paramsOf(cmdObject);
    const QString server = textParam(params, "server");
    const int port = numberParam(params, "port");
    const QString userid = textParam(params, "userid");
    const QString passwd = textParam(params, "passwd");
    if (server.isEmpty() || userid.isEmpty() || passwd.isEmpty()) {
        refuseMissing(envObject, "server, port, userid, passwd");
        return;
    }
    VxrPlan::RestoreChoice choice;
    QStringList invalid;
    const struct { const char* key; QString* field; } choices[] = {
        {"dmpath", &choice.dataset}, {"snapshot", &choice.snapshot}, {"target", &choice.target}};
    for (const auto& c : choices) {
        if (!optionalText(params, c.key, c.field))
            invalid << QLatin1String(c.key);
    }
    for (const QString& name : VxrPlan::choiceProblems(choice)) {
        if (!invalid.contains(name))
            invalid << name;
    }
    if (!invalid.isEmpty()) {
        envObject->setErr(9889, QStringLiteral("参数无效: ") + invalid.join(QStringLiteral(", ")));
        return;
    }
    const bool queued = choice.dataset.isEmpty() ? engine->restoreAll(*envObject, server, port, userid, passwd)
                                                 : engine->restoreAll(*envObject, server, port, userid, passwd, choice);
    if (queued)
        succeed(retObject, envObject);
}

void RequestRouter::vxrclient_snapshot(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    const QString dmpath = textParam(paramsOf(cmdObject), "dmpath");
    if (dmpath.isEmpty()) {
        refuseMissing(envObject, "dmpath");
        return;
    }
    // zfs would read "-r" or the like as an option, not a dataset.
    if (!VxrPlan::validName(dmpath, false)) {
        envObject->setErr(9889, QStringLiteral("参数无效: dmpath"));
        return;
    }
    QJsonArray records;
    if (engine->localSnapshots(*envObject, records, dmpath))
        succeed(retObject, envObject, recordsOf(records));
}

void RequestRouter::vxrclient_local_loadby(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    vxrclient_snapshot(retObject, cmdObject, envObject);
}

void RequestRouter::vxrclient_remote_loadby(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    QJsonArray records;
    if (engine->remoteSnapshots(*envObject, records, QString()))
        succeed(retObject, envObject, recordsOf(records));
}

void RequestRouter::vxrclient_log_alload(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    QJsonArray records;
    if (engine->logAlload(*envObject, records))
        succeed(retObject, envObject, recordsOf(records));
}

void RequestRouter::vxrclient_log_clear(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    if (engine->logClear(*envObject))
        succeed(retObject, envObject);
}

void RequestRouter::vxrclient_task_alload(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    QJsonArray records;
    if (engine->taskAlload(*envObject, records))
        succeed(retObject, envObject, recordsOf(records));
}

void RequestRouter::vxrclient_task_cancel(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    VxrClient* engine = open(retObject, cmdObject, envObject);
    if (!engine)
        return;
    const int index = numberParam(paramsOf(cmdObject), "index");
    if (index < 1) {
        refuseMissing(envObject, "index");
        return;
    }
    if (engine->taskCancel(*envObject, index))
        succeed(retObject, envObject);
}
