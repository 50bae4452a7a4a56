// The link options of the configuration: "compress" and "bwlimit" read or
// refused, and the rate each time of day gets.
#include "vxrclient.h"
#include "vxrconfig.h"
#include "vxrlink.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

using VxrLink::Window;
using VxrPipeline::Codec;

QJsonValue json(const char* text)
{
    if (!*text)
        return QJsonValue(QJsonValue::Undefined);
    return QJsonDocument::fromJson(QByteArray("{\"v\": ") + text + "}").object().value("v");
}

constexpr qint64 kMiB = 1024 * 1024;

TEST(LinkOptions, ReadOrRefused)
{
    struct Good { const char* compress; const char* bwlimit; Codec codec; QList<Window> windows; bool limited; };
    const Good good[] = {
        {"", "", Codec::None, {}, false},
        {"\"none\"", "[]", Codec::None, {}, false},
        {"\"zstd\"", "null", Codec::Zstd, {}, false},
        {"\"lz4\"", "", Codec::Lz4, {}, false},
        {"", R"([{"from": "08:00", "to": "18:00", "rate": "2M"}, {"rate": "0"}])", Codec::None,
         {{false, 480, 1080, 2 * kMiB}, {true, 0, 0, 0}}, true},
        {"", R"([{"from": "22:30", "to": "06:00", "rate": 500000}])", Codec::None, {{false, 1350, 360, 500000}}, true},
        {"", R"([{"from": "00:00", "to": "24:00", "rate": "512k"}])", Codec::None, {{false, 0, 1440, 512 * 1024}}, true},
        {"", R"([{"rate": "100G"}])", Codec::None, {{true, 0, 0, VxrLink::kMaxRate}}, true},
        {"", R"([{"rate": "0"}])", Codec::None, {{true, 0, 0, 0}}, false},
    };
    for (const Good& g : good) {
        SCOPED_TRACE(std::string(g.compress) + " " + g.bwlimit);
        VxrLink::Options o;
        QString why;
        ASSERT_TRUE(VxrLink::parse(json(g.compress), json(g.bwlimit), &o, &why)) << why.toStdString();
        EXPECT_EQ(o.codec, g.codec);
        EXPECT_EQ(o.windows, g.windows);
        EXPECT_EQ(o.limited(), g.limited);
    }

    struct Bad { const char* compress; const char* bwlimit; const char* reason; };
    const Bad bad[] = {
        {"\"gzip\"", "", "compress: one of"},
        {"true", "", "compress: one of"},
        {"", "{\"rate\": \"2M\"}", "bwlimit: an array of windows expected"},
        {"", "[3]", "bwlimit[0]: an object expected"},
        {"", R"([{"rate": "2M", "days": "mon"}])", "bwlimit[0].days: unknown key"},
        {"", R"([{"from": "08:00", "rate": "2M"}])", "bwlimit[0]: \"from\" and \"to\" go together"},
        {"", R"([{"to": "08:00", "rate": "2M"}])", "go together"},
        {"", R"([{"from": "8:00", "to": "18:00", "rate": "2M"}])", "bwlimit[0].from: a time"},
        {"", R"([{"from": "24:00", "to": "08:00", "rate": "2M"}])", "bwlimit[0].from: a time"},
        {"", R"([{"from": "08:00", "to": "24:01", "rate": "2M"}])", "bwlimit[0].to: a time"},
        {"", R"([{"from": "08:00", "to": "08:00", "rate": "2M"}])", "the window holds none"},
        {"", R"([{"from": "08:00", "to": "18:00"}])", "bwlimit[0].rate: bytes a second"},
        {"", R"([{"rate": -1}])", "bwlimit[0].rate"},
        {"", R"([{"rate": "1.5M"}])", "bwlimit[0].rate"},
        {"", R"([{"rate": "2MB"}])", "bwlimit[0].rate"},
        {"", R"([{"rate": "101G"}])", "bwlimit[0].rate"},
        {"", R"([{"from": "08:00", "to": "18:00", "rate": "2M"}, {"rate": "x"}])", "bwlimit[1].rate"},
        {"", R"([{"rate": "2M"}, {"from": "08:00", "to": "18:00", "rate": "1M"}])",
         "bwlimit[1]: never applies, bwlimit[0] holds every time"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(std::string(b.compress) + " " + b.bwlimit);
        VxrLink::Options untouched;
        untouched.codec = Codec::Lz4;
        QString why;
        EXPECT_FALSE(VxrLink::parse(json(b.compress), json(b.bwlimit), &untouched, &why));
        EXPECT_TRUE(why.contains(QString::fromUtf8(b.reason))) << why.toStdString();
        EXPECT_EQ(untouched.codec, Codec::Lz4);
    }

    // The service does not start with them: the reason is the refusal's.
    VxrClient engine;
    HX2Journals journal;
    EXPECT_FALSE(engine.loadConfigure(journal, QJsonObject{{"bwlimit", "fast"}}));
    EXPECT_TRUE(journal.errmsg().contains("bwlimit: an array")) << journal.errmsg().toStdString();
    VxrConfig config;
    QString why;
    ASSERT_TRUE(VxrConfigRules::parse(QJsonObject{{"compress", "zstd"}}, &config, &why));
    EXPECT_EQ(config.link.codec, Codec::Zstd);
}

TEST(LinkOptions, RateOfEachTime)
{
    const QList<Window> office{{false, 480, 1080, 2 * kMiB}, {false, 1320, 360, kMiB}, {true, 0, 0, 0}};
    const QList<Window> nights{{false, 1320, 360, kMiB}};
    const QList<Window> wholeDay{{false, 0, 1440, 5}};
    struct { const QList<Window>* windows; const char* time; qint64 rate; } cases[] = {
        {&office, "07:59", 0},
        {&office, "08:00", 2 * kMiB},
        {&office, "17:59", 2 * kMiB},
        {&office, "18:00", 0},
        {&office, "21:59", 0},
        {&office, "22:00", kMiB},
        {&office, "23:59", kMiB},
        {&office, "00:00", kMiB},
        {&office, "05:59", kMiB},
        {&office, "06:00", 0},
        {&nights, "12:00", 0},
        {&nights, "03:00", kMiB},
        {&wholeDay, "00:00", 5},
        {&wholeDay, "23:59", 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VxrLink::rateAt(*c.windows, QTime::fromString(c.time, "HH:mm")), c.rate) << c.time;
    EXPECT_EQ(VxrLink::rateAt({}, QTime(12, 0)), 0);
}

} // namespace
