#ifndef HX2UNIXIO_H
#define HX2UNIXIO_H

#include <QByteArray>
#include <QString>

// Blocking-with-deadline I/O on Unix stream sockets, shared by the local
// server's connections and its client call. Internal to hxlib. None of
// these raise SIGPIPE.
namespace HX2UnixIO {

// Writes all of data to the descriptor (blocking or not) within timeoutMs.
// False on error, peer shutdown or time-out; part of data may then have
// been written.
bool writeAll(int fd, const QByteArray& data, int timeoutMs);

// Connects a new non-blocking, close-on-exec stream socket to path, waiting
// up to timeoutMs for room in the listener's queue. The descriptor, or -1.
int connectTo(const QString& path, int timeoutMs);

// True when something serves path: a connection is accepted within
// timeoutMs, or the listener's queue stays full that long (alive, only
// busy). False when nothing listens: no file, a socket file whose process
// is gone, or a file that is no socket.
bool listenerAnswers(const QString& path, int timeoutMs);

// The socket path Qt's local sockets use for name: name itself when it
// contains "/" at its front, else name in the temporary directory.
QString socketPath(const QString& name);

} // namespace HX2UnixIO

#endif
