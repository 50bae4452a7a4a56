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

// The process's Qt application object, created on first use.
QCoreApplication* testApp();

// An HX2LocalServer living on a thread with an event loop, as the service's
// server lives on the main thread.
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
    QObject* m_context = nullptr;
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
