// The real-ZFS test bench, seen from C++: an appliance and a backup server
// on this machine, each a mount namespace with its own zfs-fuse pool
// "tank", driven through tests/e2e/zbench.sh.
//
// The appliance starts with tank/home and tank/data, the server with an
// empty tank. The server's sshd listens on 127.0.0.1:port() and accepts
// root with password(); on the appliance ssh without -p reaches it too.
// Both hosts run zfs-compat as /usr/sbin/zfs (OpenZFS forms on zfs-fuse).
//
// A Bench is used from one thread. Every call that runs a command waits
// for it; none throws.
#ifndef ZBENCH_H
#define ZBENCH_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace zbench {

enum class Host { Appliance, Server };

// Outcome of one command. exitCode is the command's exit code, or
// kNotRun when it could not be started, kTimedOut when it was killed at its
// time limit, kCrashed when it died from a signal.
struct Result {
  static constexpr int kNotRun = -1;
  static constexpr int kTimedOut = -2;
  static constexpr int kCrashed = -3;

  int exitCode = kNotRun;
  QByteArray out;
  QByteArray err;

  bool ok() const { return exitCode == 0; }
  // Standard output without the trailing line feeds.
  QString text() const;
  // Standard output split at line feeds, empty lines dropped.
  QStringList lines() const;
};

using Env = QMap<QString, QString>;

class Bench {
 public:
  enum class StartResult {
    Up,           // both hosts run
    Unavailable,  // this machine cannot host a bench; see the message
    Failed,       // a fault in the bench; see the message
  };

  Bench() = default;
  // Tears the bench down if it is still up.
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // Why this machine cannot run end-to-end tests (not root, no /dev/fuse,
  // tools missing), or an empty string when it can. Starts nothing.
  static QString skipReason();

  // Builds both hosts (a few seconds). The bench is also torn down by
  // itself once this process is gone, even when it is killed. On anything
  // but Up, *message says why and nothing is left running.
  StartResult start(QString* message);
  // Tears everything down: processes, mounts, namespaces, files. Safe to
  // call when not up. Returns false, with *message, if the controller
  // reported a failure.
  bool stop(QString* message = nullptr);
  bool isUp() const { return !m_dir.isEmpty(); }

  QString stateDir() const { return m_dir; }
  QString serverHost() const { return QStringLiteral("127.0.0.1"); }
  int port() const { return m_port; }
  QString password() const { return m_password; }
  // Pid of the process that keeps a host's namespace alive.
  qint64 holderPid(Host host) const;
  // Pids of the daemons, for tests that check the teardown.
  QMap<QString, qint64> daemonPids() const { return m_pids; }

  // Runs argv[0] with the other arguments on a host, with a clean root
  // environment plus env, its working directory in the bench's state dir.
  Result run(Host host, const QStringList& argv, int timeoutMs = 120000,
             const Env& env = Env(), const QByteArray& input = QByteArray()) const;
  // Runs shell text through bash -c on a host.
  Result sh(Host host, const QString& script, int timeoutMs = 120000,
            const Env& env = Env()) const;
  // Starts argv on a host and returns the running process (or nullptr when
  // it did not start); the caller waits for it or kills it. Meant for
  // product programs that must run inside the appliance.
  std::unique_ptr<QProcess> spawn(Host host, const QStringList& argv,
                                  const Env& env = Env()) const;

  // The path under which this process reaches a host's file nsPath.
  QString hostPath(Host host, const QString& nsPath) const;
  // Where a dataset is mounted on a host, or empty if it has no mount point.
  QString mountpoint(Host host, const QString& dataset) const;

  // Writes `files` files of `bytes` deterministic pseudo-random bytes into
  // the directory "zb-SEED" of a mounted dataset; the same seed always
  // gives the same contents. Returns false with *error on failure.
  bool fill(Host host, const QString& dataset, quint32 seed, int files, qint64 bytes,
            QString* error);
  // MD5 over the dataset's files, sorted by relative path, each entering as
  // its path, its size and its contents. Equal sums mean equal trees of
  // files. An unmounted dataset is mounted for the reading and unmounted
  // again. Empty string with *error on failure.
  QString checksum(Host host, const QString& dataset, QString* error) const;
  // Full names of the dataset's own snapshots, oldest first; empty when it
  // has none or does not exist.
  QStringList snapshots(Host host, const QString& dataset) const;

  // Destroys a dataset with its children and snapshots (zfs destroy -r).
  // zfs-fuse reports a just-mounted dataset as busy for a moment, so a busy
  // refusal is retried for a few seconds. True when it is gone.
  bool destroy(Host host, const QString& dataset, QString* error = nullptr) const;

  // From the next receive on, the server reads streams at `rate` (pv -L
  // syntax, e.g. "4M"); clearThrottle() lifts it.
  bool setThrottle(const QString& rate) const;
  bool clearThrottle() const;

  // The controller script, for tests that drive it directly.
  static QString controller();

 private:
  Result control(const QStringList& args, int timeoutMs) const;

  QString m_dir;
  int m_port = 0;
  QString m_password;
  QMap<QString, qint64> m_pids;
};

// Runs a program on this machine (no namespace) and waits for it.
Result runLocal(const QString& program, const QStringList& args, int timeoutMs,
                const Env& env = Env(), const QByteArray& input = QByteArray());

}  // namespace zbench

#endif  // ZBENCH_H
