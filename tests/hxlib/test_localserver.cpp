#include "hx2localserver.h"
#include "hx2rpcpacket.h"
#include "rpctestsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QJsonObject obj(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

QString dump(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

} // namespace

class ServiceRouter : public HX2TodoRouter
{
    Q_OBJECT
private slots:
    void echo(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (cmdObject.contains("help"))
            return;
        retObject->insert("params", cmdObject.value("params"));
        envObject->setErr(0, QString());
    }
    void fail(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        (void)retObject;
        (void)cmdObject;
        envObject->setErr(42, QStringLiteral("bad thing"));
    }
    // Sets no outcome at all.
    void silent(QJsonObject*, QJsonObject, HX2Cabinet*) {}
    void steps(QJsonObject*, QJsonObject, HX2Cabinet* envObject)
    {
        envObject->add("place", "action", true, "done");
        envObject->setErr(0, QString());
    }
    void slow(QJsonObject*, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        QThread::msleep(ulong(cmdObject.value("params").toObject().value("ms").toInt()));
        envObject->setErr(0, QString());
    }
    void protocol(QJsonObject* retObject, QJsonObject, HX2Cabinet* envObject)
    {
        retObject->insert("protocol", envObject->value("protocol"));
        envObject->setErr(0, QString());
    }
    void __LS__local(QJsonObject* retObject, QJsonObject, HX2Cabinet* envObject)
    {
        retObject->insert("via", "ls");
        envObject->setErr(0, QString());
    }
};

class LocalServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath("run/agent.sock");
        host = std::make_unique<ServerHost>(&router, debugging());
        ASSERT_TRUE(host->start(path));
    }
    void TearDown() override { host.reset(); }
    virtual bool debugging() const { return false; }

    QJsonObject request(const QJsonObject& req, qint64 timeout = 5)
    {
        QJsonObject reply{{"untouched", true}};
        EXPECT_TRUE(HX2LocalServer::localRequest(path, req, &reply, timeout)) << dump(req).toStdString();
        return reply;
    }

    QTemporaryDir dir;
    QString path;
    ServiceRouter router;
    std::unique_ptr<ServerHost> host;
};

class LocalServerDebugTest : public LocalServerTest
{
protected:
    bool debugging() const override { return true; }
};

TEST_F(LocalServerTest, RepliesFromTheJournal)
{
    struct Case {
        const char* name;
        QJsonObject request;
        QJsonObject reply;
    };
    const std::vector<Case> cases = {
        {"handler result and code 0", obj(R"({"cmd":"echo","params":{"a":[1,"x"]}})"),
         obj(R"({"params":{"a":[1,"x"]},"err":0})")},
        {"failure code and message", obj(R"({"cmd":"fail"})"), obj(R"({"err":42,"errmsg":"bad thing"})")},
        {"no outcome set", obj(R"({"cmd":"silent"})"), obj(R"({"err":9999})")},
        {"unknown command", obj(R"({"cmd":"nope"})"),
         QJsonObject{{"err", 9885}, {"errmsg", QStringLiteral("被调用的方法不存在: nope")}}},
        {"missing cmd", obj(R"({"params":{}})"),
         QJsonObject{{"err", 9885}, {"errmsg", QStringLiteral("被调用的方法不存在: ")}}},
        {"blank cmd is reported untrimmed", obj(R"({"cmd":"  "})"),
         QJsonObject{{"err", 9885}, {"errmsg", QStringLiteral("被调用的方法不存在:   ")}}},
        {"__LS__ slot under the plain name", obj(R"({"cmd":"local"})"), obj(R"({"via":"ls","err":0})")},
        {"request keys are not copied back", obj(R"({"cmd":"echo","seq":5,"_tag":1})"), obj(R"({"err":0})")},
        {"connection environment", obj(R"({"cmd":"protocol"})"), obj(R"({"protocol":128,"err":0})")},
        {"no elapsed without debugging", obj(R"({"cmd":"steps"})"), obj(R"({"err":0})")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(request(c.request), c.reply) << c.name;
}

TEST_F(LocalServerTest, EachRequestStartsFromAFreshJournal)
{
    RawClient client;
    ASSERT_TRUE(client.connectTo(path));
    const std::vector<std::pair<const char*, QJsonObject>> sequence = {
        {"fail", obj(R"({"err":42,"errmsg":"bad thing"})")},
        {"silent", obj(R"({"err":9999})")},
        {"echo", obj(R"({"err":0})")},
        {"silent", obj(R"({"err":9999})")},
    };
    for (const auto& step : sequence) {
        ASSERT_TRUE(client.send(frameOf(QJsonObject{{"cmd", step.first}})));
        QJsonObject reply;
        ASSERT_TRUE(client.readFrame(reply)) << step.first;
        EXPECT_EQ(reply, step.second) << step.first;
    }
}

TEST_F(LocalServerDebugTest, DebuggingAddsElapsedAndJournals)
{
    const QJsonObject slow = request(obj(R"({"cmd":"slow","params":{"ms":120}})"));
    EXPECT_EQ(slow.value("err").toInt(-1), 0);
    ASSERT_TRUE(slow.value("elapsed").isDouble()) << dump(slow).toStdString();
    EXPECT_GE(slow.value("elapsed").toInt(), 120);
    EXPECT_FALSE(slow.contains("journals"));

    const QJsonObject steps = request(obj(R"({"cmd":"steps"})"));
    ASSERT_EQ(steps.value("journals").toArray().size(), 1);
    EXPECT_EQ(steps.value("journals").toArray().at(0).toObject().value("msg").toString(), "done");

    const QJsonObject unknown = request(obj(R"({"cmd":"nope"})"));
    EXPECT_EQ(unknown.value("err").toInt(), 9885);
    EXPECT_EQ(unknown.value("errmsg").toString(), QStringLiteral("被调用的方法不存在: nope"));
    EXPECT_TRUE(unknown.value("elapsed").isDouble());

    // "elapsed" covers the request, not the idle time before it on the
    // same connection.
    RawClient client;
    ASSERT_TRUE(client.connectTo(path));
    ASSERT_TRUE(client.send(frameOf(obj(R"({"cmd":"echo"})"))));
    QJsonObject reply;
    ASSERT_TRUE(client.readFrame(reply));
    const int idleMs = 1000;
    QThread::msleep(idleMs);
    ASSERT_TRUE(client.send(frameOf(obj(R"({"cmd":"echo"})"))));
    ASSERT_TRUE(client.readFrame(reply));
    EXPECT_LT(reply.value("elapsed").toInt(), idleMs) << dump(reply).toStdString();
}

TEST_F(LocalServerTest, FramingOnTheWire)
{
    // Two requests in one write: both answered, in order.
    {
        RawClient c;
        ASSERT_TRUE(c.connectTo(path));
        ASSERT_TRUE(c.send(frameOf(obj(R"({"cmd":"echo","params":1})")) + frameOf(obj(R"({"cmd":"echo","params":2})"))));
        QJsonObject r1, r2;
        ASSERT_TRUE(c.readFrame(r1));
        ASSERT_TRUE(c.readFrame(r2));
        EXPECT_EQ(r1, obj(R"({"params":1,"err":0})"));
        EXPECT_EQ(r2, obj(R"({"params":2,"err":0})"));
    }
    // A keep-alive and an empty-bodied frame before a request get no reply.
    {
        RawClient c;
        ASSERT_TRUE(c.connectTo(path));
        ASSERT_TRUE(c.send(HX2RpcPacket::keepAlive() + headerOf(2, 0) + "{}" + frameOf(obj(R"({"cmd":"echo","params":"a"})"))));
        QJsonObject r;
        ASSERT_TRUE(c.readFrame(r));
        EXPECT_EQ(r, obj(R"({"params":"a","err":0})"));
        EXPECT_TRUE(c.staysQuiet(200));
    }
    // A request split over many writes is answered once, after its last byte.
    {
        RawClient c;
        ASSERT_TRUE(c.connectTo(path));
        const QByteArray frame = frameOf(obj(R"({"cmd":"echo","params":{"text":"split over many writes"}})"), "ATTACH");
        for (int at = 0; at < frame.size() - 1; at += 5) {
            ASSERT_TRUE(c.send(frame.mid(at, qMin(5, frame.size() - 1 - at))));
            QThread::msleep(2);
        }
        EXPECT_TRUE(c.staysQuiet(150));
        ASSERT_TRUE(c.send(frame.right(1)));
        QJsonObject r;
        ASSERT_TRUE(c.readFrame(r));
        EXPECT_EQ(r.value("params").toObject().value("text").toString(), "split over many writes");
        EXPECT_TRUE(c.staysQuiet(100));
    }
}

TEST_F(LocalServerTest, BadInputEndsTheConnectionOnly)
{
    host->server()->setFrameTimeout(500);
    const qint64 cap = HX2RpcPacket::MaxPeerPayload;
    const QByteArray echo = frameOf(obj(R"({"cmd":"echo"})"));
    struct Case {
        const char* name;
        QByteArray bytes;
        int replies; // replies expected before the server closes
        bool waits;  // kept until the frame time-out, then dropped
    };
    const std::vector<Case> cases = {
        {"garbage bytes", "GARBAGE GARBAGE", 0, false},
        {"garbage after a request", echo + "junk", 1, false},
        {"JSON that does not parse", headerOf(5, 0) + "{bad}", 0, false},
        {"oversize header", headerOf(quint32(cap - 9), 10), 0, false},
        {"4 GiB header", headerOf(0xFFFFFFFFu, 0xFFFFFFFFu), 0, false},
        {"header at the cap", headerOf(quint32(cap - 10), 10), 0, true},
        {"half a header", headerOf(1, 1).left(8), 0, true},
        {"a request, then part of the next", echo + echo.left(20), 1, true},
    };
    for (const Case& c : cases) {
        RawClient client;
        ASSERT_TRUE(client.connectTo(path)) << c.name;
        ASSERT_TRUE(client.send(c.bytes)) << c.name;
        for (int i = 0; i < c.replies; ++i) {
            QJsonObject r;
            EXPECT_TRUE(client.readFrame(r)) << c.name;
        }
        if (c.waits) {
            EXPECT_TRUE(client.staysQuiet(200)) << c.name;
        }
        EXPECT_TRUE(client.waitClosed(10000)) << c.name;
    }
    // The server itself is unaffected and frees every one of those
    // connections once its peer is gone.
    EXPECT_EQ(request(obj(R"({"cmd":"echo"})")), obj(R"({"err":0})"));
    EXPECT_TRUE(eventually([&] { return host->server()->connectionCount() == 0; }));
}

TEST_F(LocalServerTest, PeerDisconnectingMidFrameFreesTheConnection)
{
    {
        RawClient c;
        ASSERT_TRUE(c.connectTo(path));
        const QByteArray frame = frameOf(obj(R"({"cmd":"slow","params":{"ms":1}})"));
        ASSERT_TRUE(c.send(frame.left(frame.size() / 2)));
        ASSERT_TRUE(eventually([&] { return host->server()->connectionCount() == 1; }));
    }
    EXPECT_TRUE(eventually([&] { return host->server()->connectionCount() == 0; }));
    EXPECT_EQ(request(obj(R"({"cmd":"echo"})")), obj(R"({"err":0})"));
}

TEST_F(LocalServerTest, TwoHundredClientsAtOnce)
{
    const int clients = 200;
    std::vector<std::unique_ptr<RawClient>> conns;
    for (int i = 0; i < clients; ++i) {
        conns.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(conns.back()->connectTo(path)) << i;
    }
    for (int i = 0; i < clients; ++i)
        ASSERT_TRUE(conns[size_t(i)]->send(frameOf(QJsonObject{{"cmd", "echo"}, {"params", i}})));
    for (int i = 0; i < clients; ++i) {
        QJsonObject r;
        ASSERT_TRUE(conns[size_t(i)]->readFrame(r)) << i;
        EXPECT_EQ(r, (QJsonObject{{"params", i}, {"err", 0}})) << i;
    }
    EXPECT_EQ(host->server()->connectionCount(), clients);
    conns.clear();
    EXPECT_TRUE(eventually([&] { return host->server()->connectionCount() == 0; }));
}

TEST_F(LocalServerTest, CloseConnectionsAndDestructionEndLiveConnections)
{
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(idle.back()->connectTo(path));
    }
    ASSERT_TRUE(eventually([&] { return host->server()->connectionCount() == 20; }));
    host->server()->closeConnections();
    EXPECT_EQ(host->server()->connectionCount(), 0);
    for (auto& c : idle)
        EXPECT_TRUE(c->waitClosed(2000));

    // Destroying the server while a request runs and idle peers wait:
    // every connection ends before the server is gone.
    RawClient busy;
    ASSERT_TRUE(busy.connectTo(path));
    ASSERT_TRUE(busy.send(frameOf(obj(R"({"cmd":"slow","params":{"ms":200}})"))));
    RawClient waiting;
    ASSERT_TRUE(waiting.connectTo(path));
    ASSERT_TRUE(eventually([&] { return host->server()->connectionCount() == 2; }));
    host->destroy();
    EXPECT_TRUE(waiting.waitClosed(2000));
    EXPECT_TRUE(busy.waitClosed(2000));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(LocalServerTest, StartRules)
{
    // Created directory, world-connectable socket.
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(host->server()->name(), path);

    // Already listening: true, name kept.
    EXPECT_TRUE(host->start(dir.filePath("other.sock")));
    EXPECT_EQ(host->server()->name(), path);

    // A stale socket file (its process is gone) is replaced.
    const QString stale = dir.filePath("deep/er/stale.sock");
    QDir().mkpath(QFileInfo(stale).absolutePath());
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(stale);
        std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    ASSERT_TRUE(QFileInfo::exists(stale));
    ServiceRouter other;
    ServerHost second(&other);
    ASSERT_TRUE(second.start(stale));
    QJsonObject reply;
    ASSERT_TRUE(HX2LocalServer::localRequest(stale, obj(R"({"cmd":"echo"})"), &reply, 5));
    EXPECT_EQ(reply, obj(R"({"err":0})"));

    // A place that cannot hold a socket.
    ServerHost third(&other);
    EXPECT_FALSE(third.start("/proc/self/no/such/agent.sock"));
    EXPECT_FALSE(third.server()->addressInUse());

    // A live server keeps its name: another one fails, says why, and the
    // first goes on answering.
    ServerHost rival(&other);
    EXPECT_FALSE(rival.start(path));
    EXPECT_TRUE(rival.server()->addressInUse());
    EXPECT_EQ(request(obj(R"({"cmd":"echo"})")), obj(R"({"err":0})"));
    EXPECT_TRUE(eventually([&] { return host->server()->connectionCount() == 0; }))
        << "the probe's connection was not freed";
}

TEST_F(LocalServerTest, ServersStartingTogetherLeaveOneOwner)
{
    // The window is narrow: several rounds make a lost race show.
    for (int round = 0; round < 50; ++round) {
        const QString shared = dir.filePath(QStringLiteral("race%1/agent.sock").arg(round));
        std::vector<std::unique_ptr<ServerHost>> hosts;
        std::vector<std::thread> starters;
        std::atomic<int> owners{0};
        for (int i = 0; i < 4; ++i)
            hosts.push_back(std::make_unique<ServerHost>(&router));
        for (auto& h : hosts)
            starters.emplace_back([&, server = h.get()] { owners += server->start(shared) ? 1 : 0; });
        for (auto& t : starters)
            t.join();
        EXPECT_EQ(owners.load(), 1) << "round " << round;
        QJsonObject reply;
        EXPECT_TRUE(HX2LocalServer::localRequest(shared, obj(R"({"cmd":"echo"})"), &reply, 5)) << "round " << round;
    }
}

namespace {

long residentKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

TEST_F(LocalServerTest, HalfSentFramesShareOneBudget)
{
    // Twenty peers each stop one byte short of a frame at the cap.
    const QJsonObject body = obj(R"({"cmd":"echo"})");
    const qint64 json = QJsonDocument(body).toJson(QJsonDocument::Compact).size();
    const QByteArray frame = frameOf(body, QByteArray(int(HX2RpcPacket::MaxPeerPayload - 1 - json), 'A'));
    const QByteArray halfSent = QByteArray::fromRawData(frame.constData(), frame.size() - 1);
    const long before = residentKb();
    std::vector<std::unique_ptr<RawClient>> peers;
    int held = 0;
    for (int i = 0; i < 20; ++i) {
        peers.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(peers.back()->connectTo(path)) << i;
        if (peers.back()->send(halfSent))
            ++held;
        else
            EXPECT_TRUE(peers.back()->waitClosed()) << i;
    }
    const long grownMiB = (residentKb() - before) / 1024;
    const qint64 budgetMiB = HX2LocalServer::DefaultBufferBudget / (1024 * 1024);
    // As many frames as the budget holds wait for their last byte; every
    // other connection is closed. Unbounded, the twenty would take 320 MiB.
    EXPECT_EQ(held, HX2LocalServer::DefaultBufferBudget / frame.size());
    EXPECT_LT(grownMiB, budgetMiB + 32);

    // The holders' share returns to the budget when they go: a whole frame
    // at the cap is then taken and answered.
    peers.clear();
    ASSERT_TRUE(eventually([&] { return host->server()->connectionCount() == 0; }));
    RawClient whole;
    ASSERT_TRUE(whole.connectTo(path));
    ASSERT_TRUE(whole.send(frame));
    QJsonObject reply;
    ASSERT_TRUE(whole.readFrame(reply, 30000));
    EXPECT_EQ(reply, obj(R"({"err":0})"));
}

TEST_F(LocalServerTest, FrameTimeCountsFromTheFramesFirstByte)
{
    host->server()->setFrameTimeout(1000);
    const QByteArray frame = frameOf(obj(R"({"cmd":"echo","params":"late"})"));

    // A peer that keeps a frame growing byte by byte is dropped, although
    // every read brings something.
    RawClient trickle;
    ASSERT_TRUE(trickle.connectTo(path));
    ASSERT_TRUE(trickle.send(headerOf(1000, 0)));
    bool dropped = false;
    for (int i = 0; i < 200 && !dropped; ++i)
        dropped = !trickle.send("x") || !trickle.staysQuiet(50);
    EXPECT_TRUE(dropped);

    // Between frames nothing is pending: a connection may stay idle for as
    // long as it likes, also after a frame that came in pieces.
    RawClient idle;
    ASSERT_TRUE(idle.connectTo(path));
    ASSERT_TRUE(idle.send(frame.left(10)));
    ASSERT_TRUE(idle.staysQuiet(20));
    ASSERT_TRUE(idle.send(frame.mid(10)));
    QJsonObject r;
    ASSERT_TRUE(idle.readFrame(r));
    EXPECT_TRUE(idle.staysQuiet(3000));
    ASSERT_TRUE(idle.send(frame));
    ASSERT_TRUE(idle.readFrame(r));
    EXPECT_EQ(r, obj(R"({"params":"late","err":0})"));
}

TEST_F(LocalServerTest, LocalRequestRules)
{
    // Without a reply wanted: true once written, the request still runs.
    EXPECT_TRUE(HX2LocalServer::localRequest(path, obj(R"({"cmd":"echo"})"), nullptr, 5));
    QJsonObject untouched{{"untouched", true}};
    EXPECT_TRUE(HX2LocalServer::localRequest(path, obj(R"({"cmd":"echo"})"), &untouched, 0));
    EXPECT_EQ(untouched, obj(R"({"untouched":true})"));

    // No server, no reply in time: false, reply unchanged.
    QJsonObject reply = untouched;
    EXPECT_FALSE(HX2LocalServer::localRequest(dir.filePath("nobody.sock"), obj(R"({"cmd":"echo"})"), &reply, 5));
    EXPECT_FALSE(HX2LocalServer::localRequest(path, obj(R"({"cmd":"slow","params":{"ms":1500}})"), &reply, 1));
    EXPECT_EQ(reply, untouched);
}

// A peer that answers every connection with fixed bytes.
class ScriptedPeer
{
public:
    ScriptedPeer(const QString& path, QByteArray answer) : m_answer(std::move(answer))
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
        ok = ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(m_fd, 4) == 0;
        m_thread = std::thread([this] {
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0)
                return;
            char buf[4096];
            if (::read(c, buf, sizeof buf) > 0)
                (void)!::write(c, m_answer.constData(), size_t(m_answer.size()));
            while (!m_done)
                QThread::msleep(10);
            ::close(c);
        });
    }
    ~ScriptedPeer()
    {
        m_done = true;
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    bool ok = false;

private:
    QByteArray m_answer;
    int m_fd = -1;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

TEST(LocalRequest, ReplyDecodingRules)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        QByteArray answer;
        bool ok;
        QJsonObject reply;
    };
    const std::vector<Case> cases = {
        {"keep-alive and empty body skipped", HX2RpcPacket::keepAlive() + headerOf(2, 0) + "{}" + frameOf(obj(R"({"err":0})")),
         true, obj(R"({"err":0})")},
        {"first reply wins", frameOf(obj(R"({"n":1})")) + frameOf(obj(R"({"n":2})")), true, obj(R"({"n":1})")},
        {"garbage", "not a frame at all", false, {}},
        {"oversize announcement", headerOf(0x7FFFFFFFu, 0), false, {}},
    };
    int i = 0;
    for (const Case& c : cases) {
        const QString path = dir.filePath(QString::number(i++));
        QJsonObject reply{{"untouched", true}};
        // Declared before the peer: should the call hang, the peer's
        // destruction closes the connection and ends it.
        std::future<bool> call;
        ScriptedPeer peer(path, c.answer);
        ASSERT_TRUE(peer.ok) << c.name;
        call = std::async(std::launch::async,
                          [&] { return HX2LocalServer::localRequest(path, obj(R"({"cmd":"x"})"), &reply, 3600); });
        // Bad data ends the call instead of the hour-long time-out.
        ASSERT_EQ(call.wait_for(std::chrono::seconds(60)), std::future_status::ready) << c.name;
        EXPECT_EQ(call.get(), c.ok) << c.name;
        EXPECT_EQ(reply, c.ok ? c.reply : obj(R"({"untouched":true})")) << c.name;
    }
}

class HxcallTest : public LocalServerTest
{
protected:
    struct Run {
        int status;
        QByteArray out;
        QString err;
    };
    Run hxcall(const QStringList& args, const QByteArray& input = QByteArray())
    {
        QProcess p;
        p.start(QStringLiteral(HXCALL_BIN), args);
        p.write(input);
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(30000));
        return {p.exitCode(), p.readAllStandardOutput(), QString::fromUtf8(p.readAllStandardError())};
    }
};

TEST_F(HxcallTest, CallerTable)
{
    struct Case {
        const char* name;
        QStringList args;
        int status;
        QJsonObject reply;    // when status is 0
        const char* message;  // part of standard error otherwise
    };
    const std::vector<Case> cases = {
        {"command and params", {path, "echo", R"({"a":[1,2]})"}, 0, obj(R"({"params":{"a":[1,2]},"err":0})"), ""},
        {"command alone", {path, "echo"}, 0, obj(R"({"err":0})"), ""},
        {"request object", {path, R"({"cmd":"echo","params":{"b":"缺"}})"}, 0,
         QJsonObject{{"params", QJsonObject{{"b", QStringLiteral("缺")}}}, {"err", 0}}, ""},
        {"unknown command is a reply", {path, "nope"}, 0,
         QJsonObject{{"err", 9885}, {"errmsg", QStringLiteral("被调用的方法不存在: nope")}}, ""},
        {"timeout option", {"--timeout", "1", path, "slow", R"({"ms":3000})"}, 3, {}, "no reply from"},
        {"no socket", {dir.filePath("none.sock"), "echo"}, 3, {}, "no socket at"},
        {"bad params", {path, "echo", "{oops"}, 2, {}, "params is not valid JSON"},
        {"params not an object", {path, "echo", "[1]"}, 2, {}, "params must be a JSON object"},
        {"bad request object", {path, "{\"cmd\":"}, 2, {}, "the request is not valid JSON"},
        {"missing request", {path}, 2, {}, "expected SOCKET"},
        {"bad timeout", {"--timeout", "0", path, "echo"}, 2, {}, "--timeout"},
    };
    for (const Case& c : cases) {
        const Run r = hxcall(c.args);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err.toStdString();
        if (c.status == 0) {
            EXPECT_EQ(QJsonDocument::fromJson(r.out).object(), c.reply) << c.name;
            EXPECT_TRUE(r.out.contains("\n    \"err\"")) << c.name << ": reply is not indented";
        } else {
            EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.message))) << c.name << ": " << r.err.toStdString();
            EXPECT_TRUE(r.out.isEmpty()) << c.name;
        }
    }
}

TEST_F(HxcallTest, ReadsAJsonArgumentGivenAsDashFromStandardInput)
{
    Run r = hxcall({path, "echo", "-"}, R"({"pwd":"s e'cret"})");
    EXPECT_EQ(QJsonDocument::fromJson(r.out).object(), obj(R"({"params":{"pwd":"s e'cret"},"err":0})"))
        << r.err.toStdString();
    r = hxcall({path, "-"}, R"({"cmd":"echo","params":{"a":1}})");
    EXPECT_EQ(QJsonDocument::fromJson(r.out).object(), obj(R"({"params":{"a":1},"err":0})")) << r.err.toStdString();
    r = hxcall({path, "echo", "-"}, "[1]");
    EXPECT_EQ(r.status, 2);
}

#include "test_localserver.moc"
