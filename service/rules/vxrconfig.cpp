#include "vxrconfig.h"

#include "hx2utils.h"
#include "phpaths.h"

namespace VxrConfigRules {

namespace {
const char* const kDefaultUploadLog = "/var/log/vxrclient.upload.log";
}

bool parse(const QJsonObject& file, VxrConfig* config, QString* why)
{
    VxrConfig c;
    const QString vg = toString(file.value("vg")).trimmed();
    const QString lv = toString(file.value("lv")).trimmed();
    if (!vg.isEmpty() && !lv.isEmpty()) {
        c.vg = vg;
        c.lv = lv;
    }
    c.datasetRoot = c.vg + QLatin1Char('/') + c.lv;
    c.snapPrefix = c.datasetRoot + QLatin1String("@vxr_");
    c.serverUrl = toString(file.value("vxrserverurl"));
    c.caFile = toString(file.value("vxrservercafile")).trimmed();
    const QString log = toString(file.value("uploadlog")).trimmed();
    c.uploadLogPath = log.isEmpty() ? PHPaths::resolve(QString::fromLatin1(kDefaultUploadLog)) : log;
    // A policy that cannot be read is never guessed at: it would decide
    // which snapshots are destroyed.
    if (!VxrRetention::parsePolicy(file.value("retention"), &c.retention, why))
        return false;
    // Nor is a limit: the operator set it for a link that needs it.
    if (!VxrLink::parse(file.value("compress"), file.value("bwlimit"), &c.link, why))
        return false;
    *config = c;
    return true;
}

} // namespace VxrConfigRules
