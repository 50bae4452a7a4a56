#include "zbench.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QThread>

#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#ifndef ZBENCH_SCRIPT
#error "ZBENCH_SCRIPT must name tests/e2e/zbench.sh"
#endif

namespace zbench {

namespace {

// Start and stop are bounded by the controller itself; these limits only
// catch a controller that hangs.
constexpr int kStartLimitMs = 60000;
constexpr int kStopLimitMs = 30000;
constexpr int kQuickLimitMs = 30000;

QString hostWord(Host host) {
  return host == Host::Appliance ? QStringLiteral("app") : QStringLiteral("srv");
}

QString firstLine(const QByteArray& bytes) {
  const QString text = QString::fromUtf8(bytes).trimmed();
  return text.section(QLatin1Char('\n'), -3);
}

// splitmix64: a small generator whose stream depends only on its seed.
quint64 nextRandom(quint64& state) {
  quint64 z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

QString Result::text() const {
  QByteArray t = out;
  while (t.endsWith('\n')) t.chop(1);
  return QString::fromUtf8(t);
}

QStringList Result::lines() const {
  return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

Result runLocal(const QString& program, const QStringList& args, int timeoutMs,
                const Env& env, const QByteArray& input) {
  Result r;
  QProcess p;
  QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
  for (auto it = env.begin(); it != env.end(); ++it) pe.insert(it.key(), it.value());
  p.setProcessEnvironment(pe);
  p.start(program, args);
  if (!p.waitForStarted(10000)) {
    r.err = p.errorString().toUtf8();
    return r;
  }
  if (!input.isEmpty()) p.write(input);
  p.closeWriteChannel();
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished(5000);
    r.exitCode = Result::kTimedOut;
  } else {
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : Result::kCrashed;
  }
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

QString Bench::controller() {
  const QString fromEnv = qEnvironmentVariable("ZBENCH_SCRIPT");
  return fromEnv.isEmpty() ? QStringLiteral(ZBENCH_SCRIPT) : fromEnv;
}

QString Bench::skipReason() {
  if (::geteuid() != 0) return QStringLiteral("end-to-end tests need root (namespaces, FUSE)");
  if (!QFileInfo::exists(QStringLiteral("/dev/fuse"))) return QStringLiteral("no /dev/fuse");
  const QStringList dirs = {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")};
  for (const char* tool : {"zfs-fuse", "zpool", "zfs", "sshd", "ssh", "sshpass", "pv", "script",
                           "unshare", "nsenter"}) {
    bool found = false;
    for (const QString& d : dirs) found = found || QFileInfo(d + '/' + tool).isExecutable();
    if (!found)
      return QStringLiteral("%1 is not installed (run scripts/install-deps.sh)").arg(tool);
  }
  return QString();
}

Result Bench::control(const QStringList& args, int timeoutMs) const {
  return runLocal(QStringLiteral("/bin/bash"), QStringList{controller()} + args, timeoutMs);
}

Bench::~Bench() { stop(); }

Bench::StartResult Bench::start(QString* message) {
  if (isUp()) return StartResult::Up;
  const QString why = skipReason();
  if (!why.isEmpty()) {
    if (message) *message = why;
    return StartResult::Unavailable;
  }
  const Result r = control({QStringLiteral("start"), QStringLiteral("--owner"),
                            QString::number(::getpid())},
                           kStartLimitMs);
  if (!r.ok()) {
    if (message)
      *message = QStringLiteral("bench start failed (%1): %2").arg(r.exitCode).arg(firstLine(r.err));
    return r.exitCode == 2 || r.exitCode == 3 ? StartResult::Unavailable : StartResult::Failed;
  }
  const QString dir = r.lines().value(r.lines().size() - 1);
  const Result info = control({QStringLiteral("info"), dir}, kQuickLimitMs);
  QMap<QString, QString> kv;
  for (const QString& line : info.lines()) kv.insert(line.section('=', 0, 0), line.section('=', 1));
  m_dir = dir;
  m_port = kv.value(QStringLiteral("PORT")).toInt();
  m_password = kv.value(QStringLiteral("PASSWORD"));
  m_pids.clear();
  for (const char* k : {"APP_HOLDER", "SRV_HOLDER", "SSHD", "APP_ZFS_FUSE", "SRV_ZFS_FUSE", "REAPER"})
    m_pids.insert(QString::fromLatin1(k), kv.value(QString::fromLatin1(k)).toLongLong());
  if (!info.ok() || m_port <= 0 || m_password.isEmpty()) {
    if (message) *message = QStringLiteral("bench info unreadable: ") + firstLine(info.err);
    stop();
    return StartResult::Failed;
  }
  return StartResult::Up;
}

bool Bench::stop(QString* message) {
  if (!isUp()) return true;
  const Result r = control({QStringLiteral("stop"), m_dir}, kStopLimitMs);
  m_dir.clear();
  m_port = 0;
  m_password.clear();
  if (!r.ok() && message) *message = firstLine(r.err);
  return r.ok();
}

qint64 Bench::holderPid(Host host) const {
  return m_pids.value(host == Host::Appliance ? QStringLiteral("APP_HOLDER")
                                              : QStringLiteral("SRV_HOLDER"));
}

Result Bench::run(Host host, const QStringList& argv, int timeoutMs, const Env& env,
                  const QByteArray& input) const {
  if (!isUp()) {
    Result r;
    r.err = "bench is not up";
    return r;
  }
  Env withKeep = env;
  withKeep.insert(QStringLiteral("ZBENCH_KEEP"), QStringList(env.keys()).join(' '));
  return runLocal(QStringLiteral("/bin/bash"),
                  QStringList{controller(), hostWord(host), m_dir, QStringLiteral("--")} + argv,
                  timeoutMs, withKeep, input);
}

Result Bench::sh(Host host, const QString& script, int timeoutMs, const Env& env) const {
  return run(host, {QStringLiteral("/bin/bash"), QStringLiteral("-c"), script}, timeoutMs, env);
}

std::unique_ptr<QProcess> Bench::spawn(Host host, const QStringList& argv, const Env& env) const {
  if (!isUp()) return nullptr;
  auto p = std::make_unique<QProcess>();
  QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
  for (auto it = env.begin(); it != env.end(); ++it) pe.insert(it.key(), it.value());
  pe.insert(QStringLiteral("ZBENCH_KEEP"), QStringList(env.keys()).join(' '));
  p->setProcessEnvironment(pe);
  p->start(QStringLiteral("/bin/bash"),
           QStringList{controller(), hostWord(host), m_dir, QStringLiteral("--")} + argv);
  if (!p->waitForStarted(10000)) return nullptr;
  return p;
}

QString Bench::hostPath(Host host, const QString& nsPath) const {
  return QStringLiteral("/proc/%1/root%2").arg(holderPid(host)).arg(nsPath);
}

QString Bench::mountpoint(Host host, const QString& dataset) const {
  const Result r = run(host, {QStringLiteral("zfs"), QStringLiteral("get"), QStringLiteral("-H"),
                              QStringLiteral("-o"), QStringLiteral("value"),
                              QStringLiteral("mountpoint"), dataset},
                       kQuickLimitMs);
  const QString mp = r.text();
  return r.ok() && mp.startsWith('/') ? mp : QString();
}

bool Bench::fill(Host host, const QString& dataset, quint32 seed, int files, qint64 bytes,
                 QString* error) {
  const QString mp = mountpoint(host, dataset);
  if (mp.isEmpty()) {
    if (error) *error = dataset + QStringLiteral(" has no mount point");
    return false;
  }
  const QString dir = hostPath(host, mp) + QStringLiteral("/zb-%1").arg(seed);
  if (!QDir().mkpath(dir)) {
    if (error) *error = QStringLiteral("cannot create ") + dir;
    return false;
  }
  std::vector<quint64> block(8192);
  for (int i = 0; i < files; ++i) {
    const QString path = dir + QStringLiteral("/f%1.bin").arg(i, 4, 10, QLatin1Char('0'));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      if (error) *error = QStringLiteral("cannot write ") + path + ": " + f.errorString();
      return false;
    }
    quint64 state = (quint64(seed) << 32) ^ quint64(i) ^ 0x5A17C0DEULL;
    qint64 left = bytes;
    while (left > 0) {
      for (quint64& w : block) w = nextRandom(state);
      const qint64 n = std::min<qint64>(left, qint64(block.size() * sizeof(quint64)));
      if (f.write(reinterpret_cast<const char*>(block.data()), n) != n) {
        if (error) *error = QStringLiteral("short write to ") + path;
        return false;
      }
      left -= n;
    }
    f.flush();
    ::fsync(f.handle());
  }
  return true;
}

QString Bench::checksum(Host host, const QString& dataset, QString* error) const {
  const QString mp = mountpoint(host, dataset);
  if (mp.isEmpty()) {
    if (error) *error = dataset + QStringLiteral(" has no mount point");
    return QString();
  }
  const Result mounted = run(host, {QStringLiteral("zfs"), QStringLiteral("get"),
                                    QStringLiteral("-H"), QStringLiteral("-o"),
                                    QStringLiteral("value"), QStringLiteral("mounted"), dataset},
                             kQuickLimitMs);
  const bool wasMounted = mounted.text() == QLatin1String("yes");
  if (!wasMounted) {
    const Result m = run(host, {QStringLiteral("zfs"), QStringLiteral("mount"), dataset}, kQuickLimitMs);
    if (!m.ok()) {
      if (error) *error = QStringLiteral("cannot mount ") + dataset + ": " + firstLine(m.err);
      return QString();
    }
  }
  const QString root = hostPath(host, mp);
  QStringList rel;
  QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) rel << QDir(root).relativeFilePath(it.next());
  std::sort(rel.begin(), rel.end());
  QCryptographicHash all(QCryptographicHash::Md5);
  bool good = true;
  for (const QString& r : rel) {
    QFile f(root + '/' + r);
    if (!f.open(QIODevice::ReadOnly)) {
      if (error) *error = QStringLiteral("cannot read ") + r;
      good = false;
      break;
    }
    all.addData(r.toUtf8() + '\n' + QByteArray::number(f.size()) + '\n');
    all.addData(&f);
  }
  if (!wasMounted)
    run(host, {QStringLiteral("zfs"), QStringLiteral("umount"), dataset}, kQuickLimitMs);
  return good ? QString::fromLatin1(all.result().toHex()) : QString();
}

QStringList Bench::snapshots(Host host, const QString& dataset) const {
  // "-d 1" is the real zfs-fuse form of "this dataset's own snapshots", so
  // the helper does not depend on the compatibility wrapper it tests.
  const Result r = run(host, {QStringLiteral("zfs"), QStringLiteral("list"), QStringLiteral("-H"),
                              QStringLiteral("-o"), QStringLiteral("name"), QStringLiteral("-t"),
                              QStringLiteral("snapshot"), QStringLiteral("-s"),
                              QStringLiteral("creation"), QStringLiteral("-d"),
                              QStringLiteral("1"), dataset},
                       kQuickLimitMs);
  return r.ok() ? r.lines() : QStringList();
}

bool Bench::destroy(Host host, const QString& dataset, QString* error) const {
  QElapsedTimer t;
  t.start();
  for (;;) {
    const Result r = run(host, {QStringLiteral("zfs"), QStringLiteral("destroy"),
                                QStringLiteral("-r"), dataset},
                         kQuickLimitMs);
    if (r.ok()) return true;
    if (!r.err.contains("busy") || t.elapsed() > 5000) {
      if (error) *error = firstLine(r.err);
      return false;
    }
    QThread::msleep(200);
  }
}

bool Bench::setThrottle(const QString& rate) const {
  return isUp() && control({QStringLiteral("throttle"), m_dir, rate}, kQuickLimitMs).ok();
}

bool Bench::clearThrottle() const {
  return isUp() && control({QStringLiteral("throttle"), m_dir, QStringLiteral("off")}, kQuickLimitMs).ok();
}

}  // namespace zbench
