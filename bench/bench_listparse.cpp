// Cost of the snapshot-listing parser against a plain split of the same
// text, for a `zfs list -H -o name,used,refer` output of 10,000 and
// 100,000 lines. The baseline splits the text into lines and each line into
// its columns, which is the least any parser of this output must do; the
// parser also converts the sizes, reads the time stamp and builds records.
//
// Prints, per size: ns per line for both, the parser's ratio to the
// baseline (goal: within 3x, and about the same per-line time at both
// sizes), and, to show where the time goes, the cost of building the same
// records from ready values.
#include "vxrparse.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// Sizes as zfs prints them: whole bytes with "B", else up to three
// significant digits and a unit letter.
QString zfsSize(int i)
{
    switch (i % 5) {
    case 0: return QStringLiteral("%1B").arg(i % 1000);
    case 1: return QStringLiteral("%1K").arg(1 + i % 999);
    case 2: return QStringLiteral("%1.%2M").arg(1 + i % 99).arg(i % 10);
    case 3: return QStringLiteral("%1.%2G").arg(i % 10).arg(i % 100, 2, 10, QLatin1Char('0'));
    default: return QStringLiteral("%1.%2T").arg(1 + i % 9).arg(i % 10);
    }
}

QString listing(int lines)
{
    QString text;
    text.reserve(lines * 56);
    for (int i = 0; i < lines; ++i) {
        const int day = 1 + i % 28;
        text += QStringLiteral("pool%1/data set%2@vxr_202403%3%4%5%6\t%7\t%8\n")
                    .arg(i % 3)
                    .arg(i % 97)
                    .arg(day, 2, 10, QLatin1Char('0'))
                    .arg(i % 24, 2, 10, QLatin1Char('0'))
                    .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                    .arg(i % 60, 2, 10, QLatin1Char('0'))
                    .arg(zfsSize(i))
                    .arg(zfsSize(i * 7 + 3));
    }
    return text;
}

volatile qint64 g_sink = 0;

qint64 plainSplit(const QString& text)
{
    qint64 fields = 0;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines)
        fields += line.split(QLatin1Char('\t'), Qt::SkipEmptyParts).size();
    return fields;
}

qint64 parse(const QString& text)
{
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QJsonArray records;
    VxrParse::appendSnapshotRecords(lines, true, records);
    return records.size();
}

// The same number of records built from ready values: what Qt's JSON
// alone costs for the records the parser must return.
qint64 recordsOnly(const QString& text)
{
    const int n = text.count(QLatin1Char('\n'));
    static const QString kName = QStringLiteral("name");
    static const QString kUsed = QStringLiteral("used");
    static const QString kRefer = QStringLiteral("refer");
    static const QString kTime = QStringLiteral("time");
    const QJsonObject proto{{kName, QString()}, {kUsed, 0}, {kRefer, 0}, {kTime, QString()}};
    const QString name = QStringLiteral("pool1/data set42@vxr_20240312120000");
    const QString time = QStringLiteral("2024-03-12 12:00:00");
    QJsonArray records;
    for (int i = 0; i < n; ++i) {
        QJsonObject record = proto;
        record[kName] = name;
        record[kUsed] = qint64(i);
        record[kRefer] = qint64(i);
        record[kTime] = time;
        records.append(record);
    }
    return records.size();
}

// Best of several rounds, in nanoseconds.
template <typename F>
qint64 best(F f, const QString& text, int rounds)
{
    qint64 bestNs = std::numeric_limits<qint64>::max();
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        g_sink = g_sink + f(text);
        bestNs = std::min(bestNs, t.nsecsElapsed());
    }
    return bestNs;
}

} // namespace

int main()
{
    std::printf("%-8s %14s %14s %8s %14s\n", "lines", "split ns/line", "parse ns/line", "ratio",
                "json ns/line");
    for (int n : {10000, 100000}) {
        const QString text = listing(n);
        if (parse(text) != n) {
            std::fprintf(stderr, "parser dropped lines of the generated listing\n");
            return 1;
        }
        const int rounds = n >= 100000 ? 7 : 30;
        // Rounds alternate so that both see the same load on the machine.
        qint64 split = std::numeric_limits<qint64>::max();
        qint64 parsed = std::numeric_limits<qint64>::max();
        qint64 json = std::numeric_limits<qint64>::max();
        for (int r = 0; r < rounds; ++r) {
            split = std::min(split, best(plainSplit, text, 1));
            parsed = std::min(parsed, best(parse, text, 1));
            json = std::min(json, best(recordsOnly, text, 1));
        }
        std::printf("%-8d %14.1f %14.1f %8.2f %14.1f\n", n, double(split) / n, double(parsed) / n,
                    double(parsed) / double(split), double(json) / n);
    }
    return 0;
}
