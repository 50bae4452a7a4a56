// Tests of the bench itself: the replication pipeline the system runs, the
// server's login, the throttle, the zfs-compat translations, and that a
// bench leaves nothing behind.
#include "hx2utils.h"
#include "zbenchtest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <cmath>
#include <csignal>

using zbench::Bench;
using zbench::Host;
using zbench::Result;

namespace {

QString dump(const Result& r) {
  return QStringLiteral("exit %1\nout: %2\nerr: %3")
      .arg(r.exitCode)
      .arg(QString::fromUtf8(r.out.left(2000)), QString::fromUtf8(r.err.left(2000)));
}

// The transfer as the engine runs it: `zfs send` through pv into sshpass
// and ssh, under script, the password only in SSHPASS.
QStringList transferCommand(const QString& send, qint64 size, int port, const QString& remote,
                            bool withPort = true) {
  QString text = QStringLiteral("set -o pipefail; %1 | pv -r -p -s %2 | sshpass -e ssh ")
                     .arg(send)
                     .arg(size);
  if (withPort) text += QStringLiteral("-p %1 ").arg(port);
  text += QStringLiteral(
              "-o 'StrictHostKeyChecking no' -o ServerAliveInterval=15 -o ServerAliveCountMax=4 "
              "root@127.0.0.1 \"%1\"")
              .arg(remote);
  return {QStringLiteral("script"), QStringLiteral("-e"), QStringLiteral("-q"),
          QStringLiteral("-c"), text, QStringLiteral("/dev/null")};
}

zbench::Env transferEnv(const QString& password) {
  return {{QStringLiteral("SHELL"), QStringLiteral("/bin/bash")},
          {QStringLiteral("SSHPASS"), password}};
}

QString recvInto(const QString& dataset) {
  return QStringLiteral("/usr/sbin/zfs recv -o atime=off -o readonly=on -Fu ") + dataset;
}

QString prop(Bench& b, Host host, const QString& dataset, const QString& name) {
  return b.run(host, {"zfs", "get", "-H", "-o", "value", name, dataset}).text();
}

bool listening(int port) {
  const Result r = zbench::runLocal(QStringLiteral("ss"),
                                    {"-Htln", QStringLiteral("sport = :%1").arg(port)}, 10000);
  return !r.text().trimmed().isEmpty();
}

bool processAlive(qint64 pid) {
  if (pid <= 0) return false;
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray s = stat.readAll();
  const int close = s.lastIndexOf(')');
  return close > 0 && s.mid(close + 2, 1) != "Z";
}

// Real stream size as counted on the appliance, bypassing the wrapper.
qint64 realStreamSize(Bench& b, const QString& sendArgs) {
  const Result r = b.sh(Host::Appliance, "/run/zfs/zfs.real send " + sendArgs + " | wc -c");
  return r.ok() ? r.text().trimmed().toLongLong() : -1;
}

// Bytes from the short forms zfs prints: 512, 88K, 2.99M, 1.5G.
double fromHuman(const QString& s) {
  static const QString units = QStringLiteral("KMGTPE");
  if (s.isEmpty()) return -1;
  const int u = units.indexOf(s.back());
  const double n = (u < 0 ? s : s.chopped(1)).toDouble();
  return u < 0 ? n : n * std::pow(1024.0, u + 1);
}

}  // namespace

class BenchReplication : public zbench::BenchTest {};

TEST_F(BenchReplication, FullThenIncrementalArriveIdentical) {
  Bench& b = bench();
  QString err;
  ASSERT_TRUE(b.fill(Host::Appliance, "tank/home", 1, 4, 512 * 1024, &err)) << err.toStdString();
  ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "tank/home@r1"}).ok());
  const QString sumR1 = b.checksum(Host::Appliance, "tank/home", &err);
  ASSERT_FALSE(sumR1.isEmpty()) << err.toStdString();

  Result r = b.run(Host::Appliance,
                   transferCommand("zfs send tank/home@r1", 2 << 20, b.port(), recvInto("tank/home")),
                   120000, transferEnv(b.password()));
  ASSERT_TRUE(r.ok()) << dump(r).toStdString();
  // script passes pv's meter through, as the engine reads it.
  EXPECT_TRUE(r.out.contains('%')) << dump(r).toStdString();
  EXPECT_EQ(b.snapshots(Host::Server, "tank/home"), QStringList{"tank/home@r1"});
  EXPECT_EQ(prop(b, Host::Server, "tank/home", "readonly"), "on");
  EXPECT_EQ(prop(b, Host::Server, "tank/home", "atime"), "off");
  EXPECT_EQ(prop(b, Host::Server, "tank/home", "mounted"), "no");
  EXPECT_EQ(b.checksum(Host::Server, "tank/home", &err), sumR1) << err.toStdString();

  ASSERT_TRUE(b.fill(Host::Appliance, "tank/home", 2, 3, 300 * 1000, &err)) << err.toStdString();
  ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "tank/home@r2"}).ok());
  ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "tank/home@r3"}).ok());
  const QString sumR3 = b.checksum(Host::Appliance, "tank/home", &err);
  ASSERT_NE(sumR3, sumR1);

  r = b.run(Host::Appliance,
            transferCommand("zfs send -RItank/home@r1 tank/home@r3", 1 << 20, b.port(),
                            recvInto("tank/home")),
            120000, transferEnv(b.password()));
  ASSERT_TRUE(r.ok()) << dump(r).toStdString();
  EXPECT_EQ(b.snapshots(Host::Server, "tank/home"),
            (QStringList{"tank/home@r1", "tank/home@r2", "tank/home@r3"}));
  EXPECT_EQ(b.checksum(Host::Server, "tank/home", &err), sumR3) << err.toStdString();
  // The checksum mounted the received dataset only for the reading.
  EXPECT_EQ(prop(b, Host::Server, "tank/home", "mounted"), "no");
}

TEST_F(BenchReplication, ServerLoginOutcomes) {
  Bench& b = bench();
  const QString knownHosts = QDir::homePath() + "/.ssh/known_hosts";
  QFile before(knownHosts);
  const QByteArray knownBefore = before.open(QIODevice::ReadOnly) ? before.readAll() : QByteArray();
  const bool existedBefore = QFileInfo::exists(knownHosts);

  struct Case {
    const char* name;
    QString user;
    QString password;
    bool withPort;
    int exitCode;
  };
  const Case cases[] = {
      {"right password, explicit port", "root", b.password(), true, 0},
      {"right password, ssh's default port", "root", b.password(), false, 0},
      {"wrong password", "root", "not-" + b.password(), true, 5},
      {"empty password", "root", "", true, 5},
      {"account without password", "nobody", b.password(), true, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QStringList argv = {"sshpass", "-e", "ssh"};
    if (c.withPort) argv << "-p" << QString::number(b.port());
    argv << "-o" << "StrictHostKeyChecking no" << c.user + "@127.0.0.1"
         << "/usr/sbin/zfs get -H -o value mountpoint tank";
    const Result r = b.run(Host::Appliance, argv, 60000, {{"SSHPASS", c.password}});
    EXPECT_EQ(r.exitCode, c.exitCode) << dump(r).toStdString();
    if (c.exitCode == 0) {
      // The answer comes from the server's pool, not the appliance's.
      EXPECT_EQ(r.text(), b.stateDir() + "/srv/mnt/tank");
    }
  }

  // A refused login fails the whole transfer pipeline with sshpass's code.
  const Result r = b.run(Host::Appliance,
                         transferCommand("zfs send tank/data@never", 0, b.port(),
                                         recvInto("tank/data")),
                         60000, transferEnv("wrong"));
  EXPECT_NE(r.exitCode, 0) << dump(r).toStdString();

  QFile after(knownHosts);
  EXPECT_EQ(QFileInfo::exists(knownHosts), existedBefore);
  EXPECT_EQ(after.open(QIODevice::ReadOnly) ? after.readAll() : QByteArray(), knownBefore)
      << "the appliance wrote to the developer's known_hosts";
}

TEST_F(BenchReplication, ThrottleSlowsAndAllowsCancel) {
  Bench& b = bench();
  QString err;
  ASSERT_TRUE(b.fill(Host::Appliance, "tank/data", 3, 5, 4 * 1000 * 1000, &err))
      << err.toStdString();
  ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "tank/data@t1"}).ok());
  const QString sum = b.checksum(Host::Appliance, "tank/data", &err);

  ASSERT_TRUE(b.setThrottle("4M"));
  QElapsedTimer timer;
  timer.start();
  Result r = b.run(Host::Appliance,
                   transferCommand("zfs send tank/data@t1", 20000000, b.port(),
                                   recvInto("tank/slow")),
                   120000, transferEnv(b.password()));
  const qint64 ms = timer.elapsed();
  ASSERT_TRUE(r.ok()) << dump(r).toStdString();
  // 20 MB at 4 MiB/s cannot take less than about 4.8 s.
  EXPECT_GE(ms, 4000) << "throttled transfer took " << ms << " ms";
  EXPECT_EQ(b.checksum(Host::Server, "tank/slow", &err), sum) << err.toStdString();

  // While throttled a transfer runs long enough to be cancelled; a killed
  // transfer leaves no snapshot behind on the server.
  auto p = b.spawn(Host::Appliance,
                   transferCommand("zfs send tank/data@t1", 20000000, b.port(),
                                   recvInto("tank/cancelled")),
                   transferEnv(b.password()));
  ASSERT_TRUE(p);
  EXPECT_FALSE(p->waitForFinished(1500));
  p->kill();
  p->waitForFinished(5000);
  QThread::msleep(1000);
  EXPECT_TRUE(b.snapshots(Host::Server, "tank/cancelled").isEmpty());

  ASSERT_TRUE(b.clearThrottle());
  r = b.run(Host::Appliance,
            transferCommand("zfs send tank/data@t1", 20000000, b.port(), recvInto("tank/cancelled")),
            120000, transferEnv(b.password()));
  ASSERT_TRUE(r.ok()) << dump(r).toStdString();
  EXPECT_EQ(b.checksum(Host::Server, "tank/cancelled", &err), sum) << err.toStdString();
}

class BenchCompat : public zbench::BenchTest {
 protected:
  void SetUp() override {
    zbench::BenchTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Bench& b = bench();
    if (!b.snapshots(Host::Appliance, "tank/cmp").isEmpty()) return;
    QString err;
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", "tank/cmp"}).ok());
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", "tank/cmp/kid"}).ok());
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/cmp", 10, 2, 700 * 1000, &err)) << err.toStdString();
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "-r", "tank/cmp@a"}).ok());
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/cmp", 11, 1, 900 * 1000, &err)) << err.toStdString();
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "-r", "tank/cmp@b"}).ok());
  }
};

TEST_F(BenchCompat, ListSnapshotsOfOneDataset) {
  struct Case {
    QStringList args;
    int exitCode;
    QStringList lines;
  };
  const Case cases[] = {
      {{"-t", "snapshot", "tank/cmp", "-H", "-o", "name"}, 0, {"tank/cmp@a", "tank/cmp@b"}},
      {{"-H", "-o", "name", "-t", "snapshot", "tank/cmp"}, 0, {"tank/cmp@a", "tank/cmp@b"}},
      {{"-t", "snapshot", "-Ho", "name", "tank/cmp/kid"}, 0, {"tank/cmp/kid@a", "tank/cmp/kid@b"}},
      {{"-t", "snapshot", "-r", "tank/cmp", "-H", "-o", "name"},
       0,
       {"tank/cmp@a", "tank/cmp@b", "tank/cmp/kid@a", "tank/cmp/kid@b"}},
      {{"-t", "snapshot", "tank/cmp@a", "-H", "-o", "name"}, 0, {"tank/cmp@a"}},
      {{"-t", "snapshot", "tank/nope", "-H", "-o", "name"}, 1, {}},
      // Not a snapshot listing: passed through unchanged.
      {{"-H", "-o", "name", "-r", "tank/cmp"}, 0, {"tank/cmp", "tank/cmp/kid"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const Result r = bench().run(Host::Appliance, QStringList{"zfs", "list"} + c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << dump(r).toStdString();
    EXPECT_EQ(r.lines(), c.lines);
  }
  // The listing the engine uses keeps the human unit forms.
  const Result r = bench().run(Host::Appliance, {"zfs", "list", "-t", "snapshot", "tank/cmp", "-H",
                                                 "-o", "name,used,refer"});
  ASSERT_EQ(r.lines().size(), 2);
  EXPECT_TRUE(QRegularExpression("^tank/cmp@a\t[0-9.]+[KMG]?\t[0-9.]+[KMG]?$")
                  .match(r.lines()[0])
                  .hasMatch())
      << r.lines()[0].toStdString();
}

TEST_F(BenchCompat, ListExactNumbers) {
  Bench& b = bench();
  struct Case {
    QString dataset;
    QStringList args;
  };
  const Case cases[] = {
      {"tank/cmp", {"-H", "-p", "-o", "name,used,reservation", "tank/cmp"}},
      {"tank/cmp", {"-Hp", "-o", "name,used,refer", "tank/cmp"}},
      {"tank/cmp", {"-H", "-o", "name,used,refer", "-p", "tank/cmp"}},
      {"tank/cmp@a", {"-Hp", "-t", "snapshot", "-o", "name,used,refer", "tank/cmp"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const Result exact = b.run(Host::Appliance, QStringList{"zfs", "list"} + c.args);
    ASSERT_TRUE(exact.ok()) << dump(exact).toStdString();
    ASSERT_FALSE(exact.lines().isEmpty());
    const QStringList f = exact.lines()[0].split('\t');
    ASSERT_EQ(f.size(), 3);
    EXPECT_EQ(f[0], c.dataset);
    bool isNumber = false;
    const qint64 used = f[1].toLongLong(&isNumber);
    ASSERT_TRUE(isNumber) << f[1].toStdString();
    const QString human = b.run(Host::Appliance, {"zfs", "list", "-H", "-o", "used", "-t", "all",
                                                  c.dataset})
                              .text();
    // The short form is the exact count rounded to three digits.
    EXPECT_NEAR(double(used), fromHuman(human), std::max(1024.0, 0.01 * used)) << human.toStdString();
    f[2].toLongLong(&isNumber);
    EXPECT_TRUE(isNumber) << f[2].toStdString();
  }
  // The file data written is counted in full.
  const Result used = b.run(Host::Appliance, {"zfs", "list", "-Hp", "-o", "used", "tank/cmp"});
  EXPECT_GE(used.text().toLongLong(), 2 * 700 * 1000 + 900 * 1000);

  const Result table = b.run(Host::Appliance, {"zfs", "list", "-p", "-o", "name,used", "tank/cmp"});
  ASSERT_EQ(table.lines().size(), 2) << dump(table).toStdString();
  EXPECT_TRUE(QRegularExpression("^NAME +USED$").match(table.lines()[0]).hasMatch());
  EXPECT_TRUE(QRegularExpression("^tank/cmp +[0-9]+$").match(table.lines()[1]).hasMatch());
}

TEST_F(BenchCompat, SendEstimates) {
  Bench& b = bench();
  const qint64 full = realStreamSize(b, "-R tank/cmp@a");
  const qint64 incr = realStreamSize(b, "-R -i tank/cmp@a tank/cmp@b");
  ASSERT_GT(full, 1400000);
  ASSERT_GT(incr, 900000);
  struct Case {
    QStringList args;
    QString firstLine;
    qint64 size;
  };
  const Case cases[] = {
      {{"-RPnv", "tank/cmp@a"}, "full\ttank/cmp@a\t" + QString::number(full), full},
      {{"-RPnv", "tank/cmp@b", "-i", "tank/cmp@a"},
       "incremental\ttank/cmp@a\ttank/cmp@b\t" + QString::number(incr),
       incr},
      {{"-R", "-n", "-v", "-P", "-i", "tank/cmp@a", "tank/cmp@b"},
       "incremental\ttank/cmp@a\ttank/cmp@b\t" + QString::number(incr),
       incr},
      {{"-nvPR", "-itank/cmp@a", "tank/cmp@b"},
       "incremental\ttank/cmp@a\ttank/cmp@b\t" + QString::number(incr),
       incr},
      {{"-RPnv", "tank/cmp@b", "-i", "@a"},
       "incremental\t@a\ttank/cmp@b\t" + QString::number(incr),
       incr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const Result r = b.run(Host::Appliance, QStringList{"zfs", "send"} + c.args);
    ASSERT_EQ(r.exitCode, 0) << dump(r).toStdString();
    EXPECT_EQ(r.lines(), (QStringList{c.firstLine, "size\t" + QString::number(c.size)}));
  }

  struct Other {
    QStringList args;
    int exitCode;
    QString output;  // regular expression over the whole output
  };
  const Other others[] = {
      {{"-Rnv", "tank/cmp@a"},
       0,
       "^full send of tank/cmp@a estimated size is [0-9.]+M\ntotal estimated size is [0-9.]+M\n$"},
      {{"-Rn", "tank/cmp@a"}, 0, "^$"},
      // One snapshot only: no incremental stream, and no size line.
      {{"-RPnv", "tank/cmp@a", "-i", "tank/cmp@a"}, 1, "^$"},
      {{"-RPnv", "tank/cmp@zz"}, 1, "^$"},
  };
  for (const Other& c : others) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const Result r = b.run(Host::Appliance, QStringList{"zfs", "send"} + c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << dump(r).toStdString();
    EXPECT_TRUE(QRegularExpression(c.output).match(QString::fromUtf8(r.out)).hasMatch())
        << dump(r).toStdString();
  }
}

TEST_F(BenchCompat, ReceiveWithProperties) {
  Bench& b = bench();
  struct Case {
    QString target;
    QStringList recvArgs;
    int exitCode;
    QMap<QString, QString> props;  // expected values, when received
  };
  const Case cases[] = {
      {"tank/rx1",
       {"-o", "atime=off", "-o", "readonly=on", "-Fu"},
       0,
       {{"atime", "off"}, {"readonly", "on"}, {"mounted", "no"}}},
      {"tank/rx2", {"-oreadonly=off", "-oatime=off", "-F"}, 0,
       {{"atime", "off"}, {"readonly", "off"}, {"mounted", "yes"}}},
      {"tank/rx3", {"-Fu"}, 0, {{"atime", "on"}, {"readonly", "off"}, {"mounted", "no"}}},
      {"tank/rx4", {"-o", "bogus=1", "-Fu"}, 1, {}},
      {"tank/rx5", {"-o", "readonly", "-Fu"}, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recvArgs.join(' ').toStdString());
    const QString recv = "zfs recv " + c.recvArgs.join(' ') + " " + c.target;
    const Result r = b.sh(Host::Appliance, "set -o pipefail; zfs send tank/cmp@a | " + recv);
    EXPECT_EQ(r.exitCode == 0 ? 0 : 1, c.exitCode) << dump(r).toStdString();
    const QStringList snaps = b.snapshots(Host::Appliance, c.target);
    if (c.exitCode != 0) {
      // Refused before reading the stream, as OpenZFS does.
      EXPECT_TRUE(snaps.isEmpty());
      continue;
    }
    EXPECT_EQ(snaps, QStringList{c.target + "@a"});
    for (auto it = c.props.begin(); it != c.props.end(); ++it)
      EXPECT_EQ(prop(b, Host::Appliance, c.target, it.key()), it.value()) << it.key().toStdString();
  }
  // An incremental receive into a read-only copy keeps the properties.
  const Result r = b.sh(Host::Appliance,
                        "set -o pipefail; zfs send -Itank/cmp@a tank/cmp@b | "
                        "zfs recv  -o atime=off -o readonly=on -Fu tank/rx1");
  ASSERT_TRUE(r.ok()) << dump(r).toStdString();
  EXPECT_EQ(b.snapshots(Host::Appliance, "tank/rx1"), (QStringList{"tank/rx1@a", "tank/rx1@b"}));
  EXPECT_EQ(prop(b, Host::Appliance, "tank/rx1", "readonly"), "on");
}

class BenchLifecycle : public zbench::BenchTest {};

TEST_F(BenchLifecycle, SecondBenchIsIndependentAndLeavesNothing) {
  Bench& a = bench();
  Bench second;
  QString message;
  ASSERT_EQ(second.start(&message), Bench::StartResult::Up) << message.toStdString();
  EXPECT_NE(second.stateDir(), a.stateDir());
  EXPECT_NE(second.port(), a.port());
  EXPECT_NE(second.password(), a.password());

  // Same names on both benches, different pools.
  ASSERT_TRUE(a.run(Host::Server, {"zfs", "create", "tank/only-in-a"}).ok());
  EXPECT_TRUE(a.run(Host::Server, {"zfs", "list", "tank/only-in-a"}).ok());
  EXPECT_FALSE(second.run(Host::Server, {"zfs", "list", "tank/only-in-a"}).ok());
  EXPECT_TRUE(second.run(Host::Appliance, {"zfs", "list", "tank/home"}).ok());
  // Each appliance reaches its own server without -p.
  const Result r = second.run(Host::Appliance,
                              {"sshpass", "-e", "ssh", "-o", "StrictHostKeyChecking no",
                               "root@127.0.0.1", "zfs get -H -o value mountpoint tank"},
                              60000, {{"SSHPASS", second.password()}});
  EXPECT_EQ(r.text(), second.stateDir() + "/srv/mnt/tank") << dump(r).toStdString();
  ASSERT_TRUE(a.destroy(Host::Server, "tank/only-in-a", &message)) << message.toStdString();

  const QString dir = second.stateDir();
  const int port = second.port();
  const QMap<QString, qint64> pids = second.daemonPids();
  for (auto it = pids.begin(); it != pids.end(); ++it)
    EXPECT_TRUE(processAlive(it.value())) << it.key().toStdString();
  ASSERT_TRUE(second.stop(&message)) << message.toStdString();

  for (auto it = pids.begin(); it != pids.end(); ++it)
    EXPECT_FALSE(processAlive(it.value())) << it.key().toStdString() << " still runs";
  EXPECT_FALSE(QFileInfo::exists(dir));
  EXPECT_FALSE(listening(port));
  QFile mounts(QStringLiteral("/proc/self/mountinfo"));
  ASSERT_TRUE(mounts.open(QIODevice::ReadOnly));
  EXPECT_FALSE(mounts.readAll().contains(dir.toUtf8()));
  const Result loops = zbench::runLocal("losetup", {"-a"}, 10000);
  EXPECT_FALSE(loops.out.contains(dir.toUtf8()));
  // The first bench is untouched.
  EXPECT_TRUE(listening(a.port()));
  EXPECT_TRUE(a.run(Host::Server, {"zfs", "list", "tank"}).ok());
}

TEST_F(BenchLifecycle, BenchOfADeadOwnerIsRemoved) {
  struct Case {
    const char* name;
    bool killReaper;  // then only the stale-state cleaner can remove it
  };
  const Case cases[] = {{"owner killed", false}, {"owner and reaper killed", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QProcess owner;
    owner.start("sleep", {"300"});
    ASSERT_TRUE(owner.waitForStarted());
    const Result started = zbench::runLocal(
        "/bin/bash", {Bench::controller(), "start", "--owner", QString::number(owner.processId())},
        60000);
    ASSERT_TRUE(started.ok()) << dump(started).toStdString();
    const QString dir = started.text().section('\n', -1);
    const Result info = zbench::runLocal("/bin/bash", {Bench::controller(), "info", dir}, 10000);
    QList<qint64> pids;
    qint64 reaper = 0;
    for (const QString& line : info.lines()) {
      const qint64 pid = line.section('=', 1).toLongLong();
      if (line.startsWith("REAPER=")) reaper = pid;
      if (!line.startsWith("PORT=") && !line.startsWith("OWNER=") && pid > 0) pids << pid;
    }
    ASSERT_GE(pids.size(), 5) << dump(info).toStdString();
    if (c.killReaper) ::kill(pid_t(reaper), SIGKILL);
    owner.kill();
    owner.waitForFinished();
    if (c.killReaper) {
      QThread::msleep(300);
      const Result clean = zbench::runLocal("/bin/bash", {Bench::controller(), "cleanup"}, 60000);
      EXPECT_TRUE(clean.ok()) << dump(clean).toStdString();
    }
    QElapsedTimer t;
    t.start();
    while (QFileInfo::exists(dir) && t.elapsed() < 30000) QThread::msleep(100);
    EXPECT_FALSE(QFileInfo::exists(dir));
    for (qint64 pid : pids) EXPECT_FALSE(processAlive(pid)) << pid << " still runs";
  }
}
