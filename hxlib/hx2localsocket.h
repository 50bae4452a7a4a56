#ifndef HX2LOCALSOCKET_H
#define HX2LOCALSOCKET_H

#include "hx2cabinet.h"
#include "hx2rpcpacket.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <atomic>
#include <memory>
#include <mutex>

class HX2LocalServer;

// One accepted connection of HX2LocalServer, served by its own detached
// thread: it decodes the frames the peer sends, dispatches each request
// through the server and writes one reply frame per request, in order.
//
// The object owns the descriptor and frees itself (through the server)
// when its thread ends: when the peer disconnects, sends bytes that form no
// frame, announces a frame larger than HX2RpcPacket::MaxPeerPayload or than
// what is left of the server's buffer budget, leaves a frame incomplete
// past the server's frame time-out, stops reading replies for 30 s, or
// stop() is called. An idle connection sleeps in a blocking read and costs
// no CPU; a frame that arrives whole within one read is never charged to
// the budget.
//
// Every handler's environment holds "protocol" 128 and, where the kernel
// tells it, "peeruid": the user id of the process that connected.
class HX2LocalSocket : public QObject
{
    Q_OBJECT
public:
    // Takes ownership of descriptor and starts the connection's thread.
    // When the thread cannot be started the descriptor is closed and
    // started() is false; the caller then deletes the object.
    HX2LocalSocket(HX2LocalServer* server, quintptr descriptor, bool* debugging);
    ~HX2LocalSocket() override;

    bool started() const { return m_started; }

    // The connection loop; runs on the connection's thread.
    void run();
    // Ends the connection and returns once its thread has finished. The
    // caller must know the object is alive when calling (the server's
    // closeConnections() does); it may be freed by the time stop() returns.
    // Must not be called from the connection's own thread.
    void stop();

private:
    friend class HX2LocalServer;

    struct Flags
    {
        std::atomic<bool> running{false};
        std::atomic<bool> stopRequested{false};
    };

    // Sets stopRequested and wakes the thread out of its wait.
    void requestStop();
    // Waits until the rest of the pending frame can be read; false when its
    // time is up.
    bool awaitRestOfFrame(int fd);
    // Buffers n bytes just read and answers every request they complete;
    // false when the connection must end.
    bool receive(const char* data, qint64 n);
    // Decodes and answers every complete request in the buffer; false when
    // the connection must end.
    bool serveBuffer();
    // Makes the bytes this connection holds of the server's budget equal
    // to bytes; false when the budget cannot give that much.
    bool hold(qint64 bytes);
    // Answers one request; false when the reply could not be written.
    bool serve(const HX2RpcPacket& request);
    void closeDescriptor();

    HX2LocalServer* server;
    quintptr descriptor;
    bool* debugging;
    QByteArray buffer;
    HX2Cabinet environment;
    // Connection thread only: the budget held, the whole length of the
    // pending frame once its header is in (else 0), and the time since the
    // pending frame's first byte.
    qint64 m_held = 0;
    qint64 m_expected = 0;
    QElapsedTimer m_frameClock;
    // Shared with stop(), which may still read them after the thread freed
    // the object.
    std::shared_ptr<Flags> m_flags;
    // Guards the descriptor against being shut down by requestStop() while
    // the thread closes it.
    std::mutex m_fdMutex;
    int m_fd; // guarded by m_fdMutex; -1 once closed
    bool m_started = false;
};

#endif
