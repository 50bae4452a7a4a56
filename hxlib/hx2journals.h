#ifndef HX2JOURNALS_H
#define HX2JOURNALS_H

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class HX2JournalsPrivate;

// The outcome record of one operation: a code (9999 until someone sets one),
// a message, step records and a millisecond stopwatch. Engine operations
// take it by reference and set a code and message on failure; every RPC
// reply is written from it with toRetObject().
//
// A journal has no lock: it belongs to the thread that owns it.
class HX2Journals
{
public:
    HX2Journals();
    HX2Journals(const HX2Journals& other);
    HX2Journals& operator=(const HX2Journals& other);
    virtual ~HX2Journals();

    int err() const;
    QString errmsg() const;
    QJsonArray segments() const;
    // Accumulated elapsed milliseconds.
    qint64 times() const;

    void setErr(int err, const QString& errmsg);
    void setErrmsg(const QString& errmsg);
    void setSegments(const QJsonArray& segments);
    // Sets code, message and segments and zeroes the total; the timer keeps running.
    void reset(int err, const QString& errmsg, const QJsonArray& segments = QJsonArray());

    void add(const QJsonObject& step);
    // Appends the whole array as one element.
    void add(const QJsonArray& steps);
    // Builds, appends and returns a step record {"place", "action", "times",
    // "success", "msg"}; "msg" is the given text, else the current errmsg,
    // else absent.
    QJsonObject add(const QString& place, const QString& action, bool success,
                    const QString& msg = QString());

    // Zeroes the total and restarts the timer.
    void begin();
    // Milliseconds since the last (re)start, added to the total; restarts the timer.
    qint64 step();
    // Like step(), returning the new total.
    qint64 end();

    // {"err", "elapsed", "errmsg" (when reportable), "journals" (when any)}.
    // Does not advance the stopwatch.
    QJsonObject toObject() const;
    // Writes "err", "errmsg" (unless the code is 0 or 10000 or the message is
    // empty) and, with detail, "elapsed" and "journals" into a reply. Other
    // keys of the reply stay. Advances the stopwatch.
    void toRetObject(QJsonObject* ret, bool detail) const;
    void toRetObject(QJsonObject& ret, bool detail) const;

private:
    HX2JournalsPrivate* d;
};

#endif
