#include "hx2journals.h"

#include <QElapsedTimer>

class HX2JournalsPrivate
{
public:
    int err = 9999;
    QString errmsg;
    QJsonArray segments;
    qint64 total = 0;
    QElapsedTimer timer;

    HX2JournalsPrivate() { timer.start(); }
};

HX2Journals::HX2Journals() : d(new HX2JournalsPrivate) {}

HX2Journals::HX2Journals(const HX2Journals& other) : d(new HX2JournalsPrivate(*other.d)) {}

HX2Journals& HX2Journals::operator=(const HX2Journals& other)
{
    if (this != &other)
        *d = *other.d;
    return *this;
}

HX2Journals::~HX2Journals()
{
    delete d;
}

int HX2Journals::err() const { return d->err; }
QString HX2Journals::errmsg() const { return d->errmsg; }
QJsonArray HX2Journals::segments() const { return d->segments; }
qint64 HX2Journals::times() const { return d->total; }

void HX2Journals::setErr(int err, const QString& errmsg)
{
    d->err = err;
    d->errmsg = errmsg;
}

void HX2Journals::setErrmsg(const QString& errmsg) { d->errmsg = errmsg; }
void HX2Journals::setSegments(const QJsonArray& segments) { d->segments = segments; }

void HX2Journals::reset(int err, const QString& errmsg, const QJsonArray& segments)
{
    d->err = err;
    d->errmsg = errmsg;
    d->segments = segments;
    d->total = 0;
}

void HX2Journals::add(const QJsonObject& step) { d->segments.append(step); }
void HX2Journals::add(const QJsonArray& steps) { d->segments.append(steps); }

QJsonObject HX2Journals::add(const QString& place, const QString& action, bool success,
                             const QString& msg)
{
    QJsonObject rec;
    rec.insert("place", place);
    rec.insert("action", action);
    rec.insert("times", step());
    rec.insert("success", success);
    if (!msg.isEmpty())
        rec.insert("msg", msg);
    else if (!d->errmsg.isEmpty())
        rec.insert("msg", d->errmsg);
    d->segments.append(rec);
    return rec;
}

void HX2Journals::begin()
{
    d->total = 0;
    d->timer.restart();
}

qint64 HX2Journals::step()
{
    const qint64 ms = d->timer.restart();
    d->total += ms;
    return ms;
}

qint64 HX2Journals::end()
{
    step();
    return d->total;
}

static bool messageReportable(int err, const QString& msg)
{
    return err != 0 && err != 10000 && !msg.isEmpty();
}

QJsonObject HX2Journals::toObject() const
{
    QJsonObject obj;
    obj.insert("err", d->err);
    obj.insert("elapsed", d->total);
    if (messageReportable(d->err, d->errmsg))
        obj.insert("errmsg", d->errmsg);
    if (!d->segments.isEmpty())
        obj.insert("journals", d->segments);
    return obj;
}

void HX2Journals::toRetObject(QJsonObject* ret, bool detail) const
{
    // The stopwatch is logically mutable: writing the reply closes the step.
    d->total += d->timer.restart();
    if (!ret)
        return;
    ret->insert("err", d->err);
    if (messageReportable(d->err, d->errmsg))
        ret->insert("errmsg", d->errmsg);
    if (detail) {
        ret->insert("elapsed", d->total);
        if (!d->segments.isEmpty())
            ret->insert("journals", d->segments);
    }
}

void HX2Journals::toRetObject(QJsonObject& ret, bool detail) const
{
    toRetObject(&ret, detail);
}
