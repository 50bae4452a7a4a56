#include "requestrouter.h"

#include "appdata.h"

RequestRouter::RequestRouter(QObject* parent) : HX2TodoRouter(parent) {}

bool RequestRouter::loadConfigure(HX2Journals& journal, const QJsonObject& config)
{
    AppData* app = IAppData();
    if (!app)
        return false;
    return app->engine.loadConfigure(journal, config);
}
