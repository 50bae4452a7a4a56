#ifndef VXRLINKCHECK_H
#define VXRLINKCHECK_H

#include "hx2mutex.h"
#include "vxrpipeline.h"
#include "vxrssh.h"

#include <QHash>
#include <QString>

#include <functional>

struct VxrConfig;
class VxrPrograms;
class VxrSeams;

// What one transfer's stream uses on its way to or from the server.
struct VxrStreamLink
{
    VxrPipeline::Codec codec = VxrPipeline::Codec::None;
    // The bandwidth limit's rate now, bytes a second (0: no limit); empty
    // when no window limits the rate.
    std::function<qint64()> rate;

    // The options of a pipeline started now.
    VxrPipeline::StreamOptions now() const;
};

// How the transfers' streams travel to each server: compressed as the
// configuration says where both ends have the compressor, and limited by
// the configured windows on the engine's clock. Any thread.
class VxrLinkCheck
{
public:
    VxrLinkCheck(const VxrConfig& config, VxrSeams& seams);

    // The link of a transfer with the account's server (ssh on the
    // account's port, or on ssh's default one without withPort). With a
    // codec configured the stream is compressed when the appliance finds
    // the program on its search path and the server can run it; the server
    // is asked once per host, port and user, and its answer is kept for
    // the life of the process (a check that got no answer, as when ssh
    // failed, is made again next time). Otherwise the stream goes
    // uncompressed and one trace line says why. Blocks for the server's
    // check, holding no lock meanwhile.
    VxrStreamLink linkTo(VxrPrograms& run, const VxrSsh::Account& account, bool withPort);

private:
    // Why the stream cannot be compressed with this server, or empty.
    QString obstacle(VxrPrograms& run, const VxrSsh::Account& account, bool withPort);

    const VxrConfig& m_config;
    VxrSeams& m_seams;
    HX2Mutex m_mutex;
    // Whether each server ("user@host:port") can run the codec.
    QHash<QString, bool> m_servers HX2_GUARDED_BY(m_mutex);
};

#endif
