#ifndef HX3HTTPPOOL_H
#define HX3HTTPPOOL_H

#include <QByteArray>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThreadPool>

// Sends HTTP posts in the background: addPost() returns at once and one of
// at most 4 pool threads performs the request (HX3Http), first come, first
// served. When a request succeeds and was given a user object, onRespond
// is emitted from the pool thread with that object and the answer; a
// failed request, or one without a user object, reports nothing.
//
// addPost() and setCaFile() may be called from any thread.
class HX3HttpPool : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxThreads = 4;

    // timeout: seconds allowed to every request.
    HX3HttpPool(QObject* parent, int timeout);
    // Waits for the queued and running requests to end, for up to timeout
    // seconds; requests not started by then are dropped and the running
    // ones, each ending within its own time-out, waited for. Destruction
    // thus takes at most twice the time-out.
    ~HX3HttpPool() override;

    // Posts body's compact JSON text.
    void addPost(const QString& url, const QJsonObject& body, QJsonObject* userObject);
    // Posts body as "application/x-www-form-urlencoded; charset=UTF-8".
    void addPost(const QString& url, const QByteArray& body, QJsonObject* userObject);

    // PEM file of the certificate authorities that https peers of later
    // posts must be verified against; empty (the default) posts without
    // peer checks.
    void setCaFile(const QString& path);
    QString caFile() const;

signals:
    void onRespond(QJsonObject userObject, QByteArray data);

private:
    int timeout;
    QThreadPool threadPool;
    mutable QMutex m_caMutex;
    QString m_caFile; // guarded by m_caMutex
};

#endif
