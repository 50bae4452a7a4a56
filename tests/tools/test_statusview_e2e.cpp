// vxrstatus on a terminal, watching the real service on the bench upload a
// dataset while the server's receives are throttled: the screen, read from
// a pseudo-terminal, shows the upload's bar rising frame after frame.
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

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The program in a pseudo-terminal of kColumns x kRows, TERM=xterm.
class PtyProgram
{
public:
    bool start(const QStringList& argv)
    {
        winsize size{};
        size.ws_col = kColumns;
        size.ws_row = kRows;
        std::vector<QByteArray> bytes;
        for (const QString& a : argv)
            bytes.push_back(a.toLocal8Bit());
        std::vector<char*> args;
        for (QByteArray& b : bytes)
            args.push_back(b.data());
        args.push_back(nullptr);
        m_pid = ::forkpty(&m_master, nullptr, nullptr, &size);
        if (m_pid == 0) {
            ::setenv("TERM", "xterm", 1);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        return m_pid > 0;
    }
    // Reads what the program wrote, for at most ms.
    void read(int ms)
    {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return;
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0)
            m_output.append(buf, int(n));
    }
    // SIGTERM, then the rest of the output; the exit status, or -1.
    int stop()
    {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            read(50);
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                for (int j = 0; j < 5; ++j)
                    read(20);
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }
    ~PtyProgram()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0)
            ::close(m_master);
    }
    const QByteArray& output() const { return m_output; }

private:
    int m_master = -1;
    pid_t m_pid = -1;
    QByteArray m_output;
};

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

    PtyProgram view;
    ASSERT_TRUE(view.start({QStringLiteral(VXRSTATUS_BIN), "--watch", "--interval", "0.5", "--log", "3", m_socket}));
    // Until a frame after the upload's shows the queue empty again.
    const QRegularExpression task(QStringLiteral("^  #\\d+ upload tank/sview +(\\d+)%"));
    QList<int> percents;
    QStringList midway;
    bool done = false;
    int parsed = 0;
    QElapsedTimer t;
    t.start();
    while (!done && t.elapsed() < 150000) {
        view.read(200);
        // A frame ends where the rest of the screen is cleared.
        int end;
        while ((end = view.output().indexOf("\x1b[J", parsed)) >= 0) {
            const QStringList lines = frameLines(view.output().mid(parsed, end - parsed));
            parsed = end + 3;
            for (int i = 0; i < lines.size(); ++i) {
                const QRegularExpressionMatch m = task.match(lines.at(i));
                if (!m.hasMatch())
                    continue;
                const int percent = m.captured(1).toInt();
                ASSERT_LT(i + 1, lines.size());
                const QString bar = lines.at(i + 1);
                // The bar takes the width of the terminal less its last column.
                EXPECT_EQ(bar.size(), kColumns - 1) << qPrintable(bar);
                EXPECT_EQ(bar.count('#'), percent * (kColumns - 5) / 100) << percent << " " << qPrintable(bar);
                if (percents.isEmpty() || percents.last() != percent)
                    percents << percent;
                if (percent > 0 && percent < 100 && midway.isEmpty() && lines.at(i).contains(" avg "))
                    midway = lines;
            }
            if (!percents.isEmpty() && lines.contains("tasks     none"))
                done = true;
        }
    }
    // A few more frames, for the log record the end of the upload writes.
    for (int i = 0; done && i < 15; ++i)
        view.read(200);
    EXPECT_EQ(view.stop(), 0);
    ASSERT_TRUE(done) << "percents " << ::testing::PrintToString(percents) << "\n" << view.output().right(3000).constData();

    // The bar rose over several frames and never fell back.
    EXPECT_GE(percents.size(), 3) << ::testing::PrintToString(percents);
    EXPECT_TRUE(std::is_sorted(percents.cbegin(), percents.cend())) << ::testing::PrintToString(percents);
    EXPECT_GT(percents.last(), percents.first());
    ASSERT_FALSE(midway.isEmpty()) << "no frame showed the speed seen across polls";
    std::cout << "a frame midway through the upload:\n" << midway.join('\n').toStdString() << std::endl;
    EXPECT_TRUE(QRegularExpression(" left \\d+(s|m\\d\\ds)").match(midway.join('\n')).hasMatch()) << qPrintable(midway.join('\n'));
    EXPECT_TRUE(view.output().contains("Upload Success"));
    EXPECT_FALSE(view.output().contains(b.password().toUtf8()));
    // The cursor hidden for the watch is shown again at the end.
    EXPECT_TRUE(view.output().endsWith("\x1b[?25h")) << view.output().right(40).toHex().constData();
}
