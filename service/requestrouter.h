#ifndef REQUESTROUTER_H
#define REQUESTROUTER_H

#include "hx2todorouter.h"

class VxrClient;

// The service's command router: its slots are the service's RPC commands,
// beside the inherited "help_interfaces". Each command reads its
// parameters from the request's "params" object, refuses missing ones with
// 9995 "缺少参数: " and their names before the engine is called, then
// calls one operation of the application's engine. On success the reply
// carries the command's "results" (when it has any) and "err" 0; when the
// engine refuses, the code and message it left in the journal.
//
// Parameters are read leniently, as management layers have always sent
// them: a text parameter from a JSON string (trimmed) or a number's text,
// a number from a JSON number (truncated) or from decimal or "0x" text.
// Any other value reads as empty or 0 and so meets the missing-parameter
// check instead of reaching the engine.
//
// A request holding "help" is answered with an empty body and leaves the
// journal as it is. Handlers keep no state and run on the connection
// threads, concurrently.
class RequestRouter : public HX2TodoRouter
{
    Q_OBJECT
public:
    explicit RequestRouter(QObject* parent = nullptr);

    // Hands the configuration to the application's engine and returns its
    // answer; false when there is no application object.
    bool loadConfigure(HX2Journals& journal, const QJsonObject& config) override;

private slots:
    // "results": the settings view; to a caller that is neither root nor
    // the service's own user, without the server's password.
    void vxrclient_settingload(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // Saves "params" whole (an empty object when absent) as the settings.
    void vxrclient_settingsave(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // "results": pool -> dataset -> mount point.
    void vxrclient_zfstorage(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // Queues the restore of every dataset the account holds on the server:
    // "server", "userid" and "passwd" are required, "port" 0 when absent.
    // With "dmpath", that server dataset only, optionally up to "snapshot"
    // and into "target" (strings; any other kind, or a name that cannot be
    // taken, is refused with 9889 "参数无效: " and the names).
    void vxrclient_restore(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // "results": {"records"} of the local snapshots of "dmpath".
    void vxrclient_snapshot(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // The same command as vxrclient_snapshot under a second name.
    void vxrclient_local_loadby(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // "results": {"records"} of every snapshot the account sees on the server.
    void vxrclient_remote_loadby(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // "results": {"records"} of the operation log, newest first.
    void vxrclient_log_alload(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    void vxrclient_log_clear(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // "results": {"records"} of the task queue, the running task first.
    void vxrclient_task_alload(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
    // Cancels the task whose "index" (1 or more) is given.
    void vxrclient_task_cancel(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);

private:
    // The first step of every command: a help request is answered here
    // (null); otherwise the journal's stopwatch restarts and the engine is
    // returned (null when there is no application object, leaving the
    // journal's code).
    static VxrClient* open(QJsonObject* retObject, const QJsonObject& cmdObject, HX2Cabinet* envObject);
};

#endif
