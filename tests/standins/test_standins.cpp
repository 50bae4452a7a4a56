#include "hx2http.h"
#include "hx2localserver.h"
#include "hx2runner.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QList<QByteArray> lines(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>();
}

// The first line a started stand-in prints ("listening WHERE"), within 10 s.
QByteArray listening(HX2Runner& runner)
{
    QByteArray out;
    for (int waited = 0; waited < 10000 && !out.contains('\n'); waited += 20) {
        runner.waitForFinished(20);
        out += runner.readOutput();
    }
    return out.startsWith("listening ") ? out.mid(10).trimmed() : QByteArray();
}

} // namespace

TEST(Standins, AgentAnswersSystemCurrinfoAsConfigured)
{
    QTemporaryDir dir;
    const QString results = dir.filePath("results.json");
    const QString record = dir.filePath("record");
    ASSERT_TRUE(writeFile(results, "{\"model\":\"first\"}"));
    HX2Runner agent(STANDIN_AGENT, {"--socket", dir.filePath("ok.sock"), "--results-file", results,
                                    "--record", record});
    HX2Runner failing(STANDIN_AGENT, {"--socket", dir.filePath("err.sock"), "--err", "1"});
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(failing.start());
    ASSERT_EQ(listening(agent), dir.filePath("ok.sock").toUtf8());
    ASSERT_EQ(listening(failing), dir.filePath("err.sock").toUtf8());

    const QJsonObject request{{"cmd", "system_currinfo"}};
    QJsonObject reply;
    ASSERT_TRUE(HX2LocalServer::localRequest(dir.filePath("ok.sock"), request, &reply, 15));
    EXPECT_EQ(reply.value("err").toInt(-1), 0);
    EXPECT_EQ(reply.value("results").toObject(), (QJsonObject{{"model", "first"}}));
    ASSERT_TRUE(writeFile(results, "{\"model\":\"second\"}"));
    ASSERT_TRUE(HX2LocalServer::localRequest(dir.filePath("ok.sock"), request, &reply, 15));
    EXPECT_EQ(reply.value("results").toObject().value("model"), "second");
    EXPECT_EQ(lines(record).first(), "{\"cmd\":\"system_currinfo\"}");

    ASSERT_TRUE(HX2LocalServer::localRequest(dir.filePath("err.sock"), request, &reply, 15));
    EXPECT_EQ(reply.value("err").toInt(), 1);
    EXPECT_FALSE(reply.contains("results"));

    agent.killTree();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("ok.sock")));
}

TEST(Standins, StatusProgramPrintsExitsAndRunsAway)
{
    QTemporaryDir dir;
    HX2RunOptions fromEnv;
    fromEnv.env.insert("STANDIN_HELPER_OUTPUT", "[1,2]");
    fromEnv.env.insert("STANDIN_HELPER_EXIT", "3");
    fromEnv.acceptedCodes = {3};
    HX2RunResult r = HX2Runner::run(STANDIN_VXRHELPER, {}, fromEnv);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "[1,2]");

    ASSERT_TRUE(writeFile(dir.filePath("out"), "not an array"));
    r = HX2Runner::run(STANDIN_VXRHELPER, {"--output-file", dir.filePath("out")}, fromEnv);
    EXPECT_EQ(r.out, "not an array");
    EXPECT_EQ(QJsonDocument::fromJson(HX2Runner::run(STANDIN_VXRHELPER, {}).out).array().size(), 1);

    HX2Runner runaway(STANDIN_VXRHELPER, {"--runaway"});
    ASSERT_TRUE(runaway.start());
    qint64 out = 0;
    for (int waited = 0; waited < 10000 && out < 4 * 1024 * 1024; waited += 10) {
        runaway.waitForFinished(10);
        out += runaway.readOutput().size();
    }
    EXPECT_TRUE(runaway.isRunning());
    EXPECT_GE(out, 4 * 1024 * 1024);
    runaway.killTree();
}

TEST(Standins, ReceiverRecordsEveryRequest)
{
    QTemporaryDir dir;
    const QString record = dir.filePath("record");
    HX2Runner receiver(STANDIN_RECEIVER, {"--record", record});
    ASSERT_TRUE(receiver.start());
    const QByteArray url = listening(receiver);
    ASSERT_FALSE(url.isEmpty());

    QJsonObject answer;
    ASSERT_TRUE(curlHttpPost(answer, QString::fromUtf8(url + "/report"), QJsonObject{{"cmd", "device_living"}}, nullptr));
    EXPECT_EQ(answer, (QJsonObject{{"err", 0}}));
    const QJsonObject line = QJsonDocument::fromJson(lines(record).first()).object();
    EXPECT_EQ(line.value("method"), "POST");
    EXPECT_EQ(line.value("target"), "/report");
    EXPECT_EQ(line.value("body"), "{\"cmd\":\"device_living\"}");
    EXPECT_EQ(line.value("headers").toObject().value("Content-Type"), "application/json");
    receiver.killTree();
}
