#include "hx2error.h"

#include <QElapsedTimer>

class HX2ErrorPrivate
{
public:
    int err = 9999;
    QString errmsg;
    QJsonArray journals;
    qint64 total = 0;
    QElapsedTimer timer;
};

HX2Error::HX2Error(int err, const QString& errmsg) : d(new HX2ErrorPrivate)
{
    d->err = err;
    d->errmsg = errmsg;
    d->timer.start();
}

HX2Error::HX2Error(const HX2Error& other) : d(new HX2ErrorPrivate(*other.d)) {}

HX2Error& HX2Error::operator=(const HX2Error& other)
{
    if (this != &other)
        *d = *other.d;
    return *this;
}

HX2Error::~HX2Error() { delete d; }

int HX2Error::err() const { return d->err; }
QString HX2Error::errmsg() const { return d->errmsg; }
QJsonArray HX2Error::journals() const { return d->journals; }
qint64 HX2Error::times() const { return d->total; }

void HX2Error::setErr(int err, const QString& errmsg)
{
    d->err = err;
    d->errmsg = errmsg;
}

void HX2Error::setErrmsg(const QString& errmsg) { d->errmsg = errmsg.trimmed(); }
void HX2Error::setJournals(const QJsonArray& journals) { d->journals = journals; }

void HX2Error::reset(int err, const QString& errmsg, const QJsonArray& journals)
{
    d->err = err;
    d->errmsg = errmsg;
    d->journals = journals;
    d->total = 0;
    d->timer.restart();
}

void HX2Error::add(const QJsonObject& step) { d->journals.append(step); }
void HX2Error::add(const QJsonArray& steps) { d->journals.append(steps); }

QJsonObject HX2Error::add(const QString& place, const QString& action, bool success,
                          const QString& msg)
{
    QJsonObject rec;
    rec.insert("place", place);
    rec.insert("action", action);
    rec.insert("times", step());
    rec.insert("success", success);
    rec.insert("msg", msg.isEmpty() ? d->errmsg : msg);
    d->journals.append(rec);
    return rec;
}

void HX2Error::begin()
{
    d->total = 0;
    d->timer.restart();
}

qint64 HX2Error::step()
{
    const qint64 ms = d->timer.restart();
    d->total += ms;
    return ms;
}

qint64 HX2Error::end()
{
    step();
    return d->total;
}

void HX2Error::write(QJsonObject* obj) const
{
    if (!obj)
        return;
    obj->insert("err", d->err);
    if (d->err != 0 && d->err != 10000 && !d->errmsg.isEmpty())
        obj->insert("errmsg", d->errmsg);
}

void HX2Error::write(QJsonObject& obj) const { write(&obj); }

QJsonObject HX2Error::toObject() const
{
    QJsonObject obj;
    obj.insert("err", d->err);
    obj.insert("elapsed", d->total);
    if (d->err != 0 && d->err != 10000 && !d->errmsg.isEmpty())
        obj.insert("errmsg", d->errmsg);
    if (!d->journals.isEmpty())
        obj.insert("journals", d->journals);
    return obj;
}
