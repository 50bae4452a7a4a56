// Replication throughput on the real-ZFS bench: a ~100 MB dataset sent
// through the full upload pipeline (zfs send | pv | sshpass ssh zfs recv,
// under script) against a plain `zfs send | zfs recv` inside the appliance,
// measured in the same run. Also prints the bench's start and teardown
// times. Prints why when this machine cannot host the bench.
#include "zbench.h"

#include <QElapsedTimer>

#include <cstdio>

using zbench::Bench;
using zbench::Host;

namespace {

constexpr int kFiles = 25;
constexpr qint64 kFileBytes = 4 * 1000 * 1000;

double seconds(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e9; }

}  // namespace

int main() {
  const QString why = Bench::skipReason();
  if (!why.isEmpty()) {
    std::printf("bench_replication: skipped: %s\n", qPrintable(why));
    return 0;
  }
  Bench b;
  QString message;
  QElapsedTimer t;
  t.start();
  if (b.start(&message) != Bench::StartResult::Up) {
    std::printf("bench_replication: bench did not start: %s\n", qPrintable(message));
    return 1;
  }
  const double startS = seconds(t);

  if (!b.fill(Host::Appliance, "tank/data", 7, kFiles, kFileBytes, &message) ||
      !b.run(Host::Appliance, {"zfs", "snapshot", "tank/data@m1"}).ok()) {
    std::printf("bench_replication: cannot prepare data: %s\n", qPrintable(message));
    return 1;
  }
  const qint64 stream =
      b.sh(Host::Appliance, "/run/zfs/zfs.real send tank/data@m1 | wc -c").text().toLongLong();

  t.restart();
  const zbench::Result raw = b.sh(Host::Appliance,
                                  "set -o pipefail; zfs send tank/data@m1 | zfs recv -Fu tank/copy",
                                  600000);
  const double rawS = seconds(t);

  const QString text =
      QStringLiteral("set -o pipefail; zfs send tank/data@m1 | pv -r -p -s %1 | sshpass -e ssh -p %2 "
                     "-o 'StrictHostKeyChecking no' -o ServerAliveInterval=15 -o ServerAliveCountMax=4 "
                     "root@127.0.0.1 \"/usr/sbin/zfs recv -o atime=off -o readonly=on -Fu tank/data\"")
          .arg(stream)
          .arg(b.port());
  t.restart();
  const zbench::Result piped =
      b.run(Host::Appliance, {"script", "-e", "-q", "-c", text, "/dev/null"}, 600000,
            {{"SHELL", "/bin/bash"}, {"SSHPASS", b.password()}});
  const double pipeS = seconds(t);

  const QString sumA = b.checksum(Host::Appliance, "tank/data", &message);
  const QString sumS = b.checksum(Host::Server, "tank/data", &message);

  t.restart();
  const bool stopped = b.stop(&message);
  const double stopS = seconds(t);

  if (!raw.ok() || !piped.ok() || sumA != sumS || !stopped) {
    std::printf("bench_replication: a run failed (raw %d, pipeline %d, checksums %s, stop %s)\n",
                raw.exitCode, piped.exitCode, sumA == sumS ? "equal" : "differ",
                stopped ? "ok" : qPrintable(message));
    return 1;
  }
  const double mb = double(stream) / 1e6;
  std::printf("bench start:      %.2f s\n", startS);
  std::printf("bench teardown:   %.2f s\n", stopS);
  std::printf("stream:           %.1f MB\n", mb);
  std::printf("baseline (zfs send | zfs recv, one host): %.1f MB/s (%.2f s)\n", mb / rawS, rawS);
  std::printf("full pipeline (pv, sshpass, ssh, script): %.1f MB/s (%.2f s)\n", mb / pipeS, pipeS);
  std::printf("pipeline / baseline throughput:           %.2f\n", rawS / pipeS);
  return 0;
}
