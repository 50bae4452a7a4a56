#include "httptestserver.h"
#include "hx2http.h"
#include "rpctestsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Reply = HttpTestServer::Reply;

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

class SimpleHttpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testApp();
        ASSERT_TRUE(server.start());
        Reply slow = Reply::ok(QByteArray(400, 'x'));
        slow.chunkBytes = 10;
        slow.chunkPauseMs = 200;
        server.on("/slow", slow);
        server.on("/silent", Reply::silence());
        server.on("/text", Reply::ok("hello"));
        server.on("/json", Reply::ok("{\"ok\":1}", "application/json"));
        server.on("/array", Reply::ok("[1,2]", "application/json"));
        server.on("/missing", Reply::code(404, "gone"));
        server.on("/broken", Reply::code(500, "oops"));
        server.on("/g1", Reply::redirect(302, "/g2"));
        server.on("/g2", Reply::redirect(301, "/text"));
        server.on("/p307", Reply::redirect(307, "/json"));
        server.on("/s303", Reply::redirect(303, "/json"));
        server.on("/loop", Reply::redirect(302, "/loop"));
        server.on("/tofile", Reply::redirect(302, "file:///etc/hostname"));
    }
    HttpTestServer server;
};

} // namespace

TEST_F(SimpleHttpTest, QtClientSendsItsHeadersAndTexts)
{
    server.on("/doc", Reply::ok("12345").with("Last-Modified", "Tue, 02 Jan 2024 03:04:05 GMT"));
    HX2Http http;
    EXPECT_EQ(http.get(server.url("/text")), "hello");
    EXPECT_EQ(server.requests().last().header("User-Agent"), "MRVSDK;1.0.8.6;Android;7.1.1;R11");

    EXPECT_EQ(http.post(server.url("/text"), QByteArray("a=1&b=2")), "hello");
    EXPECT_EQ(server.requests().last().header("Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_EQ(server.requests().last().body, "a=1&b=2");

    QJsonObject out;
    QByteArray raw;
    ASSERT_TRUE(http.post(out, server.url("/json"), QJsonObject{{"k", "v"}}, &raw));
    EXPECT_EQ(out.value("ok").toInt(), 1);
    EXPECT_EQ(raw, "{\"ok\":1}");
    EXPECT_EQ(server.requests().last().header("Content-Type"), "application/json");
    EXPECT_EQ(server.requests().last().body, "{\"k\":\"v\"}");
    EXPECT_FALSE(http.post(out, server.url("/text"), QJsonObject{}, &raw));
    EXPECT_EQ(raw, "hello");

    QJsonObject fromArray{{"old", 1}};
    EXPECT_TRUE(http.get(fromArray, server.url("/array")));
    EXPECT_TRUE(fromArray.isEmpty());

    QJsonObject info;
    ASSERT_TRUE(http.getHead(server.url("/doc"), info, nullptr));
    EXPECT_EQ(info.value("contentlength").toInt(), 5);
    EXPECT_EQ(info.value("lastmodified").toString(),
              QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC).toLocalTime().toString("yyyy-MM-dd HH:mm:ss"));
}

TEST_F(SimpleHttpTest, QtClientFailuresSetTheErrorAndGiveNoBody)
{
    const struct
    {
        const char* url;
        int error; // 0: any non-zero
    } rows[] = {
        {"/silent", 4},
        {"/slow", 4},
        {"/missing", 0},
        {"/loop", 10},
        {"file:///etc/hostname", 301},
    };
    HX2Http http;
    http.setTimeout(1000);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        const QString url = row.url[0] == '/' ? server.url(row.url) : QString(row.url);
        QByteArray body("untouched");
        EXPECT_FALSE(http.get(body, url));
        EXPECT_EQ(body, "untouched");
        if (row.error)
            EXPECT_EQ(http.replyError(), row.error);
        else
            EXPECT_NE(http.replyError(), 0);
    }
    EXPECT_EQ(http.get(server.url("/g1")), "hello");
    EXPECT_EQ(http.replyError(), 0);
}

TEST_F(SimpleHttpTest, CurlCallsFollowTheRules)
{
    const QByteArray framed("\r\n\r\nkept\r\n\r\nwhole");
    server.on("/framed", Reply::ok(framed));
    struct Row
    {
        const char* url;
        bool ok;
        QByteArray body;
        int requests;
    };
    const Row rows[] = {
        {"/text", true, "hello", 1},
        {"/framed", true, framed, 1},
        {"/g1", true, "hello", 3},
        {"/missing", false, "", 1},
        {"/broken", false, "", 1},
        {"/loop", false, "", 11},
        {"/tofile", false, "", 1},
        {"file:///etc/hostname", false, "", 0},
        {"/slow", false, "", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.url);
        const QString url = row.url[0] == '/' ? server.url(row.url) : QString(row.url);
        const int before = server.requestCount();
        QByteArray body("untouched");
        EXPECT_EQ(curlHttpGet(body, url, 1), row.ok);
        EXPECT_EQ(body, row.ok ? row.body : QByteArray("untouched"));
        EXPECT_EQ(server.requestCount() - before, row.requests);
    }

    QJsonObject out;
    QByteArray raw;
    ASSERT_TRUE(curlHttpPost(out, server.url("/p307"), QJsonObject{{"k", 1}}, &raw));
    EXPECT_EQ(out.value("ok").toInt(), 1);
    EXPECT_EQ(raw, "{\"ok\":1}");
    for (const auto& r : server.requests().mid(server.requestCount() - 2)) {
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.header("Content-Type"), "application/json");
        EXPECT_EQ(r.body, "{\"k\":1}");
    }
    ASSERT_TRUE(curlHttpPost(out, server.url("/s303"), QJsonObject{{"k", 2}}, nullptr));
    EXPECT_EQ(server.requests().last().method, "GET");
    EXPECT_FALSE(curlHttpPost(out, server.url("/array"), QJsonObject{}, &raw));
    EXPECT_FALSE(curlHttpGet(out, server.url("/array"), 5));
}

TEST_F(SimpleHttpTest, FailedDownloadsKeepThePreviousFile)
{
    Reply big = Reply::ok(QByteArray());
    big.fillBytes = 3 * 1000 * 1000;
    server.on("/big", big);
    QTemporaryDir dir;
    const QString file = dir.filePath("target.bin");

    unsigned long seen = 0;
    ASSERT_TRUE(curlHttpDownloading(file, server.url("/big"), [&](unsigned long n) { seen += n; return true; }, 10));
    EXPECT_EQ(QFileInfo(file).size(), big.fillBytes);
    EXPECT_EQ(seen, (unsigned long)big.fillBytes);
    EXPECT_TRUE(server.requests().last().header("User-Agent").startsWith("Mozilla/5.0"));

    ASSERT_TRUE(writeFile(file, "previous"));
    EXPECT_FALSE(curlHttpDownload(file, server.url("/missing"), 5));
    EXPECT_FALSE(curlHttpDownload(file, server.url("/slow"), 1));
    EXPECT_FALSE(curlHttpDownloading(file, server.url("/big"), [](unsigned long) { return false; }, 10));
    EXPECT_EQ(readFile(file), "previous");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"target.bin"});

    ASSERT_TRUE(curlHttpDownload(file, server.url("/text"), 5));
    EXPECT_EQ(readFile(file), "hello");
}

TEST_F(SimpleHttpTest, DetachedFormsReachTheServer)
{
    HX2Http http;
    http.posting(server.url("/json"), QJsonObject{{"via", "posting"}});
    http.geting(server.url("/text"));
    curlHttpGet(server.url("/text"), 5);
    curlHttpPost(server.url("/json"), QJsonObject{{"via", "curl"}});
    ASSERT_TRUE(server.waitForRequests(4));
    ASSERT_TRUE(eventually([] { return httpDetachedRunning() == 0; }));
    QStringList seen;
    for (const auto& r : server.requests())
        seen << QString::fromUtf8(r.method + ' ' + r.path + ' ' + r.body);
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"GET /text ", "GET /text ", "POST /json {\"via\":\"curl\"}",
                                 "POST /json {\"via\":\"posting\"}"}));
}

TEST(SimpleHttpTls, PeersAreVerifiedUnlessTheCallOptsOut)
{
    testApp();
    QTemporaryDir dir;
    TestCertificates certs;
    QString error;
    ASSERT_TRUE(certs.make(dir.path(), &error)) << error.toStdString();
    HttpTestServer server;
    ASSERT_TRUE(server.startTls(certs.serverCert, certs.serverKey));
    server.on("/r", Reply::ok("secure"));
    const QString url = server.url("/r");
    const QString file = dir.filePath("got");

    HX2Http http;
    QByteArray body;
    EXPECT_FALSE(http.get(body, url));
    EXPECT_NE(http.replyError(), 0);
    EXPECT_FALSE(curlHttpGet(body, url, 5));
    EXPECT_FALSE(curlHttpDownload(file, url, 5));
    EXPECT_EQ(server.requestCount(), 0);

    EXPECT_EQ(http.get(url, HX2TlsCheck::Off), "secure");
    ASSERT_TRUE(curlHttpGet(body, url, 5, HX2TlsCheck::Off));
    EXPECT_EQ(body, "secure");
    ASSERT_TRUE(curlHttpDownload(file, url, 5, HX2TlsCheck::Off));
    EXPECT_EQ(readFile(file), "secure");
}
