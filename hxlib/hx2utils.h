#ifndef HX2UTILS_H
#define HX2UTILS_H

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <mutex>

// ---- Loosely typed JSON readers. A value of the wrong kind reads as 0,
// false or empty, never as an error.

// Double: truncated; Bool: 1/0; String: base 10, else base 16 (optional
// "0x"), else 0; any other kind: 0 (or def).
int toInt(const QJsonValue& v);
int toInt(const QJsonValue& v, int def);
qint64 toInt64(const QJsonValue& v);
// Double: integer text when integral, else fixed with 6 decimals; String: as
// is; else empty.
QString toString(const QJsonValue& v);
QString toString(const QJsonValue& v, const QString& def);
// "1".."n", "true", "yes", "ok", "y", "t" (any case) are true.
bool toBool(const QString& s);
bool toBool(const QJsonValue& v);
bool isTrue(const QString& s);
bool isTrue(const QJsonValue& v);
// Each array element through toString; skipEmpty drops elements whose
// trimmed text is empty (kept ones are not trimmed).
QStringList toStrings(const QJsonValue& v, bool skipEmpty = false);

// ---- Conversions.

double toDouble(const QJsonValue& v);
// The format is chosen by the text's length; local time; invalid when the
// text does not match.
QDateTime toDateTime(const QString& s);
QDateTime toDateTime(const QJsonValue& v);
QDateTime toDateTime(double serialDays);
QDate toDate(const QJsonValue& v);

bool toJsonObject(QJsonObject& out, const QByteArray& text);
bool toJsonObject(QJsonObject& out, const QString& text);
QJsonObject toJsonObject(const QByteArray& text);
QJsonObject toJsonObject(const QString& text);
QJsonArray toJsonArray(const QByteArray& text);
QJsonArray toJsonArray(const QString& text);
// Shallow merge: b's keys replace a's.
QJsonObject jsonMerge(const QJsonObject& a, const QJsonObject& b);

// Size text ("1.5G", "10kib", "2 GB", "512") to bytes; unreadable text is 0.
qint64 asCapacity(const QString& s);
qint64 toSizeMB(const QString& s);
// Bytes to "512 B", "1.5 KB", "10 GB".
QString capacitySize(qint64 bytes);
QString adjustCapacity(const QString& s);
QString currentThreadId();

// ---- Console trace. None of these lock; hold PRINTMUTEX() around a line
// printed in several calls.

std::mutex& PRINTMUTEX();
void PRINT(const char* text);
void PRINT(const QVariant& v);
void PRINTLN(const QVariant& v);
void PRINTLN(const QList<QJsonObject>& list);
void PRINTLN(const QList<QString>& list);
void PRINTPOS(const char* file, int line, const char* func);
void PRINTNAME(const QVariant& name);
void TRACELN(const QVariant& v);
void HX2StatePrintln(int code, const QString& text);

// One labelled-value trace line:
// ">>-->HH:mm:ss.zzz file#line => func: expr = value".
// Variadic so that an expression holding commas (a template argument list,
// a call with several arguments) is taken whole.
#define PRINTVAR(...)                                                   \
    do {                                                                \
        std::lock_guard<std::mutex> printLock_(PRINTMUTEX());           \
        PRINTPOS(__FILE__, __LINE__, __func__);                         \
        PRINTNAME(QVariant(QStringLiteral(#__VA_ARGS__)));              \
        PRINTLN(QVariant::fromValue(__VA_ARGS__));                      \
    } while (0)

#endif
