#ifndef HX2UTILS_H
#define HX2UTILS_H

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QHash>
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

// The bytes before the first zero byte (all of them without one): what a
// program's output, a file or a C string holds as text.
QByteArray beforeZero(const QByteArray& bytes);

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

// ---- Number, money, time and version texts.

// A non-zero number (a Double, or a String holding one), truncated to an
// integer and written with the default locale's digit grouping, at least 3
// characters wide; zero or a non-number gives def.
QString toStrOfInt(const QJsonValue& v, const QString& def = QString());
QString toStrOfInt(int n, const QString& def = QString());
// A Double in fixed notation with 6 decimals; "0" for any other kind.
QString toDoubleString(const QJsonValue& v);
// Non-zero: two decimals ("12.50"); zero: def. The JSON form reads the value
// with toDouble.
QString toMoneyString(double amount, const QString& def = QString());
QString toMoneyString(const QJsonValue& v, const QString& def = QString());
// "HH:MM:SS" of a second count; hours go beyond 24 (90000 gives "25:00:00"),
// a negative count gets a leading "-".
QString secsToTimes(int secs);
// The build time from the compiler's date ("Mmm dd yyyy") and time
// ("hh:mm:ss") texts; the month abbreviation is matched ignoring case. For
// an unknown month complieDateTime gives an invalid value and gccDateTime
// takes January.
QDateTime complieDateTime(const QString& date, const QString& time);
QDateTime gccDateTime(const QString& date, const QString& time);
// Dotted versions compared part by part as integers, a missing part counting
// as 0: the difference of the first unequal pair (negative when a is older),
// else 0.
int compareVersion(const QString& a, const QString& b);
int compareFourInt(const QString& a, const QString& b);

// ---- Lists and JSON.

// Each element through toInt, sorted ascending (duplicates kept).
QList<int> toSortList(const QJsonArray& a);
// Each element through toInt, in order.
QList<int> toInts(const QJsonArray& a);
QList<int> jarrayToInts(const QJsonArray& a);
QJsonArray toJArray(const QList<int>& list);
QJsonArray toJsonArray(const QList<int>& list);
QJsonArray IntsToJArray(const QList<int>& list);
// Each byte array as Latin-1 text up to its first zero byte; skipEmpty
// leaves out texts that are empty once trimmed (kept ones are not trimmed).
QStringList toStrings(const QList<QByteArray>& list, bool skipEmpty = false);
QJsonArray toJsonArray(const QList<QByteArray>& list, bool skipEmpty = false);
// A string holding a JSON object or array becomes that value; anything else
// gives an empty object.
QJsonValue toJsonValue(const QJsonValue& v);
// An object or array as compact JSON text; any other kind gives "{}".
QString jsonToString(const QJsonValue& v);
// The elements of a that b contains, in a's order.
QStringList intersect(const QStringList& a, const QStringList& b,
                      Qt::CaseSensitivity cs = Qt::CaseSensitive);
// Options and values: "-x" or "--name" (dashes kept) takes the next plain
// element as its value, or "" when another option or the end follows; a
// plain element with no option before it is stored under "".
QHash<QString, QString> cmdArguments(const QStringList& args);
// Text conversion between the GBK code page and UTF-8.
QByteArray GbkToUtf8(const QByteArray& gbk);
QByteArray Utf8ToGbk(const QByteArray& utf8);
// A length-prefixed type name ("7HX2File") without its length ("HX2File").
QString MyClassName(const char* name);
// The function name in a compiler signature ("bool A::f(int)" gives "A::f"),
// with "#line" appended when line > 0.
QString PRETTY(const char* signature, int line);

// ---- Identifiers, random codes, digests and compression.

// The text's UTF-8 bytes (a new random UUID when text is empty), without
// "{", "-" and "}", folded into 64 bits and written in base 36 (lower case)
// or base 62. Equal texts give equal results; different texts may collide.
QString HX2Uuid(const QString& text = QString());
QString HX2Uuid62(const QString& text = QString());
// The base-62 digits of the trimmed text ("{", "-", "}" removed) re-encoded
// in base 62; characters outside 0-9, a-z, A-Z are skipped.
QString HX2ToBase62(const QString& text);
// n characters from 0-9, A-Z, a-z drawn from the operating system's secure
// generator, so fit for passwords and tokens; n <= 0 gives "".
QString randCode(int n);
// Lower-case hexadecimal digests; a string is taken as UTF-8.
QString md5hex(const QByteArray& data);
QString md5hex(const QString& text);
QString hmacSha1(const QByteArray& data, const QByteArray& key);
// CRC-32 as gzip, zip and Ethernet use it ("123456789" gives 0xCBF43926).
quint32 crc32(const QByteArray& data);
// One complete gzip member of data at the default level, with modification
// time 0 and no file name: what "gzip -dc" expands back to data.
QByteArray gnuzip(const QByteArray& data);

// ---- Text, command output, URL and INI parsing, shell quoting.

// The scheme before the first "://" ("https"), or "" when there is none or
// it is empty.
QString HX2UrlProtocol(const QString& url);
// Splits "scheme://host[:port][/path][?query]". scheme is lower-cased; host
// is "localhost" when empty; port is left unchanged when the URL has none;
// path has no leading "/" except for "scheme:///path". query (when not null)
// receives the "&"-separated key=value pairs, values percent-decoded. False
// when there is no "://" or the scheme is empty.
bool HX2UrlSplit(const QString& url, QString& scheme, QString& host, int& port, QString& path,
                 QHash<QString, QString>* query = nullptr);
// Sections of INI lines as objects of string values: {"section": {"key":
// "value"}}. Keys and values are trimmed; "#" lines, blank lines and lines
// before the first section are ignored; a repeated section replaces the
// earlier one.
QJsonObject iniToJson(const QStringList& lines);
// s as one word for a POSIX shell: between single quotes, each single quote
// written as '\''. The shell reads it back unchanged, whatever it holds.
QString toShellArgEscaped(const QString& s);
// Output text up to its first zero byte, "\r" removed, tabs as blanks,
// split into non-empty lines; decoded as UTF-8.
QStringList cmdOutputs(const QByteArray& output);
// Removes leading separators from s, then takes and returns the text up to
// the next separator (all of it when there is none), removing it and the
// separators after it from s.
QString takeFirstString(QString& s, const QString& sep);
QByteArray takeFirstString(QByteArray& s, const QByteArray& sep);
// The first or last non-empty part of s split on sep; "" when none.
QString firstString(const QString& s, const QString& sep);
QString lastString(const QString& s, const QString& sep);

// ---- Validators. Each takes untrusted text and answers without throwing.

// One to four dot-separated parts, each "0" or a decimal 1-255 of at most
// three digits (so "10.0.0.1" and the short form "10" pass; "256", "1.",
// " 1" and "+1" fail).
bool ipv4Valid(const QString& text);
// An iSCSI qualified name: only a-z, 0-9, ".", ":" and "-"; begins "iqn.",
// then a four-digit year above 1900 and "-" ("iqn.2004-01.com.example:x").
bool iqnValid(const QString& text);
// An 18-character national identity number (trimmed, any case): 17 digits
// and the ISO 7064 MOD 11-2 check character; with checkBirth the date in
// characters 6-13 (yyyyMMdd) must be a real date. Any other length fails.
bool idcardValidate(const QByteArray& id, bool checkBirth = false);

// ---- Shared memory between processes, by key.

// Copies the whole segment of that key into out; false (out unchanged) when
// no such segment exists or it cannot be read.
bool shareMemoryLoad(const QString& key, QByteArray& out);
// Publishes data under key for other processes: any segment this process
// saved under the key before is released and a new one holds data. The
// segment stays until this process saves again under the key or exits.
// False for empty data, or when another live process holds a segment of
// that key.
bool shareMemorySave(const QString& key, const QByteArray& data);

// ---- Calendar schedules.

// The first minute later than from (seconds zero, local time) matching a
// schedule object of integer arrays "weeks" (1 = Monday .. 7), "months"
// (1-12), "days" (of the month), "hours" (0-23) and "minutes" (0-59); a
// missing or empty array matches everything. Only from's year and the next
// are searched; when nothing matches there the result is invalid.
QDateTime nextScheduledDateTime(const QJsonObject& schedule, const QDateTime& from);
// The earliest valid result of the schedules in the array; schedules that
// never match are ignored. 2099-12-31 00:00:00 when none matches.
QDateTime nextSchedulesDateTime(const QJsonArray& schedules, const QDateTime& from);

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
// appended to errors as a string. True only when at least one command ran
// and every command succeeded; errors then gained nothing, else exactly one
// entry per failed command. An empty or all-blank list is false and adds
// nothing to errors.
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
