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

// ---- Running external programs. Every run goes through HX2Runner. A
// command line is split into program and arguments as QProcess splits it
// (blanks separate, double quotes group; no shell: no expansion, no pipes).
// Limits are in milliseconds and cover starting and finishing together; a
// negative limit means no limit. Output is UTF-8 up to its first zero
// byte. Every function blocks its caller for up to its limit and is
// reentrant.

#include <QByteArray>
#include <QHash>

#include <memory>

class HX2Runner;

// What is left of limitMs once spentMs have passed: a negative limit (none)
// stays negative; a limit that is used up is 0, never negative.
int remainingLimit(int limitMs, qint64 spentMs);

// True when cmd started and finished within timeout and exited normally
// with code 0; out then holds its standard output. Otherwise false, and out
// holds what it wrote to standard error. A program still running at the
// limit is killed with its whole process tree.
bool cmdExec(const QString& cmd, QString& out, int timeout);
bool cmdExec(const QString& cmd, int timeout);
// The same in the service's environment amended by env: a list variable
// (name ending in "PATH") that is already set gets the value appended as a
// further ":"-separated entry; any other variable is set or replaced.
bool cmdExec(const QHash<QString, QString>& env, const QString& cmd, QString& out, int timeout);
bool cmdExec(const QHash<QString, QString>& env, const QString& cmd, int timeout);

// Runs the command lines in order, blank ones skipped, within timeout for
// the whole list, and stops at the first that fails: its standard error is
// appended to errors as a string. True only when every command succeeded;
// errors then gained nothing, else exactly one entry per failed command.
bool cmdsExec(const QStringList& cmds, QJsonArray& errors, int timeout);
bool cmdsExec(const QStringList& cmds, int timeout);

// Runs argv (program first, no shell). Its exit code, or 9998 when it did
// not start, did not finish within timeout or crashed; out receives
// standard output when the code is 0 and standard error otherwise.
int cmdExecute(QString& out, const QStringList& argv, int timeout);

// Runs script with "/bin/bash -c" through "/usr/bin/sudo"; as cmdExec.
bool execBash(const QString& script, QString& out, int timeout);
bool execBash(const QString& script, int timeout);

// timeout < 0: starts cmd on its own without waiting; 0 once started, 62
//   when it could not be started.
// timeout 0: runs cmd without limit, its output passed to the service's
//   own; its exit code, -2 when it could not start, -1 when it crashed;
//   *out, when given, is emptied.
// timeout > 0: as cmdExec; 62 when it did not start or finish in time, -1
//   when it crashed, else its exit code; *out, when given, receives
//   standard output on exit code 0 and standard error otherwise.
int exeCommand(const QString& cmd, int timeout, QByteArray* out = nullptr);

// Runs argv to completion (start limit 30 s, no finish limit): its exit
// code, -2 when it could not start, -1 when it crashed. With asRoot the
// program is "sudo" and all of argv are its arguments.
int linuxCmdExec(const QStringList& argv, bool asRoot);
// Starts argv as linuxCmdExec would and returns the running program for
// the caller to read and wait for; null when it did not start within 30 s.
// Destroying the runner kills whatever still runs.
std::unique_ptr<HX2Runner> linuxCmdStart(const QStringList& argv, bool asRoot);

#endif
