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

QString meter(qint64 totalBytes)
{
    return QStringLiteral(" | pv -r -p -s ") + QString::number(std::max<qint64>(0, totalBytes)) + QStringLiteral(" | ");
}

// The stages joined into one bash pipeline whose status is that of the
// first failing stage, followed by the done marker.
QString pipeline(const QString& stages)
{
    return QStringLiteral("set -o pipefail; ") + stages + QStringLiteral(" && echo ") + QLatin1String(kDoneMarker);
}

} // namespace

bool streamCompleted(const QByteArray& output)
{
    return output.contains(kDoneMarker);
}

QString uploadFull(const VxrSsh::Account& account, const QString& first, const QString& dataset, qint64 totalBytes)
{
    return pipeline(VxrZfs::sendFull(first) + meter(totalBytes)
                    + sshStage(account, VxrZfs::uploadReceive(dataset), true));
}

QString uploadIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                          const QString& dataset, qint64 totalBytes)
{
    return pipeline(VxrZfs::sendIncremental(first, last) + meter(totalBytes)
                    + sshStage(account, VxrZfs::uploadReceive(dataset), true));
}

QString onDemandFull(const VxrSsh::Account& account, const QString& first, const QString& dataset)
{
    return pipeline(VxrZfs::sendFull(first) + QStringLiteral(" | ")
                    + sshStage(account, VxrZfs::uploadReceive(dataset), false));
}

QString onDemandIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                            const QString& dataset)
{
    return pipeline(VxrZfs::sendIncremental(first, last) + QStringLiteral(" | ")
                    + sshStage(account, VxrZfs::uploadReceive(dataset), false));
}

QString restoreFull(const VxrSsh::Account& account, const QString& first, const QString& dataset,
                    qint64 totalBytes, const QString& mark)
{
    return pipeline(sshStage(account, VxrZfs::restoreSendFull(first), true) + meter(totalBytes)
                    + VxrZfs::restoreReceive(dataset, false, mark));
}

QString restoreIncremental(const VxrSsh::Account& account, const QString& first, const QString& last,
                           const QString& dataset, qint64 totalBytes)
{
    return pipeline(sshStage(account, VxrZfs::restoreSendIncremental(first, last), true) + meter(totalBytes)
                    + VxrZfs::restoreReceive(dataset, true));
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
