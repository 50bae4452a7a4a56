#include "vxrlinkcheck.h"

#include "hx2utils.h"
#include "vxrconfig.h"
#include "vxrseams.h"
#include "vxrzfs.h"

#include <QStandardPaths>

VxrPipeline::StreamOptions VxrStreamLink::now() const
{
    VxrPipeline::StreamOptions options;
    options.codec = codec;
    options.limited = bool(rate);
    options.rate = rate ? rate() : 0;
    return options;
}

VxrLinkCheck::VxrLinkCheck(const VxrConfig& config, VxrSeams& seams) : m_config(config), m_seams(seams) {}

QString VxrLinkCheck::obstacle(VxrPrograms& run, const VxrSsh::Account& account, bool withPort)
{
    const QString program = VxrPipeline::codecName(m_config.link.codec);
    if (QStandardPaths::findExecutable(program).isEmpty())
        return program + QStringLiteral(" is not installed on the appliance");
    const QString server = account.user + QLatin1Char('@') + account.host + QLatin1Char(':')
        + (withPort ? QString::number(VxrSsh::validPort(account.port)) : QStringLiteral("ssh"));
    {
        HX2MutexLock lock(m_mutex);
        const auto known = m_servers.constFind(server);
        if (known != m_servers.constEnd())
            return known.value() ? QString() : program + QStringLiteral(" cannot be run on ") + server;
    }
    const VxrPipeline::CodecProbe probe = VxrPipeline::readCodecProbe(
        run.run(VxrZfs::onServer(account, VxrPipeline::codecProbe(m_config.link.codec), withPort)));
    if (probe == VxrPipeline::CodecProbe::Unknown)
        return QStringLiteral("could not ask ") + server + QStringLiteral(" for ") + program;
    HX2MutexLock lock(m_mutex);
    m_servers.insert(server, probe == VxrPipeline::CodecProbe::Present);
    return probe == VxrPipeline::CodecProbe::Present ? QString()
                                                     : program + QStringLiteral(" cannot be run on ") + server;
}

VxrStreamLink VxrLinkCheck::linkTo(VxrPrograms& run, const VxrSsh::Account& account, bool withPort)
{
    VxrStreamLink link;
    if (m_config.link.limited()) {
        const QList<VxrLink::Window> windows = m_config.link.windows;
        VxrSeams& seams = m_seams;
        link.rate = [windows, &seams] { return VxrLink::rateAt(windows, seams.now().time()); };
    }
    if (m_config.link.codec == VxrPipeline::Codec::None)
        return link;
    const QString why = obstacle(run, account, withPort);
    if (why.isEmpty()) {
        link.codec = m_config.link.codec;
    } else {
        const QString uncompressed = why + QStringLiteral(": the stream goes uncompressed");
        PRINTVAR(uncompressed);
    }
    return link;
}
