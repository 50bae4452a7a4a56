// Conversions, text helpers, validators, URL and INI parsing, schedules.
#include "hx2utils.h"

#include <QLocale>

#include "../printqt.h"

#include <gtest/gtest.h>

namespace {
QDateTime at(int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}
} // namespace

TEST(UtilsValidateTest, Ipv4)
{
    for (const char* good : {"0", "10", "1.2.3.4", "255.255.255.255", "10.0.0.1", "192.168.1", "0.0.0.0"})
        EXPECT_TRUE(ipv4Valid(good)) << good;
    for (const char* bad : {"", "1.", ".1", "1..2", "256.1.1.1", "1.2.3.4.5", " 1.2.3.4", "1.2.3.4 ",
                            "+1.2.3.4", "1.2.3.-4", "a.b.c.d", "1000", "00", "0x1.2.3.4"})
        EXPECT_FALSE(ipv4Valid(bad)) << bad;
}

TEST(UtilsValidateTest, Iqn)
{
    for (const char* good : {"iqn.2004-01.com.example:storage.disk1", "iqn.1901-12.x", "iqn.2024-05.a-b:c.d"})
        EXPECT_TRUE(iqnValid(good)) << good;
    for (const char* bad : {"", "iqn.", "iqn.2004", "IQN.2004-01.com.x", "iqn.1900-01.x", "iqn.2004.01.x",
                            "iqn.20a4-01.x", "eui.02004567a425678d", "iqn.2004-01.com.example:disk_1",
                            "iqn.2004-01.com example"})
        EXPECT_FALSE(iqnValid(bad)) << bad;
}

TEST(UtilsValidateTest, IdentityNumbers)
{
    const struct
    {
        const char* id;
        bool valid;
        bool validWithBirth;
    } cases[] = {
        {"11010519491231002X", true, true},
        {"11010519491231002x", true, true}, // any case
        {"  440304199001011233 ", true, true},
        {"320106200002295557", true, true},  // 29 February of a leap year
        {"110105202313010014", true, false}, // month 13: checksum right, no such date
        {"440304199001011234", false, false},
        {"11010519491231002", false, false},
        {"11010519491231002X1", false, false},
        {"1101051949123100AX", false, false},
        {"", false, false},
        {"X", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(idcardValidate(c.id, false), c.valid) << c.id;
        EXPECT_EQ(idcardValidate(c.id, true), c.validWithBirth) << c.id;
    }
}

TEST(UtilsTextTest, UrlSplit)
{
    using Query = QHash<QString, QString>;
    const struct
    {
        const char* url;
        bool ok;
        const char* scheme;
        const char* host;
        int port; // -1: left unchanged
        const char* path;
        Query query;
    } cases[] = {
        {"http://example.com:8080/a/b?x=1&y=%20z%2F", true, "http", "example.com", 8080, "a/b",
         Query{{"x", "1"}, {"y", " z/"}}},
        {"HTTPS://Host/path/", true, "https", "Host", -1, "path/", {}},
        {"ftp://host", true, "ftp", "host", -1, "", {}},
        {"file:///var/log", true, "file", "localhost", -1, "/var/log", {}},
        {"http://:81/x", true, "http", "localhost", 81, "x", {}},
        {"http://::ffff:10.0.0.1:9000/p", true, "http", "10.0.0.1", 9000, "p", {}},
        {"  ws://h:1  ", true, "ws", "h", 1, "", {}},
        {"http://h:/p", true, "http", "h", -1, "p", {}},
        {"http://h?q=1&bad&=v&k=", true, "http", "h", -1, "", Query{{"q", "1"}, {"k", ""}}},
        {"no scheme here", false, "", "", -1, "", {}},
        {"http://h:99999/", false, "http", "", -1, "", {}},
        {"http://h:8a/", false, "http", "", -1, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        QString scheme, host, path = "old";
        int port = -1;
        Query query{{"stale", "1"}};
        EXPECT_EQ(HX2UrlSplit(c.url, scheme, host, port, path, &query), c.ok);
        EXPECT_EQ(scheme, c.scheme);
        if (!c.ok)
            continue;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(query, c.query);
    }
    EXPECT_EQ(HX2UrlProtocol("https://x"), "https");
    EXPECT_EQ(HX2UrlProtocol("://x"), "");
    EXPECT_EQ(HX2UrlProtocol("x"), "");
}

TEST(UtilsTextTest, IniToJson)
{
    const QStringList lines{
        "ignored = before any section",
        "[main]",
        "  name = value with blanks  ",
        "# comment = no",
        "",
        "url=http://h/?a=b",
        "no equals sign",
        "[ other ]",
        "k=1",
        "[main]",
        "again = replaced",
        "[broken",
        "x = 2",
    };
    const QJsonObject expected{
        {"main", QJsonObject{{"again", "replaced"}, {"x", "2"}}}, // "[broken" starts no section
        {"other", QJsonObject{{"k", "1"}}},
    };
    EXPECT_EQ(iniToJson(lines), expected);
    EXPECT_EQ(iniToJson({"[s]", "a = 1 = 2"}), (QJsonObject{{"s", QJsonObject{{"a", "1 = 2"}}}}));
}

TEST(UtilsTextTest, SeparatorsAndCommandOutput)
{
    QString s = ",,a,,b,";
    EXPECT_EQ(takeFirstString(s, ","), "a");
    EXPECT_EQ(s, "b,");
    EXPECT_EQ(takeFirstString(s, ","), "b");
    EXPECT_EQ(s, "");
    QByteArray b = "one :: two";
    EXPECT_EQ(takeFirstString(b, QByteArray(" :: ")), "one");
    EXPECT_EQ(b, "two");
    EXPECT_EQ(firstString("//a/b//", "/"), "a");
    EXPECT_EQ(lastString("//a/b//", "/"), "b");

    const char withZero[] = "a\tb\r\n\r\n c\n\0hidden\n";
    EXPECT_EQ(cmdOutputs(QByteArray(withZero, sizeof withZero - 1)), (QStringList{"a b", " c"}));
    EXPECT_EQ(toJsonArray(QList<QByteArray>{"x", QByteArray("y\0z", 3), "  ", "\xe9"}, true),
              (QJsonArray{"x", "y", QString(QChar(0xe9))}));
}

TEST(UtilsConvertTest, NumbersTimesVersionsAndNames)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(toStrOfInt(QJsonValue(1234567.9), "-"), "1,234,567");
    EXPECT_EQ(toStrOfInt(QJsonValue("-4200"), "-"), "-4,200");
    EXPECT_EQ(toStrOfInt(QJsonValue(7), "-"), "  7");
    for (const QJsonValue& zero : {QJsonValue(0.4), QJsonValue("abc"), QJsonValue(true)})
        EXPECT_EQ(toStrOfInt(zero, "-"), "-");
    QLocale::setDefault(saved);
    EXPECT_EQ(toMoneyString(QJsonValue("-3.456"), ""), "-3.46");
    EXPECT_EQ(toMoneyString(QJsonValue("0"), "free"), "free");

    EXPECT_EQ(secsToTimes(3723), "01:02:03");
    EXPECT_EQ(secsToTimes(90000), "25:00:00");
    EXPECT_EQ(secsToTimes(-5), "-00:00:05");

    EXPECT_EQ(complieDateTime("Jan  5 2024", "13:04:05"), at(2024, 1, 5, 13, 4, 5));
    EXPECT_EQ(complieDateTime("dec 31 1999", "23:59:59"), at(1999, 12, 31, 23, 59, 59));
    EXPECT_FALSE(complieDateTime("Foo 1 2024", "00:00:00").isValid());
    EXPECT_EQ(gccDateTime("Foo 2 2024", "01:00:00"), at(2024, 1, 2, 1, 0));

    EXPECT_EQ(compareVersion("1.2.10", "1.2.9"), 1);
    EXPECT_EQ(compareVersion("1.2", "1.2.0.0"), 0);
    EXPECT_EQ(compareVersion("2", "2.0.3"), -3);

    EXPECT_EQ(toSortList(QJsonArray{3, "1", 2.9, "x", 3}), (QList<int>{0, 1, 2, 3, 3}));
    EXPECT_EQ(toJsonValue(QJsonValue("[1,2]")), QJsonValue(QJsonArray{1, 2}));
    EXPECT_EQ(toJsonValue(QJsonValue("12")), QJsonValue(QJsonObject()));
    EXPECT_EQ(cmdArguments({"lone", "-v", "--cfg", "/etc/x", "-q", "tail", "-end"}),
              (QHash<QString, QString>{{"", "lone"}, {"-v", ""}, {"--cfg", "/etc/x"}, {"-q", "tail"}, {"-end", ""}}));
    EXPECT_EQ(Utf8ToGbk(QString::fromUtf8("中文").toUtf8()), "\xd6\xd0\xce\xc4");
    EXPECT_EQ(GbkToUtf8("\xd6\xd0\xce\xc4"), QString::fromUtf8("中文").toUtf8());
    EXPECT_EQ(MyClassName("10VxrClient"), "VxrClient");
    EXPECT_EQ(PRETTY("bool VxrClient::upload(HX2Journals&, int)", 812), "VxrClient::upload#812");
}

TEST(UtilsScheduleTest, NextScheduledDateTime)
{
    const QDateTime from = at(2024, 5, 1, 8, 0, 30); // a Wednesday
    const struct
    {
        const char* name;
        QJsonObject schedule;
        QDateTime from;
        QDateTime expected; // invalid: no match in from's year or the next
    } cases[] = {
        {"everything: the next whole minute", {}, from, at(2024, 5, 1, 8, 1)},
        {"later today", {{"hours", QJsonArray{9}}, {"minutes", QJsonArray{30}}}, from, at(2024, 5, 1, 9, 30)},
        {"hour passed: tomorrow", {{"hours", QJsonArray{7}}}, from, at(2024, 5, 2, 7, 0)},
        {"Sunday", {{"weeks", QJsonArray{7}}, {"hours", QJsonArray{2}}, {"minutes", QJsonArray{0}}}, from,
         at(2024, 5, 5, 2, 0)},
        {"values as strings", {{"weeks", QJsonArray{"6"}}, {"hours", QJsonArray{"8"}}, {"minutes", QJsonArray{"15"}}},
         from, at(2024, 5, 4, 8, 15)},
        {"year of from, not of the clock", {{"months", QJsonArray{6}}, {"days", QJsonArray{1}}}, from,
         at(2024, 6, 1, 0, 0)},
        {"into the next year", {{"months", QJsonArray{1}}, {"days", QJsonArray{1}}}, from, at(2025, 1, 1, 0, 0)},
        {"year end", {}, at(2024, 12, 31, 23, 59), at(2025, 1, 1, 0, 0)},
        {"31st skips April", {{"months", QJsonArray{4, 5}}, {"days", QJsonArray{31}}}, from, at(2024, 5, 31, 0, 0)},
        {"31 February", {{"months", QJsonArray{2}}, {"days", QJsonArray{31}}}, from, QDateTime()},
        {"hour out of range", {{"hours", QJsonArray{25}}}, from, QDateTime()},
        {"month out of range", {{"months", QJsonArray{13}}}, from, QDateTime()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nextScheduledDateTime(c.schedule, c.from), c.expected) << c.name;
}

TEST(UtilsScheduleTest, EarliestOfSeveralIgnoresUnsatisfiable)
{
    const QDateTime from = at(2024, 5, 1, 8, 0, 30);
    const QJsonObject never{{"months", QJsonArray{2}}, {"days", QJsonArray{31}}};
    const QJsonObject nine{{"hours", QJsonArray{9}}, {"minutes", QJsonArray{0}}};
    const QJsonObject ten{{"hours", QJsonArray{10}}, {"minutes", QJsonArray{0}}};
    const QDateTime far = at(2099, 12, 31, 0, 0);
    EXPECT_EQ(nextSchedulesDateTime({}, from), far);
    EXPECT_EQ(nextSchedulesDateTime({never}, from), far);
    EXPECT_EQ(nextSchedulesDateTime({never, ten, nine}, from), at(2024, 5, 1, 9, 0));
    EXPECT_EQ(nextSchedulesDateTime({ten, never}, from), at(2024, 5, 1, 10, 0));
}
