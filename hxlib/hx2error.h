#ifndef HX2ERROR_H
#define HX2ERROR_H

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class HX2ErrorPrivate;

// A standalone twin of HX2Journals: the code and message are given at
// construction, messages are stored trimmed, reset() restarts the timer,
// and step records always carry "msg". It has no reply writer; write()
// puts the outcome into an object instead.
class HX2Error
{
public:
    explicit HX2Error(int err = 9999, const QString& errmsg = QString());
    HX2Error(const HX2Error& other);
    HX2Error& operator=(const HX2Error& other);
    ~HX2Error();

    int err() const;
    QString errmsg() const;
    QJsonArray journals() const;
    qint64 times() const;

    void setErr(int err, const QString& errmsg);
    // Stores the message trimmed.
    void setErrmsg(const QString& errmsg);
    void setJournals(const QJsonArray& journals);

    // Formats printf-style, stores err and the trimmed text and returns the
    // untrimmed text.
    template <typename... Args>
    QString setError(int err, const QString& format, Args... args)
    {
        const QString text = formatted(format, args...);
        setErr(err, text.trimmed());
        return text;
    }

    // Sets code, message and journals, zeroes the total and restarts the timer.
    void reset(int err, const QString& errmsg, const QJsonArray& journals = QJsonArray());

    void add(const QJsonObject& step);
    void add(const QJsonArray& steps);
    QJsonObject add(const QString& place, const QString& action, bool success,
                    const QString& msg = QString());

    void begin();
    qint64 step();
    qint64 end();

    // Inserts "err" and, when reportable, "errmsg". A null pointer writes nothing.
    void write(QJsonObject* obj) const;
    void write(QJsonObject& obj) const;
    QJsonObject toObject() const;

private:
    // Without arguments only "%%" can be expanded; anything else would read
    // arguments that were never passed.
    static QString formatted(const QString& format)
    {
        QString text = format;
        return text.replace(QLatin1String("%%"), QLatin1String("%"));
    }
    template <typename... Args>
    static QString formatted(const QString& format, Args... args)
    {
        const QByteArray f = format.toUtf8();
        return QString::asprintf(f.constData(), args...);
    }

    HX2ErrorPrivate* d;
};

#endif
