#include "vxrpipeline.h"

#include <algorithm>

namespace VxrPipeline {

using VxrCommands::shellQuote;

namespace {

// The send, pv (when totalBytes is not negative) and sshpass/ssh stages
// joined into one bash pipeline whose status is that of the first failing
// stage, followed by the done marker.
QString pipeline(const VxrCommands::Account& account, const QString& send, const QString& dataset,
                 qint64 totalBytes, bool withPort)
{
    QString text = QStringLiteral("set -o pipefail; ");
    text += send;
    if (totalBytes >= 0) {
        text += QStringLiteral(" | pv -r -p -s ");
        text += QString::number(totalBytes);
    }
    text += QStringLiteral(" | sshpass");
    const QStringList args = VxrCommands::sshpassArgs(account, receiveCommand(dataset), withPort);
    for (const QString& a : args) {
        text += QLatin1Char(' ');
        text += shellQuote(a);
    }
    text += QStringLiteral(" && echo ");
    text += QLatin1String(kDoneMarker);
    return text;
}

QString fullSend(const QString& first)
{
    return QStringLiteral("zfs send ") + shellQuote(first);
}

QString incrementalSend(const QString& first, const QString& last)
{
    return QStringLiteral("zfs send -RI ") + shellQuote(first) + QLatin1Char(' ') + shellQuote(last);
}

} // namespace

bool streamCompleted(const QByteArray& output)
{
    return output.contains(kDoneMarker);
}

QStringList localListArgs(const QString& dataset)
{
    return {QStringLiteral("list"), QStringLiteral("-t"), QStringLiteral("snapshot"),
            QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name"), dataset};
}

QString remoteListCommand(const QString& dataset)
{
    return QStringLiteral("/usr/sbin/zfs list -t snapshot -H -o name ") + shellQuote(dataset);
}

QStringList fullEstimateArgs(const QString& first)
{
    return {QStringLiteral("send"), QStringLiteral("-RPnv"), first};
}

QStringList incrementalEstimateArgs(const QString& first, const QString& last)
{
    return {QStringLiteral("send"), QStringLiteral("-RPnv"), last, QStringLiteral("-i"), first};
}

QString receiveCommand(const QString& dataset)
{
    return QStringLiteral("/usr/sbin/zfs recv -o atime=off -o readonly=on -Fu ") + shellQuote(dataset);
}

QString fullPipeline(const VxrCommands::Account& account, const QString& first,
                     const QString& dataset, qint64 totalBytes)
{
    return pipeline(account, fullSend(first), dataset, std::max<qint64>(0, totalBytes), true);
}

QString incrementalPipeline(const VxrCommands::Account& account, const QString& first,
                            const QString& last, const QString& dataset, qint64 totalBytes)
{
    return pipeline(account, incrementalSend(first, last), dataset, std::max<qint64>(0, totalBytes), true);
}

QString onDemandFullPipeline(const VxrCommands::Account& account, const QString& first,
                             const QString& dataset)
{
    return pipeline(account, fullSend(first), dataset, -1, false);
}

QString onDemandIncrementalPipeline(const VxrCommands::Account& account, const QString& first,
                                    const QString& last, const QString& dataset)
{
    return pipeline(account, incrementalSend(first, last), dataset, -1, false);
}

QStringList onDemandSpan(const QStringList& local, const QString& prefix, const QString& remoteNewest)
{
    QStringList span;
    for (int i = local.size() - 1; i >= 0; --i) {
        if (!local.at(i).startsWith(prefix))
            continue;
        span.prepend(local.at(i));
        if (!remoteNewest.isEmpty() && local.at(i) == remoteNewest)
            return span;
    }
    return span;
}

QString newestWithPrefix(const QStringList& remote, const QString& prefix)
{
    for (int i = remote.size() - 1; i >= 0; --i) {
        if (remote.at(i).startsWith(prefix))
            return remote.at(i);
    }
    return QString();
}

QByteArray uploadLogLine(const QDateTime& time, int code)
{
    QByteArray line = time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8() + ' ';
    if (code == 0)
        line += " success";
    else if (code < 0)
        line += " failed(" + QByteArray::number(code) + ")";
    return line + '\n';
}

QStringList scriptArgs(const QString& text)
{
    return {QStringLiteral("-e"), QStringLiteral("-q"), QStringLiteral("-c"), text,
            QStringLiteral("/dev/null")};
}

QHash<QString, QString> scriptEnv(const VxrCommands::Account& account)
{
    QHash<QString, QString> env = VxrCommands::sshpassEnv(account);
    env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    return env;
}

QStringList incrementalSpan(const QStringList& local, const QStringList& remote)
{
    if (remote.isEmpty())
        return local;
    const int at = local.indexOf(remote.last());
    return at < 0 ? local : QStringList(local.mid(at));
}

qint64 parseEstimateSize(const QByteArray& output)
{
    QString text = QString::fromUtf8(output);
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() >= 2 && fields.at(0) == QLatin1String("size")) {
            bool ok = false;
            const qint64 size = fields.at(1).toLongLong(&ok, 10);
            return ok ? size : 0;
        }
    }
    return 0;
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
