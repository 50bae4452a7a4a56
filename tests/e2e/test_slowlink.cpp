// Transfers over a slow link on the real-ZFS bench, through the engine
// driver and dsrecover: compressed streams that arrive byte for byte, a
// server without the decompressor, a compressor killed mid-stream, and the
// bandwidth limit with a window that ends while the stream runs.
#include "driverflow.h"
#include "hx2utils.h"
#include "recoverplan.h"
#include "vxroplog.h"
#include "vxrpipeline.h"

#include <QRegularExpression>

#include <cstdio>

namespace {

class SlowLinkFlow : public DriverFlow
{
protected:
    void TearDown() override
    {
        if (!IsSkipped() && m_hidden)
            bench().sh(Host::Server, "umount /usr/bin/zstd");
        DriverFlow::TearDown();
    }

    // Makes the server's zstd unrunnable in its namespace only.
    void hideServerZstd()
    {
        ASSERT_TRUE(bench().sh(Host::Server, "test \"$(command -v zstd)\" = /usr/bin/zstd && "
                                             "mount --bind /dev/null /usr/bin/zstd").ok());
        m_hidden = true;
    }

    // A dataset of text and zero-filled files, one snapshot after each.
    void compressible(Host host, const QString& ds, int snaps, int megabytes)
    {
        Bench& b = bench();
        ASSERT_TRUE(b.run(host, {"zfs", "create", "-p", ds}).ok()) << qPrintable(ds);
        const QString m = b.mountpoint(host, ds);
        for (int i = 1; i <= snaps; ++i) {
            const zbench::Result r = b.sh(
                host, QStringLiteral("seq -f 'line %.0f of the appliance backup, snapshot %1' 1 100000000 | "
                                     "head -c %2 > '%3/text%1' && head -c %2 /dev/zero > '%3/zeros%1'")
                          .arg(i).arg(megabytes * 500000).arg(m));
            ASSERT_TRUE(r.ok()) << r.err.constData();
            ASSERT_TRUE(b.run(host, {"zfs", "snapshot", ds + "@vxr_" + QString::number(i)}).ok());
        }
    }

    QString sum(Host host, const QString& ds)
    {
        QString err;
        const QString s = bench().checksum(host, ds, &err);
        EXPECT_FALSE(s.isEmpty()) << qPrintable(ds) << ": " << qPrintable(err);
        return s;
    }

    // Runs the queue empty.
    void drainQueue(int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs && !tasks().isEmpty())
            QThread::msleep(200);
        EXPECT_TRUE(tasks().isEmpty()) << "the queue did not empty; output:\n" << m_driver.out.constData();
    }

    void upload(const QString& ds)
    {
        ASSERT_FALSE(ask("upload " + ds.toUtf8().toPercentEncoding("/@")).toObject().value("indexes").toArray().isEmpty());
    }

    bool m_hidden = false;
};

// Compressed both ways: what was uploaded comes back byte for byte; the
// pipelines ran the compressor, the server was asked for it once.
TEST_F(SlowLinkFlow, CompressedUploadAndRestoreArriveWhole)
{
    Bench& b = bench();
    compressible(Host::Appliance, "tank/sla", 2, 4);
    const QString original = sum(Host::Appliance, "tank/sla");
    m_config = QJsonObject{{"compress", "zstd"}};
    startDriver("compressed", {"tank/sla"}, b.password());
    waitForUploads(120000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadSuccess, 9}}));
    EXPECT_EQ(sum(Host::Server, "tank/sla"), original);
    EXPECT_EQ(b.snapshots(Host::Server, "tank/sla"), b.snapshots(Host::Appliance, "tank/sla"));

    QString err;
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/sla", &err)) << qPrintable(err);
    const QJsonObject reply =
        ask(QStringLiteral("restore %1 %2 root %3").arg(b.serverHost()).arg(b.port()).arg(b.password()).toUtf8())
            .toObject();
    ASSERT_TRUE(reply.value("ok").toBool()) << qPrintable(QJsonDocument(reply).toJson());
    drainQueue(120000);
    EXPECT_EQ(records().last(), (Record{VxrLog::kRestoreSuccess, 9}));
    EXPECT_EQ(sum(Host::Appliance, "tank/sla"), original);
    EXPECT_EQ(b.snapshots(Host::Appliance, "tank/sla"), b.snapshots(Host::Server, "tank/sla"));

    drain();
    const QString out = QString::fromUtf8(m_driver.out);
    EXPECT_EQ(out.count("vxr-codec-present"), 1) << qPrintable(out);
    EXPECT_TRUE(out.contains("| zstd -1 -T1 -q -c | sshpass")) << qPrintable(out);
    EXPECT_TRUE(out.contains("| zstd -d -q -c | pv ")) << qPrintable(out);
    EXPECT_FALSE(out.contains("goes uncompressed")) << qPrintable(out);
}

// The server cannot run zstd: the upload goes plain, arrives whole, and
// the trace says why; dsrecover does the same with its option, and
// decompresses what a server with zstd sends.
TEST_F(SlowLinkFlow, ServerWithoutDecompressorGetsPlainStream)
{
    Bench& b = bench();
    compressible(Host::Appliance, "tank/slb", 1, 2);
    hideServerZstd();
    m_config = QJsonObject{{"compress", "zstd"}};
    startDriver("nozstd", {"tank/slb"}, b.password());
    waitForUploads(120000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadSuccess, 9}}));
    EXPECT_EQ(sum(Host::Server, "tank/slb"), sum(Host::Appliance, "tank/slb"));
    drain();
    const QString line = QStringLiteral("uncompressed = zstd cannot be run on root@127.0.0.1:%1: the stream goes "
                                        "uncompressed").arg(b.port());
    EXPECT_EQ(QString::fromUtf8(m_driver.out).count(line), 1) << m_driver.out.constData();
    EXPECT_FALSE(m_driver.out.contains("zstd -1")) << m_driver.out.constData();

    // dsrecover into a name of its own, from a server dataset made there.
    compressible(Host::Server, "tank/slc", 2, 2);
    struct { bool hidden; QStringList lines; } runs[] = {
        {true, {QStringLiteral("云机上无法运行 zstd，改为不压缩传输"), Recover::kRestoringFirst, Recover::kRestoringAll,
                Recover::kRestoreDone}},
        {false, {Recover::kRestoringFirst, Recover::kRestoringAll, Recover::kRestoreDone}},
    };
    for (const auto& run : runs) {
        if (!run.hidden) {
            ASSERT_TRUE(b.sh(Host::Server, "umount /usr/bin/zstd").ok());
            m_hidden = false;
        }
        QString err;
        b.destroy(Host::Appliance, "tank/slc", &err);
        const zbench::Result r = b.run(
            Host::Appliance,
            {"bash", "-c", "exec " + toShellArgEscaped(DSRECOVER_BIN) + " 127.0.0.1 root \"$P\" tank slc --compress zstd"},
            300000, {{"P", b.password()}});
        EXPECT_EQ(r.exitCode, 0) << r.out.constData();
        EXPECT_EQ(r.lines(), run.lines);
        EXPECT_EQ(sum(Host::Appliance, "tank/slc"), sum(Host::Server, "tank/slc"));
    }
    b.destroy(Host::Appliance, "tank/slc");
}

// The appliance's compressor killed while the stream runs: the upload
// fails as any broken stream does.
TEST_F(SlowLinkFlow, KilledCompressorFailsTheUpload)
{
    Bench& b = bench();
    makeDataset("tank/sld", 500, 1, 30000000);
    ASSERT_TRUE(b.setThrottle("1M"));
    m_config = QJsonObject{{"compress", "zstd"}};
    startDriver("killzstd", {"tank/sld"}, b.password());
    ASSERT_TRUE(waitForTransfer(60000)) << m_driver.out.constData();
    qint64 zstd = 0;
    for (qint64 p : HX2Runner::descendants(m_driver.pid)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "zstd")
            zstd = p;
    }
    ASSERT_GT(zstd, 0);
    ::kill(static_cast<pid_t>(zstd), SIGKILL);
    waitForUploads(60000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadFail, 3}}));
    EXPECT_EQ(lastBackup().value("result").toInt(), 3);
}

// pv's rate in bytes a second, from its text ("2.00MiB/s").
double bytesPerSecond(const QString& speed)
{
    static const QRegularExpression form(QStringLiteral("^([0-9.]+)([KMG]?)i?B/s$"));
    const QRegularExpressionMatch m = form.match(speed);
    if (!m.hasMatch())
        return -1;
    const QString unit = m.captured(2);
    const double scale = unit == "K" ? 1024.0 : unit == "M" ? 1048576.0 : unit == "G" ? 1073741824.0 : 1.0;
    return m.captured(1).toDouble() * scale;
}

// A limit of 2 MiB/s until the engine's next minute, none after: while
// the window holds, the stream runs within 10% of the limit, by pv's own
// readings and by the bytes over time; once it ends, the running meter is
// told and the rest goes at the link's speed.
TEST_F(SlowLinkFlow, BandwidthWindowEndsDuringTheTransfer)
{
    Bench& b = bench();
    makeDataset("tank/sle", 600, 1, 64000000);
    if (QTime::currentTime().second() >= 57)
        QThread::sleep(4);
    const QDateTime now = QDateTime::currentDateTime();
    // About 25 s of the stream under the limit: the readings of a 1%
    // progress step, up to a second old, then weigh little.
    m_clockSecond = 34;
    m_watchMs = 20;
    m_config = QJsonObject{
        {"bwlimit", QJsonArray{QJsonObject{{"from", now.toString("HH:mm")},
                                           {"to", now.addSecs(60).toString("HH:mm")},
                                           {"rate", "2M"}},
                               QJsonObject{{"rate", "0"}}}}};
    startDriver("bwlimit", {}, b.password());
    QElapsedTimer clock;
    clock.start();
    const qint64 windowEndsMs = (60 - m_clockSecond) * 1000;
    upload("tank/sle");

    // Every change of the head task, with when it was seen.
    struct Seen { qint64 ms; qint64 currsize; QString speed; };
    QList<Seen> seen;
    int parsed = 0;
    bool started = false;
    bool done = false;
    while (!done && clock.elapsed() < 180000) {
        drain();
        const QList<QByteArray> lines = m_driver.out.split('\n');
        for (; parsed < lines.size() - 1; ++parsed) {
            const int at = lines.at(parsed).indexOf("@@watch ");
            if (at < 0)
                continue;
            const QJsonArray queue = QJsonDocument::fromJson(lines.at(parsed).mid(at + 8)).array();
            started = started || !queue.isEmpty();
            done = started && queue.isEmpty();
            if (queue.isEmpty())
                continue;
            const QJsonObject head = queue.at(0).toObject();
            seen << Seen{clock.elapsed(), head.value("currsize").toVariant().toLongLong(), head.value("speed").toString()};
        }
        m_driver.process->waitForReadyRead(10);
    }
    const qint64 endMs = clock.elapsed();
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadSuccess, 9}}));
    EXPECT_EQ(sum(Host::Server, "tank/sle"), sum(Host::Appliance, "tank/sle"));

    // The limited part: from the first bytes to the last reading before
    // the window ended.
    const double limit = 2.0 * 1024 * 1024;
    int first = -1, last = -1;
    double pvSum = 0;
    int pvReadings = 0;
    for (int i = 0; i < seen.size(); ++i) {
        if (seen.at(i).currsize > 0 && first < 0)
            first = i;
        if (seen.at(i).ms < windowEndsMs - 500 && seen.at(i).currsize > 0)
            last = i;
        // pv's readings once the stream runs (its first may span ssh's
        // login); each is the rate of its last second.
        if (first >= 0 && i > first && seen.at(i).ms < windowEndsMs - 500) {
            const double pvRate = bytesPerSecond(seen.at(i).speed);
            EXPECT_GT(pvRate, 0) << qPrintable(seen.at(i).speed);
            pvSum += pvRate;
            ++pvReadings;
        }
    }
    ASSERT_GE(first, 0) << m_driver.out.left(4000).constData();
    ASSERT_GT(seen.at(last).ms - seen.at(first).ms, 4000) << "too short a limited part to measure";
    ASSERT_GE(pvReadings, 2);
    EXPECT_NEAR(pvSum / pvReadings, limit, 0.1 * limit);
    const double measured = double(seen.at(last).currsize - seen.at(first).currsize) * 1000.0
        / double(seen.at(last).ms - seen.at(first).ms);
    EXPECT_NEAR(measured, limit, 0.1 * limit);

    // The rest went unlimited: far sooner than the limit would allow, even
    // with the poll it takes to notice the window's end.
    const qint64 rest = 64000000 - seen.at(last).currsize;
    ASSERT_GT(rest, 8000000) << "the window ended too late in the stream";
    EXPECT_LT(double(endMs - windowEndsMs) / 1000.0, rest / limit / 1.5);
    std::printf("limited: %.3f MiB/s by bytes over %.1f s, %.3f MiB/s by pv; the last %.1f MB %.1f s after the window\n",
                measured / 1048576, (seen.at(last).ms - seen.at(first).ms) / 1000.0, pvSum / pvReadings / 1048576,
                rest / 1e6, (endMs - windowEndsMs) / 1000.0);
    EXPECT_TRUE(m_driver.out.contains("pv '-R'")) << m_driver.out.constData();
    EXPECT_TRUE(m_driver.out.contains("'-L' '" + QByteArray::number(VxrPipeline::kLiftedRate) + "' => exit 0"))
        << m_driver.out.constData();
}

} // namespace
