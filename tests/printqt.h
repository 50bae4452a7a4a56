#ifndef PRINTQT_H
#define PRINTQT_H

// Lets GoogleTest show Qt values readably in failure messages.

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QByteArray& b, std::ostream* os) { *os << '"' << b.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os)
{
    *os << '[';
    for (int i = 0; i < l.size(); ++i)
        *os << (i ? ", \"" : "\"") << l.at(i).toStdString() << '"';
    *os << ']';
}
inline void PrintTo(const QJsonObject& o, std::ostream* os)
{
    *os << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}
inline void PrintTo(const QJsonArray& a, std::ostream* os)
{
    *os << QJsonDocument(a).toJson(QJsonDocument::Compact).toStdString();
}
inline void PrintTo(const QDateTime& t, std::ostream* os)
{
    *os << (t.isValid() ? t.toString("yyyy-MM-dd HH:mm:ss.zzz t").toStdString() : std::string("(invalid)"));
}

#endif
