#ifndef HX2LOCALSERVER_H
#define HX2LOCALSERVER_H

#include "hx2cabinet.h"
#include "hx2todorouter.h"

#include <QJsonObject>
#include <QLocalServer>
#include <QSet>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>

class HX2LocalSocket;

// The local RPC server: listens on a Unix-domain stream socket that any
// local user may connect to, gives every accepted connection its own thread
// (HX2LocalSocket) and answers each request frame with one reply frame,
// written from the connection's journal.
//
// The server object lives on the thread whose event loop accepts the
// connections (the main thread in the service). Routers added with add()
// are dispatched to from connection threads, concurrently.
class HX2LocalServer : public QLocalServer
{
    Q_OBJECT
public:
    explicit HX2LocalServer(QObject* parent = nullptr);
    // Stops listening, then ends every live connection and waits for their
    // threads, so that no connection outlives the server it calls into.
    ~HX2LocalServer() override;

    // Begins listening on name (a path when it contains "/"; otherwise Qt's
    // default socket directory). Creates the socket's directory when
    // missing. An existing socket file is replaced only when nothing
    // answers on it; servers starting at once in one directory take turns,
    // so at most one of them wins a name. True when listening (also when it
    // already was; the recorded name then stays); false when the name
    // cannot be listened on, addressInUse() then telling whether another
    // server holds it.
    bool start(const QString& name);
    // True when the last start() failed because a live server answers on
    // the name.
    bool addressInUse() const { return m_addressInUse; }
    // Closes the listening socket; live connections go on.
    void stop();
    // The name recorded by the last successful start().
    QString name() const { return m_name; }

    // Adds a router as a child of the root router; not owned.
    void add(HX2TodoRouter* router);

    // Dispatches one request: "__LS__" slots first, then exact names. When
    // neither handles it, sets env's journal to 9885 with
    // "被调用的方法不存在: " + the request's "cmd" and returns false.
    bool doCall(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env);

    // Connections whose threads are still running.
    int connectionCount() const;
    // Asks every live connection to end and waits until all are freed.
    void closeConnections();

    // Sends request to the local socket name and, unless reply is null or
    // timeoutSeconds is not positive, waits for the first non-empty reply
    // and stores it in *reply. Without a reply wanted, true once the frame
    // is written. False when no connection is made within 2000 ms, the
    // frame cannot be written, the peer closes or sends bad or oversized
    // data, or no reply comes within timeoutSeconds (the connection time
    // counts); *reply is then unchanged. Callable from any thread, with or
    // without an event loop.
    static bool localRequest(const QString& name, const QJsonObject& request, QJsonObject* reply,
                             qint64 timeoutSeconds);

    // Bytes that all connections together may hold in frames not yet
    // complete. A frame is charged whole as soon as its header is in; one
    // that would pass the budget closes its connection. Any thread.
    static constexpr qint64 DefaultBufferBudget = 64 * 1024 * 1024;
    void setBufferBudget(qint64 bytes) { m_bufferBudget.store(bytes); }
    // Time a peer has to complete a frame, from its first byte; a peer
    // still mid-frame then is dropped. A connection with no partial frame
    // may stay idle for ever. Any thread; applies to frames begun after.
    static constexpr int DefaultFrameTimeoutMs = 30000;
    void setFrameTimeout(int ms) { m_frameTimeoutMs.store(ms); }
    int frameTimeout() const { return m_frameTimeoutMs.load(); }

    // Read by every connection for each reply: true adds "elapsed" and the
    // journal's steps. Set before start().
    bool debugging = false;

protected:
    void incomingConnection(quintptr descriptor) override;

private:
    friend class HX2LocalSocket;
    // Called by a connection's thread as its last act: unregisters and
    // frees the connection.
    void release(HX2LocalSocket* socket);
    // Takes bytes from the buffer budget; false, taking nothing, when they
    // do not fit.
    bool reserveBuffer(qint64 bytes);
    void releaseBuffer(qint64 bytes) { m_buffered.fetch_sub(bytes); }

    QString m_name;
    HX2TodoRouter m_root;
    bool m_addressInUse = false;

    std::atomic<qint64> m_bufferBudget{DefaultBufferBudget};
    std::atomic<qint64> m_buffered{0}; // held by all connections together
    std::atomic<int> m_frameTimeoutMs{DefaultFrameTimeoutMs};

    mutable std::mutex m_connectionsMutex;
    std::condition_variable m_connectionsGone;
    QSet<HX2LocalSocket*> m_connections; // guarded by m_connectionsMutex
};

#endif
