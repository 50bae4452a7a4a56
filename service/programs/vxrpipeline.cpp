#include "vxrpipeline.h"

#include "hx2utils.h"
#include "vxrzfs.h"

#include <algorithm>

namespace VxrPipeline {

namespace {

// sshpass and ssh running remoteCommand on the server, every argument
// quoted for the local shell.
QString sshStage(const VxrSsh::Account& account, const QString& remoteCommand, bool withPort)
{
    return VxrPrograms::shellText(
        VxrCommand{QStringLiteral("sshpass"), VxrSsh::sshpassArgs(account, remoteCommand, withPort), {}});
}

// The compressor is chosen for throughput: at its fastest levels it keeps
// up with a link far faster than the uplinks it is meant for, so a fast
// link is not slowed, and text and empty blocks still shrink several times.
QString compressor(Codec codec)
{
    return codec == Codec::Zstd ? QStringLiteral("zstd -1 -T1 -q -c") : QStringLiteral("lz4 -1 -q -c");
}

QString decompressor(Codec codec)
{
    return codecName(codec) + QStringLiteral(" -d -q -c");
}

// The server's side of a compressed stream. Its shell makes a pipeline
// fail with any stage where it knows pipefail (and stays sound where it
// does not: zfs recv then still refuses a stream cut short).
QString serverPipeline(const QString& stages)
{
    return QStringLiteral("(set -o pipefail) 2>/dev/null && set -o pipefail; ") + stages;
}

// The meter stage, between " | " and " | ". A limited one first tells its
// process id and starting rate on standard error (the pseudo-terminal the
// engine reads) and then becomes pv, so that id is pv's.
QString meter(const QString& pvArgs, const StreamOptions& stream)
{
    if (!stream.limited)
        return QStringLiteral("pv ") + pvArgs;
    const qint64 rate = std::max<qint64>(0, stream.rate);
    QString text = QStringLiteral("{ printf 'vxr-meter %s %s\\n' \"$BASHPID\" ") + QString::number(rate)
        + QStringLiteral(" >&2; exec pv ") + pvArgs;
    if (rate > 0)
        text += QStringLiteral(" -L ") + QString::number(rate);
    return text + QStringLiteral("; }");
}

// pv measuring the stream against totalBytes, as " | STAGE | ".
QString progressMeter(qint64 totalBytes, const StreamOptions& stream)
{
    return QStringLiteral(" | ")
        + meter(QStringLiteral("-r -p -s ") + QString::number(std::max<qint64>(0, totalBytes)), stream)
        + QStringLiteral(" | ");
}

// The sending side's stages after zfs send: the meter, then the
// compressor.
QString sendStages(const QString& meterStage, const StreamOptions& stream)
{
    QString text = meterStage;
    if (stream.codec != Codec::None)
        text += compressor(stream.codec) + QStringLiteral(" | ");
    return text;
}

// The server's receive of an upload, behind the decompressor.
QString uploadReceiver(const QString& dataset, const StreamOptions& stream,
                       VxrZfs::ServerHistory history = VxrZfs::ServerHistory::Mirror)
{
    const QString receive = VxrZfs::uploadReceive(dataset, history);
    if (stream.codec == Codec::None)
        return receive;
    return serverPipeline(decompressor(stream.codec) + QStringLiteral(" | ") + receive);
}

// The on-demand pass's stages between zfs send and ssh: a quiet meter only
// with a limit.
QString onDemandStages(const StreamOptions& stream)
{
    const QString meterStage =
        stream.limited ? QStringLiteral(" | ") + meter(QStringLiteral("-q"), stream) + QStringLiteral(" | ")
                       : QStringLiteral(" | ");
    return sendStages(meterStage, stream);
}

// The server's send of a restore, with its compressor.
QString restoreSender(const QString& send, const StreamOptions& stream)
{
    if (stream.codec == Codec::None)
        return send;
    return serverPipeline(send + QStringLiteral(" | ") + compressor(stream.codec));
}

// The appliance's stages after ssh in a restore: the decompressor, then
// the meter.
QString restoreStages(qint64 totalBytes, const StreamOptions& stream)
{
    if (stream.codec == Codec::None)
        return progressMeter(totalBytes, stream);
    return QStringLiteral(" | ") + decompressor(stream.codec) + progressMeter(totalBytes, stream);
}

// The stages joined into one bash pipeline whose status is that of the
// first failing stage, followed by the done marker.
QString pipeline(const QString& stages)
{
    return QStringLiteral("set -o pipefail; ") + stages + QStringLiteral(" && echo ") + QLatin1String(kDoneMarker);
}

const char* const kMeterTag = "vxr-meter ";
const char* const kCodecPresent = "vxr-codec-present";
const char* const kCodecAbsent = "vxr-codec-absent";

} // namespace

bool streamCompleted(const QByteArray& output)
{
    return output.contains(kDoneMarker);
}

QString codecName(Codec codec)
{
    switch (codec) {
    case Codec::Zstd:
        return QStringLiteral("zstd");
    case Codec::Lz4:
        return QStringLiteral("lz4");
    case Codec::None:
        break;
    }
    return QStringLiteral("none");
}

QString uploadFull(const VxrSsh::Account& account, const QString& first, const QString& dataset, qint64 totalBytes,
                   const StreamOptions& stream)
{
    return pipeline(VxrZfs::sendFull(first) + sendStages(progressMeter(totalBytes, stream), stream)
                    + sshStage(account, uploadReceiver(dataset, stream), true));
}

QString uploadIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                          const QString& dataset, qint64 totalBytes, const StreamOptions& stream,
                          VxrZfs::ServerHistory history)
{
    return pipeline(VxrZfs::sendIncremental(first, last) + sendStages(progressMeter(totalBytes, stream), stream)
                    + sshStage(account, uploadReceiver(dataset, stream, history), true));
}

QString onDemandFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                     const StreamOptions& stream)
{
    return pipeline(VxrZfs::sendFull(first) + onDemandStages(stream)
                    + sshStage(account, uploadReceiver(dataset, stream), false));
}

QString onDemandIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                            const QString& dataset, const StreamOptions& stream, VxrZfs::ServerHistory history)
{
    return pipeline(VxrZfs::sendIncremental(first, last) + onDemandStages(stream)
                    + sshStage(account, uploadReceiver(dataset, stream, history), false));
}

QString restoreFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                    qint64 totalBytes, const QString& mark, const StreamOptions& stream)
{
    return pipeline(sshStage(account, restoreSender(VxrZfs::restoreSendFull(first), stream), true)
                    + restoreStages(totalBytes, stream) + VxrZfs::restoreReceive(dataset, false, mark));
}

QString restoreIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                           const QString& dataset, qint64 totalBytes, const StreamOptions& stream)
{
    return pipeline(sshStage(account, restoreSender(VxrZfs::restoreSendIncremental(first, last), stream), true)
                    + restoreStages(totalBytes, stream) + VxrZfs::restoreReceive(dataset, true));
}

VxrZfs::RemoteQuery codecProbe(Codec codec)
{
    VxrZfs::RemoteQuery q;
    q.text = QStringLiteral("if ") + codecName(codec) + QStringLiteral(" -V >/dev/null 2>&1; then echo ")
        + QLatin1String(kCodecPresent) + QStringLiteral("; else echo ") + QLatin1String(kCodecAbsent)
        + QStringLiteral("; fi");
    q.options.startMs = 10000;
    q.options.finishMs = 60000;
    return q;
}

CodecProbe readCodecProbe(const HX2RunResult& result)
{
    if (!result.ok)
        return CodecProbe::Unknown;
    const QStringList lines = result.outLines();
    if (lines.contains(QLatin1String(kCodecPresent)))
        return CodecProbe::Present;
    return lines.contains(QLatin1String(kCodecAbsent)) ? CodecProbe::Absent : CodecProbe::Unknown;
}

VxrCommand meterRate(qint64 pid, qint64 rate)
{
    VxrCommand c;
    c.program = QStringLiteral("pv");
    c.args = QStringList{QStringLiteral("-R"), QString::number(pid), QStringLiteral("-L"),
                         QString::number(rate > 0 ? rate : kLiftedRate)};
    c.options.startMs = 10000;
    c.options.finishMs = 10000;
    return c;
}

bool meterAnnounced(const QByteArray& output, qint64* pid, qint64* rate)
{
    const int at = output.indexOf(kMeterTag);
    if (at < 0 || (at > 0 && output.at(at - 1) != '\n' && output.at(at - 1) != '\r'))
        return false;
    const int from = at + int(qstrlen(kMeterTag));
    int end = from;
    while (end < output.size() && output.at(end) != '\r' && output.at(end) != '\n')
        ++end;
    if (end == output.size())
        return false;
    const QList<QByteArray> fields = output.mid(from, end - from).split(' ');
    bool pidOk = false;
    bool rateOk = false;
    const qint64 p = fields.value(0).toLongLong(&pidOk);
    const qint64 r = fields.value(1).toLongLong(&rateOk);
    if (fields.size() != 2 || !pidOk || !rateOk || p <= 0 || r < 0)
        return false;
    *pid = p;
    *rate = r;
    return true;
}

VxrCommand transfer(const VxrSsh::Account& account, const QString& text, int startMs)
{
    VxrCommand c;
    c.program = QStringLiteral("script");
    c.args = QStringList{QStringLiteral("-e"), QStringLiteral("-q"), QStringLiteral("-c"), text,
                         QStringLiteral("/dev/null")};
    c.options.startMs = startMs;
    c.options.finishMs = -1;
    c.options.env = VxrSsh::sshpassEnv(account);
    c.options.env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    return c;
}

int mapRate(int percent, int base)
{
    percent = std::clamp(percent, 0, 100);
    base = std::clamp(base, 0, 100);
    return std::clamp(percent * (100 - base) / 100 + base, 0, 100);
}

void ProgressParser::append(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    QByteArray fresh = bytes;
    fresh.replace('\t', ' ');
    m_tail += fresh;

    // Only the last non-empty line counts: drop what precedes it, and fold
    // a run of trailing line feeds into one.
    int end = m_tail.size();
    while (end > 0 && m_tail.at(end - 1) == '\n')
        --end;
    if (end == 0) {
        m_tail.clear();
        return;
    }
    if (end + 1 < m_tail.size())
        m_tail.truncate(end + 1);
    const int start = m_tail.lastIndexOf('\n', end - 1) + 1;
    int drop = start;
    if (end - start > kTail) {
        drop = end - kTail;
        // Never start inside a UTF-8 sequence.
        while (drop < end && (static_cast<unsigned char>(m_tail.at(drop)) & 0xC0) == 0x80)
            ++drop;
    }
    if (drop > 0)
        m_tail.remove(0, drop);
}

bool ProgressParser::read(QString* speed, int* percent) const
{
    int end = m_tail.size();
    while (end > 0 && m_tail.at(end - 1) == '\n')
        --end;
    if (end == 0)
        return false;
    const int start = m_tail.lastIndexOf('\n', end - 1) + 1;
    const QString line = QString::fromUtf8(m_tail.constData() + start, end - start).trimmed();
    if (!line.endsWith(QLatin1Char('%')))
        return false;

    // The rate field closes with "/s]"; its "[" lies within the ten
    // characters before that.
    const int p = line.lastIndexOf(QLatin1String("/s]"));
    if (p > 0) {
        const int from = std::max(0, p - 10);
        const QString window = line.mid(from, p + 2 - from);
        const int open = window.lastIndexOf(QLatin1Char('['));
        if (open > 0 && speed)
            *speed = window.mid(open + 1).trimmed();
    }

    QString number = line.right(4).trimmed();
    number.remove(QLatin1Char('%'));
    bool ok = false;
    const int value = number.toInt(&ok, 10);
    if (percent)
        *percent = ok ? std::clamp(value, 0, 100) : 0;
    return true;
}

} // namespace VxrPipeline
