#include "hx2utils.h"

#include <QJsonDocument>
#include <QPoint>
#include <QRect>
#include <QRegularExpression>
#include <QSize>
#include <QTemporaryFile>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>
#include <unistd.h>

namespace {

// Redirects the process's standard output into a temporary file for the
// lifetime of the object; text() returns what was written so far.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_file.open();
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    QString text()
    {
        restore();
        m_file.seek(0);
        return QString::fromUtf8(m_file.readAll());
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

QJsonValue str(const char* s) { return QJsonValue(QString::fromUtf8(s)); }

const QString kTime = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d");

} // namespace

TEST(UtilsTest, ToIntAndToInt64)
{
    struct Case
    {
        QJsonValue v;
        int expected;
        int withDefault7;
    };
    const Case cases[] = {
        {str("0x1F"), 31, 31},
        {str("0X1f"), 31, 31},
        {str("12abc"), 0, 0}, // hex only with its prefix
        {str("ff"), 0, 0},
        {str("abc"), 0, 0}, // a string never gives the default
        {str(""), 0, 0},
        {str("42"), 42, 42},
        {str(" -17 "), -17, -17},
        {str("3.9"), 0, 0},
        {str("0x"), 0, 0},
        {str("0x-1"), 0, 0},
        {str("99999999999"), 0, 0}, // does not fit an int
        {QJsonValue(3.9), 3, 3},
        {QJsonValue(-3.9), -3, -3},
        {QJsonValue(0.0), 0, 0},
        {QJsonValue(true), 1, 1},
        {QJsonValue(false), 0, 0},
        {QJsonValue(QJsonValue::Null), 0, 7},
        {QJsonValue(QJsonValue::Undefined), 0, 7},
        {QJsonValue(QJsonArray{1}), 0, 7},
        {QJsonValue(QJsonObject{{"a", 1}}), 0, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QJsonDocument(QJsonArray{c.v}).toJson(QJsonDocument::Compact).toStdString());
        EXPECT_EQ(toInt(c.v), c.expected);
        EXPECT_EQ(toInt(c.v, 7), c.withDefault7);
        EXPECT_EQ(toInt64(c.v), c.v.toString() == "99999999999" ? 99999999999LL : qint64(c.expected));
    }
    EXPECT_EQ(toInt64(str("0x100000000")), 4294967296LL);
    EXPECT_EQ(toInt64(QJsonValue(-5e12)), -5000000000000LL);
    EXPECT_EQ(toInt(QJsonValue(1e12)), std::numeric_limits<int>::max());
    EXPECT_EQ(toInt(QJsonValue(-1e12)), std::numeric_limits<int>::min());
}

TEST(UtilsTest, ToStringToBoolAndToDouble)
{
    struct StringCase
    {
        QJsonValue v;
        const char* expected;
    };
    const StringCase strings[] = {
        {QJsonValue(12), "12"},         {QJsonValue(12.5), "12.500000"},  {QJsonValue(-3), "-3"},
        {QJsonValue(0.0), "0"},         {QJsonValue(true), ""},           {str(" as is "), " as is "},
        {QJsonValue(QJsonValue::Null), ""}, {QJsonValue(QJsonArray{"x"}), ""},
    };
    for (const StringCase& c : strings) {
        EXPECT_EQ(toString(c.v), QString(c.expected));
        EXPECT_EQ(toString(c.v, "def"), *c.expected ? QString(c.expected) : QString("def"));
    }

    const char* const trueTexts[] = {"TRUE", "Yes", "OK", "y", "t", "5", "1", "true"};
    const char* const falseTexts[] = {"false", "no", "0", "", "-1", "n", "yess", "on"};
    for (const char* s : trueTexts) {
        EXPECT_TRUE(toBool(QString(s))) << s;
        EXPECT_TRUE(toBool(str(s))) << s;
        EXPECT_TRUE(isTrue(QString(s))) << s;
    }
    for (const char* s : falseTexts) {
        EXPECT_FALSE(toBool(QString(s))) << s;
        EXPECT_FALSE(isTrue(str(s))) << s;
    }
    struct BoolCase
    {
        QJsonValue v;
        bool expected;
    };
    const BoolCase bools[] = {
        {QJsonValue(0.5), true},  {QJsonValue(-1), false}, {QJsonValue(0), false},
        {QJsonValue(true), true}, {QJsonValue(false), false},
        {QJsonValue(QJsonObject{{"a", true}}), false}, {QJsonValue(QJsonArray{1}), false},
        {QJsonValue(QJsonValue::Null), false},
    };
    for (const BoolCase& c : bools)
        EXPECT_EQ(toBool(c.v), c.expected);

    EXPECT_DOUBLE_EQ(toDouble(QJsonValue(2.25)), 2.25);
    EXPECT_DOUBLE_EQ(toDouble(QJsonValue(true)), 1.0);
    EXPECT_DOUBLE_EQ(toDouble(str("-1.5e3")), -1500.0);
    EXPECT_DOUBLE_EQ(toDouble(str("1.5x")), 0.0);
    EXPECT_DOUBLE_EQ(toDouble(QJsonValue(QJsonValue::Null)), 0.0);
}

TEST(UtilsTest, ToStrings)
{
    const QJsonValue v(QJsonArray{1, "", " a ", true, 2.5});
    EXPECT_EQ(toStrings(v), (QStringList{"1", "", " a ", "", "2.500000"}));
    EXPECT_EQ(toStrings(v, true), (QStringList{"1", " a ", "2.500000"}));
    EXPECT_EQ(toStrings(QJsonArray{"  ", "b"}, true), QStringList{"b"});
    EXPECT_TRUE(toStrings(str("a")).isEmpty());
    EXPECT_TRUE(toStrings(QJsonObject{{"a", "b"}}).isEmpty());
}

TEST(UtilsTest, ToDateTimeByLength)
{
    const QDate dflt(1900, 1, 1);
    struct Case
    {
        const char* text;
        QDateTime expected; // invalid: the text must be refused
    };
    const Case cases[] = {
        {"", QDateTime()},
        {"7", QDateTime(QDate(1900, 1, 7), QTime(0, 0))},
        {"17", QDateTime(QDate(1900, 1, 17), QTime(0, 0))},
        {"abc", QDateTime()},
        {"123", QDateTime()},
        {"2024", QDateTime(QDate(2024, 1, 1), QTime(0, 0))},
        {"05-17", QDateTime(QDate(1900, 5, 17), QTime(0, 0))},
        {"05/17", QDateTime(QDate(1900, 5, 17), QTime(0, 0))},
        {"08:15", QDateTime(dflt, QTime(8, 15))},
        {"08.15", QDateTime()},
        {"081502", QDateTime(dflt, QTime(8, 15, 2))},
        {"2024-05", QDateTime(QDate(2024, 5, 1), QTime(0, 0))},
        {"08:15:02", QDateTime(dflt, QTime(8, 15, 2))},
        {"123456789", QDateTime()},
        {"2024-05-01", QDateTime(QDate(2024, 5, 1), QTime(0, 0))},
        {"2024-05-01x", QDateTime()},
        {"08:15:02.117", QDateTime(dflt, QTime(8, 15, 2, 117))},
        {"1234567890123", QDateTime()},
        {"20240501081502", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01 08:1", QDateTime()},
        {"2024-05-01 08:15", QDateTime(QDate(2024, 5, 1), QTime(8, 15))},
        {"2024-05-01 08:15:0", QDateTime()},
        {"2024-05-01 08:15:02", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01T08:15:02", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01T08:15:02Z", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01 08:15:02Z", QDateTime()},
        {"2024-05-01T08:15:02X", QDateTime()},
        {"2024-05-01 08:15:02+0", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01T08:15:02+08", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01 08:15:02+08", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01 08:15:02.117", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2, 117))},
        {"2024-05-01T08:15:02.117", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2, 117))},
        {"2024-05-01T08:15:02.117Z", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2, 117))},
        {"2024-05-01 08:15:02.117+0", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01 08:15:02.117000", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2, 117))},
        {"2024-05-01 08:15:02.117000+", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-05-01 08:15:02.117000+08:00", QDateTime(QDate(2024, 5, 1), QTime(8, 15, 2))},
        {"2024-13-01 08:15:02", QDateTime()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const QDateTime got = toDateTime(QString(c.text));
        ASSERT_EQ(got.isValid(), c.expected.isValid());
        if (!c.expected.isValid())
            continue;
        EXPECT_EQ(got.timeSpec(), Qt::LocalTime); // a literal Z is not UTC
        EXPECT_EQ(got.date(), c.expected.date());
        EXPECT_EQ(got.time(), c.expected.time());
    }

    EXPECT_EQ(toDateTime(str("2024-05-01 08:15:02")).time(), QTime(8, 15, 2));
    EXPECT_EQ(toDate(str("2024-05-01")), QDate(2024, 5, 1));
    EXPECT_FALSE(toDateTime(QJsonValue(20240501)).isValid()); // "20240501" has 8 characters

    // Serial day numbers count from 1899-12-30; the fraction is seconds.
    EXPECT_EQ(toDateTime(0.0), QDateTime(QDate(1899, 12, 30), QTime(0, 0)));
    EXPECT_EQ(toDateTime(45413.5), QDateTime(QDate(2024, 5, 1), QTime(12, 0)));
    EXPECT_EQ(toDateTime(45413.25), QDateTime(QDate(2024, 5, 1), QTime(6, 0)));
    EXPECT_FALSE(toDateTime(std::nan("")).isValid());
}

TEST(UtilsTest, CapacityConversions)
{
    struct Case
    {
        const char* text;
        qint64 bytes;
        qint64 mb;
    };
    const Case cases[] = {
        {"10kib", 10240, 0},
        {"10k", 10240, 0},
        {"10KB", 10240, 0},
        {"  2 GB ", 2147483648LL, 2048},
        {"1.5g", 1610612736LL, 1536},
        {"1536m", 1610612736LL, 1536},
        {"1g", 1073741824LL, 1024},
        {"1mib", 1048576, 1},
        {"1.5M", 1572864, 1},
        {"2t", 2199023255552LL, 2097152},
        {"0.5TiB", 549755813888LL, 524288},
        {"100", 100, 0},
        {"-2097152", -2097152, -2},
        {"-1.5m", -1572864, -1}, // truncated toward zero
        {"512b", 512, 0},
        {"1.5b", 0, 0},
        {"abc", 0, 0},
        {"", 0, 0},
        {"xk", 0, 0},
        {"12x", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(asCapacity(c.text), c.bytes);
        EXPECT_EQ(toSizeMB(c.text), c.mb);
    }

    struct SizeCase
    {
        qint64 bytes;
        const char* text;
    };
    const SizeCase sizes[] = {
        {0, "0 B"},
        {512, "512 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024 KB"},
        {1048576, "1 MB"},
        {1288490188LL, "1.2 GB"},
        {10LL * 1073741824LL, "10 GB"},
        {1099511627776LL, "1 TB"},
        {3LL * 1099511627776LL * 1024, "3072 TB"},
        {1130, "1.1 KB"},
    };
    for (const SizeCase& c : sizes)
        EXPECT_EQ(capacitySize(c.bytes), QString(c.text)) << c.bytes;

    EXPECT_EQ(adjustCapacity("1536k"), "1.5 MB");
    EXPECT_EQ(adjustCapacity("garbage"), "0 B");
}

TEST(UtilsTest, JsonTextAndMerge)
{
    QJsonObject out{{"old", 1}};
    EXPECT_TRUE(toJsonObject(out, QByteArray(R"({"a": 1, "b": [2]})")));
    EXPECT_EQ(out, (QJsonObject{{"a", 1}, {"b", QJsonArray{2}}}));

    const char* const notObjects[] = {"[1,2]", "{\"a\":", "", "nonsense", "{\"a\":1} trailing"};
    for (const char* text : notObjects) {
        QJsonObject kept{{"k", true}};
        EXPECT_FALSE(toJsonObject(kept, QByteArray(text))) << text;
        EXPECT_EQ(kept, (QJsonObject{{"k", true}})) << text;
        EXPECT_FALSE(toJsonObject(kept, QString(text))) << text;
        EXPECT_TRUE(toJsonObject(QByteArray(text)).isEmpty()) << text;
    }
    // A QString is taken as UTF-8.
    EXPECT_EQ(toJsonObject(QString::fromUtf8(R"({"名": "值"})")).value(QString::fromUtf8("名")).toString(),
              QString::fromUtf8("值"));

    EXPECT_EQ(toJsonArray(QByteArray("[1, \"x\"]")), (QJsonArray{1, "x"}));
    EXPECT_TRUE(toJsonArray(QString("{\"a\":1}")).isEmpty());
    EXPECT_TRUE(toJsonArray(QString("[1,")).isEmpty());

    const QJsonObject a{{"keep", 1}, {"replace", "a"}, {"nested", QJsonObject{{"x", 1}, {"y", 2}}}};
    const QJsonObject b{{"replace", "b"}, {"nested", QJsonObject{{"z", 3}}}, {"added", true}};
    const QJsonObject m = jsonMerge(a, b);
    EXPECT_EQ(m, (QJsonObject{{"keep", 1}, {"replace", "b"}, {"nested", QJsonObject{{"z", 3}}}, {"added", true}}));
    EXPECT_EQ(a.value("replace").toString(), "a"); // the inputs are not changed
}

TEST(UtilsTest, ConsoleRendering)
{
    struct Case
    {
        QVariant v;
        const char* expected;
    };
    const Case cases[] = {
        {QVariant(QStringList{"a", "b"}), "QStringList(a; b)"},
        {QVariant(QRect(1, 2, 3, 4)), "QRect(1, 2, 3, 4)"},
        {QVariant(QSize(5, 6)), "QSize(5, 6)"},
        {QVariant(QPoint(-7, 8)), "QPoint(-7, 8)"},
        {QVariant(QByteArray("ab\0cd", 5)), "ab"},
        {QVariant(true), "true"},
        {QVariant(false), "false"},
        {QVariant(42), "42"},
        {QVariant(QString::fromUtf8("文本")), "文本"},
        {QVariant(QJsonValue(7)), "7"},
        {QVariant(QJsonValue("s")), "s"},
    };
    for (const Case& c : cases) {
        StdoutCapture cap;
        PRINTLN(c.v);
        EXPECT_EQ(cap.text(), QString::fromUtf8(c.expected) + "\n");
    }

    {
        StdoutCapture cap;
        PRINTLN(QVariant(QJsonObject{{"a", 1}}));
        EXPECT_EQ(cap.text(), "{\n    \"a\": 1\n}\n\n");
    }
    {
        StdoutCapture cap;
        PRINTLN(QVariant(QJsonValue(QJsonArray{1})));
        EXPECT_EQ(cap.text(), "[\n    1\n]\n\n");
    }
    {
        StdoutCapture cap;
        PRINTLN(QList<QJsonObject>{QJsonObject{{"a", 1}}, QJsonObject{{"b", 2}}});
        EXPECT_EQ(cap.text(), "[\n    {\n        \"a\": 1\n    },\n    {\n        \"b\": 2\n    }\n]\n\n");
    }
    {
        StdoutCapture cap;
        PRINTLN(QList<QString>{"x", "y", "z"});
        PRINT("raw");
        TRACELN(QVariant(QStringLiteral("traced")));
        const QString text = cap.text();
        EXPECT_TRUE(QRegularExpression("^x; y; z\\nraw" + kTime + " traced$").match(text).hasMatch()) << text.toStdString();
    }
}

TEST(UtilsTest, PositionNameAndLabelledValue)
{
    {
        StdoutCapture cap;
        PRINTPOS("/src/service/engine.cpp", 2619, "allUsed");
        PRINTPOS("C:\\src\\win.cpp", 7, "f");
        PRINTPOS("plain.cpp", 1, "g");
        PRINTNAME(QVariant(QStringLiteral("expr")));
        PRINTNAME(QVariant(QString()));
        const QString text = cap.text();
        const QString expected = "^>>-->" + kTime + " engine\\.cpp#2619 => allUsed: >>-->" + kTime
                                 + " win\\.cpp#7 => f: >>-->" + kTime + " plain\\.cpp#1 => g: expr = ~~ ~~ ~~$";
        EXPECT_TRUE(QRegularExpression(expected).match(text).hasMatch()) << text.toStdString();
    }
    {
        const int value = 41;
        const QList<int> list{1, 2};
        StdoutCapture cap;
        const int line = __LINE__ + 1;
        PRINTVAR(value + 1);
        PRINTVAR(QString("a,b").split(',').join("+"));
        PRINTVAR(list.size());
        const QStringList lines = cap.text().split('\n');
        ASSERT_EQ(lines.size(), 4);
        EXPECT_TRUE(QRegularExpression("^>>-->" + kTime + " test_utils\\.cpp#" + QString::number(line)
                                       + " => TestBody: value \\+ 1 = 42$")
                        .match(lines[0])
                        .hasMatch())
            << lines[0].toStdString();
        EXPECT_TRUE(lines[1].endsWith(" => TestBody: QString(\"a,b\").split(',').join(\"+\") = a+b"))
            << lines[1].toStdString();
        EXPECT_TRUE(lines[2].endsWith(": list.size() = 2")) << lines[2].toStdString();
        EXPECT_EQ(lines[3], "");
    }
    // PRINTVAR holds the console mutex while it prints and releases it after.
    EXPECT_TRUE(PRINTMUTEX().try_lock());
    PRINTMUTEX().unlock();
    EXPECT_EQ(&PRINTMUTEX(), &PRINTMUTEX());
}

TEST(UtilsTest, StatePrintlnLabelsAndColours)
{
    const QString dark = "\x1b[1m\x1b[30m";
    struct Case
    {
        int code;
        const char* labelColour;
        const char* label;
        const char* textColour;
    };
    const Case cases[] = {
        {0, "\x1b[1m\x1b[32m", "SUCCEED", "\x1b[0m"},
        {1, "\x1b[1m\x1b[37m", "IGNORE ", "\x1b[0m"},
        {2, "\x1b[1m\x1b[33m", "WARNING", "\x1b[33m"},
        {3, "\x1b[1m\x1b[35m", "NOT CFG", "\x1b[1m\x1b[30m"},
        {4, "\x1b[1m\x1b[31m", "FAILED ", "\x1b[0m"},
        {9, "\x1b[35m", "OTHERS ", "\x1b[0m"},
        {-1, "\x1b[35m", "OTHERS ", "\x1b[0m"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        StdoutCapture cap;
        HX2StatePrintln(c.code, QString::fromUtf8("状态 text"));
        const QString expected = dark + "[" + c.labelColour + c.label + dark + "] " + c.textColour
                                 + QString::fromUtf8("状态 text") + "\x1b[0m\n";
        EXPECT_EQ(cap.text(), expected);
        EXPECT_EQ(QString(c.label).size(), 7);
    }
}

TEST(UtilsTest, CurrentThreadIdIsDecimalAndPerThread)
{
    const QString mine = currentThreadId();
    EXPECT_TRUE(QRegularExpression("^\\d+$").match(mine).hasMatch()) << mine.toStdString();
    EXPECT_EQ(currentThreadId(), mine);
    QString other;
    std::thread([&other] { other = currentThreadId(); }).join();
    EXPECT_NE(other, mine);
}
