#ifndef RPCTESTSUPPORT_H
#define RPCTESTSUPPORT_H

// Test-side helpers for the local RPC: a server running on its own event
// loop thread, and a raw blocking Unix-socket client that knows only the
// frame layout, so that it does not depend on the code under test.

#include "hx2localserver.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonObject>
#include <QString>
#include <QThread>

#include <condition_variable>
#include <functional>
#include <mutex>

// The process's Qt application object, created on first use.
QCoreApplication* testApp();

// Runs jobs on the thread it lives on, one at a time, for callers on other
// threads. A job and its end pass through a mutex of its own, a hand-over
// a thread checker sees, unlike the one through Qt's event queue.
class ThreadJobs : public QObject
{
    Q_OBJECT
public:
    // Runs job on this object's thread and waits until it has run.
    void run(std::function<void()> job);

private slots:
    void runJob();

private:
    std::mutex m_mutex;
    std::condition_variable m_ran;
    std::function<void()> m_job; // guarded by m_mutex
    bool m_done = false;         // guarded by m_mutex
};

// An HX2LocalServer living on a thread with an event loop, as the service's
// server lives on the main thread. The server is made, started and
// destroyed on that thread.
class ServerHost
{
public:
    explicit ServerHost(HX2TodoRouter* router, bool debugging = false);
    ~ServerHost();

    bool start(const QString& name);
    HX2LocalServer* server() const { return m_server; }
    // Deletes the server on its thread (its destructor ends all connections).
    void destroy();

private:
    QThread m_thread;
    ThreadJobs* m_jobs = nullptr;
    HX2LocalServer* m_server = nullptr;
};

class RawClient
{
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connectTo(const QString& path);
    bool send(const QByteArray& bytes);
    // Reads until one complete frame is buffered; keep-alives are returned
    // as empty objects. False on time-out or when the peer closes first.
    bool readFrame(QJsonObject& out, int timeoutMs = 5000);
    // True when the peer closes the connection within timeoutMs (bytes read
    // meanwhile are kept in the buffer).
    bool waitClosed(int timeoutMs = 5000);
    // True when no byte arrives within timeoutMs and the peer stays.
    bool staysQuiet(int timeoutMs);
    void close();
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    QByteArray m_buffer;
};

// A request frame built by hand: 16-byte header, compact JSON, attachment.
QByteArray frameOf(const QJsonObject& body, const QByteArray& attachment = QByteArray());
QByteArray headerOf(quint32 n, quint32 m);

// Polls cond every 10 ms for up to timeoutMs.
template <typename F>
bool eventually(F cond, int timeoutMs = 5000)
{
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (cond())
            return true;
        QThread::msleep(10);
    }
    return cond();
}

#endif
