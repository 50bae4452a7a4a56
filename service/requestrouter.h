#ifndef REQUESTROUTER_H
#define REQUESTROUTER_H

#include "hx2todorouter.h"

// The service's command router: its slots are the service's RPC commands,
// beside the inherited "help_interfaces".
class RequestRouter : public HX2TodoRouter
{
    Q_OBJECT
public:
    explicit RequestRouter(QObject* parent = nullptr);

    // Hands the configuration to the application's engine and returns its
    // answer; false when there is no application object.
    bool loadConfigure(HX2Journals& journal, const QJsonObject& config) override;
};

#endif
