#ifndef VXRCONFIG_H
#define VXRCONFIG_H

#include "vxrlink.h"
#include "vxrretention.h"

#include <QJsonObject>
#include <QString>

// What the engine takes from the service's configuration file. Set before
// any of the engine's threads runs, and only read afterwards.
struct VxrConfig
{
    // The pool and the dataset under it: "vg" and "lv" when both are
    // given, else "vxr" and "data".
    QString vg = QStringLiteral("vxr");
    QString lv = QStringLiteral("data");
    // vg "/" lv, whose space is reported and which the on-demand pass sends.
    QString datasetRoot = QStringLiteral("vxr/data");
    // datasetRoot "@vxr_": the engine's snapshots of it.
    QString snapPrefix = QStringLiteral("vxr/data@vxr_");
    // The management server of the status reports; empty for none.
    QString serverUrl;
    // A PEM file of certificate authorities that an https management
    // server must be verified against; empty: its certificate is not
    // checked.
    QString caFile;
    QString uploadLogPath;
    VxrRetention::Policy retention;
    // "compress" and "bwlimit": how the transfers' streams travel.
    VxrLink::Options link;
};

namespace VxrConfigRules {

// Reads "vg", "lv", "vxrserverurl", "uploadlog" (blank: the default log,
// re-rooted as every production path), "vxrservercafile", "retention",
// "compress" and "bwlimit". False, *config untouched and the reason in
// *why, when "retention", "compress" or "bwlimit" is malformed: the
// service must not start then.
bool parse(const QJsonObject& file, VxrConfig* config, QString* why);

} // namespace VxrConfigRules

#endif
