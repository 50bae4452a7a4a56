// vxrstatus on a terminal, watching the real service on the bench upload a
// dataset while the server's receives are throttled: the screen, read from
// a pseudo-terminal (script), shows the upload's bar rising frame after frame.
#include "hx2localserver.h"
#include "zbenchtest.h"

#include "../printqt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <iostream>


using zbench::Bench;
using zbench::Host;

namespace {

const int kColumns = 100;
const int kRows = 30;

// One frame as the terminal shows it: the drawing sequences removed.
QStringList frameLines(const QByteArray& frame)
{
    static const QRegularExpression sequence(QStringLiteral("\x1b\\[[0-9;?]*[A-Za-z]"));
    QString text = QString::fromUtf8(frame);
    text.remove(sequence).remove('\r');
    return text.split('\n', Qt::SkipEmptyParts);
}

class StatusViewOnBench : public zbench::BenchTest
{
protected:
    void TearDown() override
    {
        if (m_service && m_service->state() != QProcess::NotRunning) {
            m_service->kill();
            m_service->waitForFinished(5000);
        }
        if (!IsSkipped()) {
            bench().clearThrottle();
            bench().destroy(Host::Appliance, "tank/sview");
        }
    }

    QJsonObject call(const QString& cmd, const QJsonObject& params = QJsonObject())
    {
        QJsonObject reply;
        if (!HX2LocalServer::localRequest(m_socket, {{"cmd", cmd}, {"params", params}}, &reply, 60))
            return QJsonObject{{"err", -1}};
        return reply;
    }

    QTemporaryDir m_root;
    QString m_socket;
    std::unique_ptr<QProcess> m_service;
};

} // namespace

TEST_F(StatusViewOnBench, ShowsTheBarOfAThrottledUploadRising)
{
    Bench& b = bench();
    QString err;
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", "tank/sview"}).ok());
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/sview", 4100, 3, 4000000, &err)) << qPrintable(err);
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "tank/sview@vxr_1"}).ok());
    // About 12 MB read at 1 MiB/s: a dozen seconds, six progress updates.
    ASSERT_TRUE(b.setThrottle("1M"));

    ASSERT_TRUE(m_root.isValid());
    m_socket = m_root.filePath("agent.sock");
    ASSERT_TRUE(QDir().mkpath(m_root.filePath("kozu/etc/vxrclient")));
    QFile f(m_root.filePath("kozu/etc/vxrclient/config.json"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(QJsonObject{{"vg", "tank"}, {"lv", "home"}, {"localagentid", m_socket}}).toJson());
    f.close();
    m_service = b.spawn(Host::Appliance, {QStringLiteral(VXRCLIENT_BIN)}, {{"VXR_FILES_ROOT", m_root.path()}});
    ASSERT_TRUE(m_service);
    for (int i = 0; i < 150 && call("vxrclient_task_alload").value("err").toInt(-1) != 0; ++i)
        QThread::msleep(100);
    ASSERT_EQ(call("vxrclient_task_alload").value("err").toInt(-1), 0);

    // A settings read at the daily time itself passes that upload over, so
    // the view starts well before it.
    while (QTime::currentTime().second() >= 55)
        QThread::msleep(500);
    const QTime at = QTime::currentTime().addSecs(60);
    const QJsonObject server{{"host", b.serverHost()}, {"port", b.port()}, {"uid", "root"}, {"pwd", b.password()},
                             {"interval", 600},
                             {"schedule", QJsonArray{QJsonObject{{"hour", at.hour()}, {"minute", at.minute()}}}}};
    ASSERT_EQ(call("vxrclient_settingsave", {{"active", 1}, {"report", QJsonObject{{"interval", 600}}},
                                             {"server", server}, {"dmpaths", QJsonArray{"tank/sview"}}}),
              (QJsonObject{{"err", 0}}));

    // The view in a pseudo-terminal of kColumns x kRows, until the queue
    // has held the upload and is empty again.
    QProcess view;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TERM", "xterm");
    view.setProcessEnvironment(env);
    view.start("script", {"-q", "-e", "-c",
                          QStringLiteral("stty cols %1 rows %2 && exec %3 --watch --until-idle --interval 0.5 --log 3 %4")
                              .arg(kColumns).arg(kRows).arg(QStringLiteral(VXRSTATUS_BIN), m_socket),
                          "/dev/null"});
    const bool ended = view.waitForFinished(150000);
    if (!ended)
        view.kill();
    const QByteArray output = view.readAllStandardOutput();
    ASSERT_TRUE(ended) << output.right(3000).constData();
    EXPECT_EQ(view.exitCode(), 0);

    // A frame ends where the rest of the screen is cleared.
    const QRegularExpression task(QStringLiteral("^  #\\d+ upload tank/sview +(\\d+)%"));
    QList<int> percents;
    QStringList midway, last;
    for (int from = 0, end; (end = output.indexOf("\x1b[J", from)) >= 0; from = end + 3) {
        const QStringList lines = frameLines(output.mid(from, end - from));
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const QRegularExpressionMatch m = task.match(lines.at(i));
            if (!m.hasMatch())
                continue;
            const int percent = m.captured(1).toInt();
            // The bar takes the width of the terminal less its last column.
            const QString bar = lines.at(i + 1);
            EXPECT_EQ(bar.size(), kColumns - 1) << qPrintable(bar);
            EXPECT_EQ(bar.count('#'), percent * (kColumns - 5) / 100) << percent << " " << qPrintable(bar);
            if (percents.isEmpty() || percents.last() != percent)
                percents << percent;
            if (percent > 0 && percent < 100 && midway.isEmpty() && lines.at(i).contains(" avg "))
                midway = lines;
        }
        last = lines;
    }
    // The bar rose over several frames and never fell back.
    EXPECT_GE(percents.size(), 3) << ::testing::PrintToString(percents);
    EXPECT_TRUE(std::is_sorted(percents.cbegin(), percents.cend())) << ::testing::PrintToString(percents);
    EXPECT_GT(percents.last(), percents.first());
    ASSERT_FALSE(midway.isEmpty()) << "no frame showed the speed seen across polls";
    std::cout << "a frame midway through the upload:\n" << midway.join('\n').toStdString() << std::endl;
    EXPECT_TRUE(QRegularExpression(" left \\d+(s|m\\d\\ds)").match(midway.join('\n')).hasMatch()) << qPrintable(midway.join('\n'));
    // The last frame: the queue empty, the upload's record in the log.
    EXPECT_TRUE(last.contains("tasks     none")) << qPrintable(last.join('\n'));
    EXPECT_TRUE(last.join('\n').contains("Information  Upload Success")) << qPrintable(last.join('\n'));
    EXPECT_FALSE(output.contains(b.password().toUtf8()));
    // The cursor hidden for the watch is shown again at the end.
    EXPECT_TRUE(output.trimmed().endsWith("\x1b[?25h")) << output.right(40).toHex().constData();
}
