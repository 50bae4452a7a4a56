// Runs the real vxrclient program. Its files are re-rooted under a temporary
// directory (VXR_FILES_ROOT), so nothing touches the machine's /kozu or
// /var/log.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <thread>

#ifndef VXRCLIENT_BIN
#error "VXRCLIENT_BIN must name the vxrclient program"
#endif

namespace {

constexpr int kWaitMs = 15000;

class BinaryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        agentId = m_root.path() + "/run/kozu/localsockets/.ls.vxrclient.agent.";
        ASSERT_TRUE(QDir().mkpath(QFileInfo(agentId).path()));
        defaultConfig = m_root.path() + "/kozu/etc/vxrclient/config.json";
    }
    void TearDown() override
    {
        if (m_proc && m_proc->state() != QProcess::NotRunning) {
            m_proc->kill();
            m_proc->waitForFinished(kWaitMs);
        }
    }

    // A configuration that lets the service run (a non-empty local agent id)
    // and, with debugging on, announce itself with "Local agent: ".
    QJsonObject runnable() const
    {
        return QJsonObject{{"debugging", true}, {"appname", "vxrclient"}, {"localagentid", agentId},
                           {"vg", "tank"}, {"lv", "home"}};
    }
    void writeConfig(const QString& path, const QJsonObject& config)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(config).toJson());
    }

    void start(const QStringList& args)
    {
        m_proc = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VXR_FILES_ROOT", m_root.path());
        m_proc->setProcessEnvironment(env);
        m_proc->setProgram(QStringLiteral(VXRCLIENT_BIN));
        m_proc->setArguments(args);
        m_proc->start();
        ASSERT_TRUE(m_proc->waitForStarted(kWaitMs)) << m_proc->errorString().toStdString();
        m_out.clear();
    }

    // Collects standard output until it contains text, the process ends or
    // the wait runs out; true when the text was seen.
    bool waitForOutput(const QString& text)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            m_out += QString::fromUtf8(m_proc->readAllStandardOutput());
            if (m_out.contains(text))
                return true;
            if (m_proc->state() == QProcess::NotRunning || t.elapsed() > kWaitMs)
                return false;
            m_proc->waitForReadyRead(100);
        }
    }

    // Waits for the end; the exit status, or -1 when it did not end.
    int waitForExit()
    {
        if (!m_proc->waitForFinished(kWaitMs))
            return -1;
        m_out += QString::fromUtf8(m_proc->readAllStandardOutput());
        if (m_proc->exitStatus() != QProcess::NormalExit)
            return -2;
        return m_proc->exitCode();
    }

    // Only a running child is signalled: the id of an ended one is 0, which
    // kill() would take as this test's own process group.
    void signal(int sig)
    {
        ASSERT_EQ(m_proc->state(), QProcess::Running);
        const pid_t pid = pid_t(m_proc->processId());
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::kill(pid, sig), 0);
    }

    QTemporaryDir m_root;
    QString agentId;
    QString defaultConfig;
    std::unique_ptr<QProcess> m_proc;
    QString m_out;
};

} // namespace

TEST_F(BinaryTest, HelpListsTheOptionsWithTheirTexts)
{
    start({"--help"});
    EXPECT_EQ(waitForExit(), 0);
    const QStringList lines = m_out.split('\n');
    const char* const patterns[] = {
        "^\\s+-h, --help\\s+\\S",
        "^\\s+--cfg <filepath>\\s+指定配置文件$",
        "^\\s+--upload\\s+立即上传备份$",
        "^\\s+--restore\\s+完整恢复备份$",
    };
    for (const char* p : patterns) {
        const QRegularExpression re(QString::fromUtf8(p));
        bool found = false;
        for (const QString& line : lines)
            found = found || re.match(line).hasMatch();
        EXPECT_TRUE(found) << p << "\n" << m_out.toStdString();
    }
}

TEST_F(BinaryTest, UnknownOptionIsRefusedByTheParser)
{
    writeConfig(defaultConfig, runnable());
    start({"--no-such-option"});
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_TRUE(QString::fromUtf8(m_proc->readAllStandardError()).contains("no-such-option"));
    EXPECT_FALSE(m_out.contains("Local agent: "));
}

TEST_F(BinaryTest, NoUsableAgentIdExitsWith255)
{
    // The default configuration would run; each case names another file
    // with "cfg", which must be the one used.
    writeConfig(defaultConfig, runnable());
    const QString cfg = m_root.path() + "/given/config.json";
    struct Case
    {
        const char* name;
        enum { Json, Text, Directory, Missing } kind;
        QJsonObject config;
        const char* text;
    };
    QJsonObject emptyId = runnable();
    emptyId.insert("localagentid", "");
    QJsonObject noId = runnable();
    noId.remove("localagentid");
    const Case cases[] = {
        {"empty localagentid", Case::Json, emptyId, nullptr},
        {"no localagentid", Case::Json, noId, nullptr},
        {"broken JSON", Case::Text, {}, "{\"localagentid\": \"x\","},
        {"directory instead of a file", Case::Directory, {}, nullptr},
        {"missing file", Case::Missing, {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(cfg);
        QDir(cfg).removeRecursively();
        switch (c.kind) {
        case Case::Json:
            writeConfig(cfg, c.config);
            break;
        case Case::Text: {
            QDir().mkpath(QFileInfo(cfg).path());
            QFile f(cfg);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.text);
            break;
        }
        case Case::Directory:
            ASSERT_TRUE(QDir().mkpath(cfg));
            break;
        case Case::Missing:
            break;
        }
        start({"--cfg", cfg});
        EXPECT_EQ(waitForExit(), 255);
        EXPECT_FALSE(m_out.contains("Local agent: ")) << m_out.toStdString();
    }
}

TEST_F(BinaryTest, ConfigurationFileChoice)
{
    QJsonObject emptyId = runnable();
    emptyId.insert("localagentid", "");
    const QString cfg = m_root.path() + "/given.json";

    // Without "cfg" the default file is read: it decides both ways.
    writeConfig(defaultConfig, emptyId);
    start({});
    EXPECT_EQ(waitForExit(), 255);

    writeConfig(defaultConfig, runnable());
    start({});
    ASSERT_TRUE(waitForOutput("Local agent: " + agentId + "\n")) << m_out.toStdString();
    signal(SIGTERM);
    EXPECT_EQ(waitForExit(), 0);

    // With "cfg" the named file runs even though the default would stop.
    writeConfig(defaultConfig, emptyId);
    writeConfig(cfg, runnable());
    start({"--cfg", cfg});
    ASSERT_TRUE(waitForOutput("Local agent: " + agentId + "\n")) << m_out.toStdString();
    signal(SIGTERM);
    EXPECT_EQ(waitForExit(), 0);
}

TEST_F(BinaryTest, QuitSignalsEndTheLoopWithZero)
{
    const QString cfg = m_root.path() + "/config.json";
    writeConfig(cfg, runnable());
    struct Case
    {
        const char* name;
        QStringList extraArgs;
        int sig;
    };
    const Case cases[] = {
        {"SIGTERM", {}, SIGTERM},
        {"SIGINT", {}, SIGINT},
        {"restore is accepted and the service runs", {"--restore"}, SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(QStringList{"--cfg", cfg} + c.extraArgs);
        const QString ready = "Local agent: " + agentId + "\n";
        ASSERT_TRUE(waitForOutput(ready)) << m_out.toStdString();
        signal(c.sig);
        EXPECT_EQ(waitForExit(), 0);
        EXPECT_EQ(m_out, ready + "Wait for quit ...\n");
    }
}

TEST_F(BinaryTest, HangupAndBrokenPipeAreIgnoredSilently)
{
    const QString cfg = m_root.path() + "/config.json";
    writeConfig(cfg, runnable());
    start({"--cfg", cfg});
    const QString ready = "Local agent: " + agentId + "\n";
    ASSERT_TRUE(waitForOutput(ready)) << m_out.toStdString();

    for (int sig : {SIGHUP, SIGPIPE, SIGHUP}) {
        signal(sig);
        // A stopped service would end within this wait; a talking one would
        // have written something.
        EXPECT_FALSE(m_proc->waitForFinished(700)) << "signal " << sig << " ended the service";
        m_out += QString::fromUtf8(m_proc->readAllStandardOutput());
        EXPECT_EQ(m_out, ready) << "signal " << sig;
    }
    signal(SIGTERM);
    EXPECT_EQ(waitForExit(), 0);
    EXPECT_EQ(m_out, ready + "Wait for quit ...\n");
}
