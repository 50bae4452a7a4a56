#include "httptestserver.h"
#include "hx3http.h"
#include "hx3httppool.h"
#include "rpctestsupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

namespace {

using Reply = HttpTestServer::Reply;

const char kForm[] = "application/x-www-form-urlencoded; charset=UTF-8";

// Records every onRespond of a pool, from whichever thread emits it.
struct Responses
{
    explicit Responses(HX3HttpPool& pool)
    {
        QObject::connect(&pool, &HX3HttpPool::onRespond, [this](QJsonObject user, QByteArray data) {
            std::lock_guard<std::mutex> lock(mutex);
            got.append({user, data});
        });
    }
    int count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return got.size();
    }
    std::mutex mutex;
    QList<QPair<QJsonObject, QByteArray>> got;
};

class HttpPoolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testApp();
        ASSERT_TRUE(server.start());
    }
    HttpTestServer server;
};

} // namespace

TEST_F(HttpPoolTest, PostsAFormAndAnswersOnlyCallersWithAnObject)
{
    server.on("/report", Reply::ok("{\"err\":0}", "application/json"));
    auto pool = std::make_unique<HX3HttpPool>(nullptr, 5);
    Responses responses(*pool);
    QJsonObject user{{"id", 7}};
    pool->addPost(server.url("/report"), QJsonObject{{"cmd", "device_living"}}, &user);
    pool->addPost(server.url("/report"), QByteArray("plain=1"), nullptr);
    ASSERT_TRUE(server.waitForRequests(2));
    pool.reset(); // waits for both

    ASSERT_EQ(responses.got.size(), 1);
    EXPECT_EQ(responses.got[0].first, user);
    EXPECT_EQ(responses.got[0].second, QByteArray("{\"err\":0}"));
    QStringList bodies;
    for (const auto& r : server.requests()) {
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.header("Content-Type"), kForm);
        EXPECT_EQ(r.header("Content-Length").toInt(), r.body.size());
        bodies << QString::fromUtf8(r.body);
    }
    bodies.sort();
    EXPECT_EQ(bodies, (QStringList{"plain=1", "{\"cmd\":\"device_living\"}"}));
}

TEST_F(HttpPoolTest, GetAndHeadCarryTheirHeadersAndFields)
{
    server.on("/doc", Reply::ok("hello").with("Last-Modified", "Tue, 02 Jan 2024 03:04:05 GMT"));
    server.on("/bare", Reply::ok("12345678"));
    server.on("/text", Reply::ok("not json"));
    HX3Http http(nullptr, 5);
    QByteArray body;
    int error = -1;
    ASSERT_TRUE(http.get(body, server.url("/doc"), &error));
    EXPECT_EQ(body, "hello");
    EXPECT_EQ(error, 0);
    EXPECT_EQ(server.requests().last().header("User-Agent"), "MRVSDK;1.0.8.6;Android;7.1.1;R11");

    QJsonObject info;
    ASSERT_TRUE(http.getHead(info, server.url("/doc"), &error, nullptr));
    EXPECT_EQ(server.requests().last().method, "HEAD");
    EXPECT_NE(server.requests().last().header("User-Agent"), "MRVSDK;1.0.8.6;Android;7.1.1;R11");
    EXPECT_EQ(info.value("contentlength").toInt(), 5);
    const QDateTime modified(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC);
    EXPECT_EQ(info.value("lastmodified").toString(),
              modified.toLocalTime().toString("yyyy-MM-dd HH:mm:ss"));
    ASSERT_TRUE(http.getHead(info, server.url("/bare"), &error, nullptr));
    EXPECT_EQ(info.value("contentlength").toInt(), 8);
    EXPECT_EQ(info.value("lastmodified").toString(), "");

    // The JSON post sends compact JSON as a form; an answer that is not
    // JSON fails but is still handed back raw.
    QJsonObject answer;
    QByteArray raw;
    EXPECT_FALSE(http.post(answer, server.url("/text"), QJsonObject{{"a", 1}}, &raw));
    EXPECT_EQ(raw, "not json");
    EXPECT_EQ(server.requests().last().body, "{\"a\":1}");
}

// Every way a request can fail gives false, a non-zero error and no body.
TEST_F(HttpPoolTest, FailuresGiveAnErrorAndNoBody)
{
    Reply slowBody = Reply::ok(QByteArray(400, 'x'));
    slowBody.chunkBytes = 10;
    slowBody.chunkPauseMs = 200;
    Reply big = Reply::ok(QByteArray());
    big.fillBytes = HX3Http::kMaxReplyBytes + 1;
    server.on("/silent", Reply::silence());
    server.on("/slow", slowBody);
    server.on("/big", big);
    server.on("/missing", Reply::code(404, "gone"));
    server.on("/broken", Reply::code(500, "oops"));
    server.on("/loop", Reply::redirect(302, "/loop"));
    server.on("/tofile", Reply::redirect(302, "file:///etc/passwd"));

    struct Row
    {
        const char* path;
        int error; // 0: any non-zero
        int requests;
    };
    const Row rows[] = {
        {"/silent", QNetworkReply::TimeoutError, 1},
        {"/slow", QNetworkReply::TimeoutError, 1},
        {"/big", QNetworkReply::UnknownContentError, 1},
        {"/missing", 0, 1},
        {"/broken", 0, 1},
        {"/loop", QNetworkReply::TooManyRedirectsError, 11},
        {"/tofile", QNetworkReply::ProtocolUnknownError, 1},
    };
    HX3Http http(nullptr, 1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const int before = server.requestCount();
        QByteArray body("untouched");
        int error = 0;
        EXPECT_FALSE(http.get(body, server.url(row.path), &error));
        EXPECT_EQ(body, "untouched");
        if (row.error)
            EXPECT_EQ(error, row.error);
        else
            EXPECT_NE(error, 0);
        EXPECT_EQ(server.requestCount() - before, row.requests);
    }

    // Through the pool a failed post signals nothing.
    auto pool = std::make_unique<HX3HttpPool>(nullptr, 1);
    Responses responses(*pool);
    QJsonObject user{{"id", 1}};
    pool->addPost(server.url("/silent"), QByteArray("x"), &user);
    pool->addPost(server.url("/missing"), QByteArray("x"), &user);
    ASSERT_TRUE(server.waitForRequests(server.requestCount() + 2));
    pool.reset();
    EXPECT_EQ(responses.got.size(), 0);
}

TEST_F(HttpPoolTest, RedirectsArriveAndRepostOnlyOn307And308)
{
    server.on("/p1", Reply::redirect(307, "/p2"));
    server.on("/p2", Reply::redirect(308, server.url("/end").toUtf8()));
    server.on("/s1", Reply::redirect(303, "/end"));
    server.on("/g1", Reply::redirect(302, "/g2"));
    server.on("/g2", Reply::redirect(301, "/end"));
    server.on("/created", Reply::redirect(201, "/end"));
    server.on("/end", Reply::ok("arrived"));

    auto pool = std::make_unique<HX3HttpPool>(nullptr, 5);
    Responses responses(*pool);
    QJsonObject user{{"id", 1}};
    pool->addPost(server.url("/p1"), QByteArray("body=1"), &user);
    ASSERT_TRUE(server.waitForRequests(3));
    pool.reset();
    ASSERT_EQ(responses.got.size(), 1);
    EXPECT_EQ(responses.got[0].second, "arrived");
    const HttpTestServer::Request end = server.requests().last();
    EXPECT_EQ(end.path, "/end");
    EXPECT_EQ(end.method, "POST");
    EXPECT_EQ(end.body, "body=1");
    EXPECT_EQ(end.header("Content-Type"), kForm);

    HX3Http http(nullptr, 5);
    QByteArray reply;
    ASSERT_TRUE(http.post(reply, server.url("/s1"), "body=2", nullptr, kForm, {{"X-Extra", "yes"}}));
    EXPECT_EQ(server.requests().last().method, "GET");
    EXPECT_EQ(server.requests().last().body, "");
    ASSERT_TRUE(http.get(reply, server.url("/g1"), nullptr));
    EXPECT_EQ(reply, "arrived");

    const int before = server.requestCount();
    ASSERT_TRUE(http.post(reply, server.url("/created"), "once", nullptr, kForm, {}));
    EXPECT_EQ(server.requestCount() - before, 1);
}

TEST_F(HttpPoolTest, RunsAtMostFourRequestsAtOnce)
{
    Reply slow = Reply::ok("done");
    slow.delayMs = 500;
    server.on("/slow", slow);
    auto pool = std::make_unique<HX3HttpPool>(nullptr, 30);
    Responses responses(*pool);
    QJsonObject user{{"id", 1}};
    for (int i = 0; i < 8; ++i)
        pool->addPost(server.url("/slow"), QByteArray::number(i), &user);
    ASSERT_TRUE(eventually([&] { return responses.count() == 8; }, 20000));
    EXPECT_EQ(server.maxInFlight(), HX3HttpPool::kMaxThreads);
}

// Destroying the pool still sends the queued posts, but waits for them no
// longer than the pool's time-out before it drops those not yet started.
TEST_F(HttpPoolTest, DestructionSendsQueuedPostsWithinTheTimeOut)
{
    Reply slow = Reply::ok("done");
    slow.delayMs = 300;
    server.on("/slow", slow);
    server.on("/silent", Reply::silence());
    const struct
    {
        const char* path;
        int posts;
        int responses;
    } rows[] = {
        {"/slow", 2 * HX3HttpPool::kMaxThreads, 2 * HX3HttpPool::kMaxThreads},
        // 4 rounds of 2 s if every post were waited for.
        {"/silent", 4 * HX3HttpPool::kMaxThreads, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        auto pool = std::make_unique<HX3HttpPool>(nullptr, 2);
        Responses responses(*pool);
        QJsonObject user{{"id", 1}};
        for (int i = 0; i < row.posts; ++i)
            pool->addPost(server.url(row.path), QByteArray::number(i), &user);
        QElapsedTimer clock;
        clock.start();
        pool.reset();
        EXPECT_EQ(responses.got.size(), row.responses);
        EXPECT_LT(clock.elapsed(), 6000);
    }
}

TEST(HttpPoolTls, ChecksThePeerOnlyAgainstAGivenCaFile)
{
    testApp();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkdir("other"));
    TestCertificates certs, other;
    QString error;
    ASSERT_TRUE(certs.make(dir.path(), &error)) << error.toStdString();
    ASSERT_TRUE(other.make(dir.path() + "/other", &error)) << error.toStdString();
    HttpTestServer server;
    ASSERT_TRUE(server.startTls(certs.serverCert, certs.serverKey));
    server.on("/r", Reply::ok("secure"));

    struct Row
    {
        QString url;
        QString caFile;
        bool delivered;
    };
    const QString url = server.url("/r");
    const Row rows[] = {
        {url, QString(), true},
        {QString(url).replace("https://", "HTTPS://"), QString(), true},
        {url, certs.caCert, true},
        {url, other.caCert, false},
        {url, dir.path() + "/absent.pem", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE((row.url + " ca=" + row.caFile).toStdString());
        auto pool = std::make_unique<HX3HttpPool>(nullptr, 5);
        pool->setCaFile(row.caFile);
        Responses responses(*pool);
        QJsonObject user{{"id", 1}};
        pool->addPost(row.url, QByteArray("x"), &user);
        pool.reset();
        ASSERT_EQ(responses.got.size(), row.delivered ? 1 : 0);
        if (row.delivered) {
            EXPECT_EQ(responses.got[0].second, "secure");
        }
    }
}
