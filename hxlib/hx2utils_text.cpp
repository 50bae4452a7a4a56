// Command output, separators, shell quoting, URL and INI parsing.
#include "hx2utils.h"

#include <QUrl>

QString toShellArgEscaped(const QString& s)
{
    QString out;
    out.reserve(s.size() + 2);
    out += QLatin1Char('\'');
    for (const QChar c : s) {
        if (c == QLatin1Char('\''))
            out += QLatin1String("'\\''");
        else
            out += c;
    }
    out += QLatin1Char('\'');
    return out;
}

QByteArray beforeZero(const QByteArray& bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}

QStringList cmdOutputs(const QByteArray& output)
{
    QByteArray text = beforeZero(output);
    text.replace('\r', QByteArray());
    text.replace('\t', ' ');
    QStringList lines;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty())
            lines.append(QString::fromUtf8(line));
    }
    return lines;
}

namespace {

template <typename Text>
void dropLeading(Text& s, const Text& sep)
{
    int skip = 0;
    while (s.mid(skip, sep.size()) == sep)
        skip += sep.size();
    s.remove(0, skip);
}

template <typename Text>
Text takeFirst(Text& s, const Text& sep)
{
    if (sep.isEmpty()) {
        Text all = s;
        s.clear();
        return all;
    }
    dropLeading(s, sep);
    const int at = s.indexOf(sep);
    if (at < 0) {
        Text all = s;
        s.clear();
        return all;
    }
    const Text first = s.left(at);
    s.remove(0, at);
    dropLeading(s, sep);
    return first;
}

} // namespace

QString takeFirstString(QString& s, const QString& sep) { return takeFirst(s, sep); }
QByteArray takeFirstString(QByteArray& s, const QByteArray& sep) { return takeFirst(s, sep); }

QString firstString(const QString& s, const QString& sep)
{
    const QStringList parts = s.split(sep, Qt::SkipEmptyParts);
    return parts.isEmpty() ? QString() : parts.first();
}

QString lastString(const QString& s, const QString& sep)
{
    const QStringList parts = s.split(sep, Qt::SkipEmptyParts);
    return parts.isEmpty() ? QString() : parts.last();
}

QString HX2UrlProtocol(const QString& url)
{
    const int at = url.indexOf(QLatin1String("://"));
    return at > 0 ? url.left(at) : QString();
}

// A port is 1 to 5 decimal digits with a value up to 65535.
static bool parsePort(const QString& text, int& port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const int value = text.toInt();
    if (value > 65535)
        return false;
    port = value;
    return true;
}

bool HX2UrlSplit(const QString& url, QString& scheme, QString& host, int& port, QString& path,
                 QHash<QString, QString>* query)
{
    QString rest = url.trimmed();
    const int sep = rest.indexOf(QLatin1String("://"));
    if (sep < 0)
        return false;
    scheme = rest.left(sep).toLower();
    path.clear();

    QString queryText;
    const int mark = rest.indexOf(QLatin1Char('?'));
    if (mark > sep) {
        queryText = rest.mid(mark + 1);
        rest.truncate(mark);
    }
    rest = rest.mid(sep + 3);
    if (rest.startsWith(QLatin1String("::ffff:")))
        rest = rest.mid(7);

    const int colon = rest.indexOf(QLatin1Char(':'));
    const int slash = rest.indexOf(QLatin1Char('/'));
    if (colon >= 0 && (slash < 0 || colon < slash)) {
        host = colon == 0 ? QStringLiteral("localhost") : rest.left(colon);
        const QString portText = rest.mid(colon + 1, slash < 0 ? -1 : slash - colon - 1);
        // "host:" with nothing after it means the default port.
        if (!portText.isEmpty() && !parsePort(portText, port))
            return false;
        path = slash < 0 ? QString() : rest.mid(slash + 1);
    } else if (slash > 0) {
        host = rest.left(slash);
        path = rest.mid(slash + 1);
    } else if (slash == 0) {
        host = QStringLiteral("localhost");
        path = rest;
    } else {
        host = rest.isEmpty() ? QStringLiteral("localhost") : rest;
    }

    if (query) {
        query->clear();
        for (const QString& piece : queryText.split(QLatin1Char('&'))) {
            const int eq = piece.indexOf(QLatin1Char('='));
            if (eq > 0)
                query->insert(piece.left(eq), QUrl::fromPercentEncoding(piece.mid(eq + 1).toUtf8()));
        }
    }
    return !scheme.isEmpty();
}

QJsonObject iniToJson(const QStringList& lines)
{
    QJsonObject out;
    QString name;
    QJsonObject section;
    bool inSection = false;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int close = line.startsWith(QLatin1Char('[')) ? line.indexOf(QLatin1Char(']'), 1) : -1;
        if (close > 0) {
            if (inSection)
                out.insert(name, section);
            name = line.mid(1, close - 1).trimmed();
            section = QJsonObject();
            inSection = true;
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (inSection && eq >= 0)
            section.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    if (inSection)
        out.insert(name, section);
    return out;
}
