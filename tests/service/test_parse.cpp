#include "vxrparse.h"
#include "vxrzfs.h"

#include "hx2utils.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QString json(const QJsonValue& v)
{
    if (v.isArray())
        return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
    return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
}

QJsonObject obj(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QJsonArray arr(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).array();
}

TEST(VxrParse, ColumnsOfTabAndBlankSeparatedLines)
{
    struct Case { QString line; QStringList cols; };
    const Case cases[] = {
        {"tank/a@s1\t1.5G\t2M", {"tank/a@s1", "1.5G", "2M"}},
        {"tank/a@s1   1.5G 2M", {"tank/a@s1", "1.5G", "2M"}},
        {"  tank/a@s1 1.5G  2M  ", {"tank/a@s1", "1.5G", "2M"}},
        // A name with a blank: zfs -H puts tabs between columns.
        {"tank/my data@vxr_20240102030405\t10K\t20K", {"tank/my data@vxr_20240102030405", "10K", "20K"}},
        {"tank/a@s1\t 1K \t\t2K", {"tank/a@s1", "1K", "2K"}},
        {"", {}},
        {"\t \t", {}},
        {"   ", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        EXPECT_EQ(VxrParse::columns(c.line), c.cols);
    }
}

TEST(VxrParse, SnapshotTimeFromTheFourteenDigitTail)
{
    struct Case { QString name; QString time; };
    const Case cases[] = {
        {"tank/a@vxr_20240102030405", "2024-01-02 03:04:05"},
        {"tank/a@vxr_20261231235959", "2026-12-31 23:59:59"},
        {"20240229000000", "2024-02-29 00:00:00"},
        {"tank/a@manual", ""},
        {"tank/a@vxr_2024010203040", ""},      // 13 digits
        {"tank/a@vxr_20240102030405x", ""},    // tail is not the stamp
        {"tank/a@vxr_20241302030405", ""},     // month 13
        {"tank/a@vxr_20230229030405", ""},     // no 29 February in 2023
        {"tank/a@vxr_20240102250405", ""},     // hour 25
        {"tank/a@vxr_20240102036005", ""},     // minute 60
        {"tank/a@vxr_2024 102030405", ""},
        {QString::fromUtf8("tank/a@vxr_2024010203040\xef\xbc\x95"), ""}, // full-width digit
        {"a@1", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(VxrParse::snapshotTime(c.name), c.time);
    }
}

TEST(VxrParse, SnapshotRecordsFromListingLines)
{
    struct Case { const char* name; QStringList lines; bool withTime; const char* records; int added; };
    const Case cases[] = {
        {"local, tab separated",
         {"tank/a@vxr_20240102030405\t1.5G\t2M", "tank/a@manual\t0B\t512"}, true,
         R"([{"name":"tank/a@vxr_20240102030405","used":1610612736,"refer":2097152,"time":"2024-01-02 03:04:05"},)"
         R"({"name":"tank/a@manual","used":0,"refer":512,"time":""}])", 2},
        {"local, blank separated gives the same",
         {"tank/a@vxr_20240102030405 1.5G   2M", "tank/a@manual 0B 512"}, true,
         R"([{"name":"tank/a@vxr_20240102030405","used":1610612736,"refer":2097152,"time":"2024-01-02 03:04:05"},)"
         R"({"name":"tank/a@manual","used":0,"refer":512,"time":""}])", 2},
        {"remote has no time",
         {"pool/ds@vxr_20240102030405\t10K\t1T"}, false,
         R"([{"name":"pool/ds@vxr_20240102030405","used":10240,"refer":1099511627776}])", 1},
        {"short lines skipped, extra columns ignored",
         {"tank/a@x\t1K", "tank/a@y", "tank/a@z\t1K\t2K\textra\tmore"}, false,
         R"([{"name":"tank/a@z","used":1024,"refer":2048}])", 1},
        {"unreadable sizes read as 0",
         {"tank/a@x\t-\tabc"}, false, R"([{"name":"tank/a@x","used":0,"refer":0}])", 1},
        {"name with a blank",
         {"tank/my data@vxr_20240102030405\t1K\t2K"}, true,
         R"([{"name":"tank/my data@vxr_20240102030405","used":1024,"refer":2048,"time":"2024-01-02 03:04:05"}])", 1},
        {"nothing listed", {}, true, "[]", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QJsonArray records;
        EXPECT_EQ(VxrParse::appendSnapshotRecords(c.lines, c.withTime, records), c.added);
        EXPECT_EQ(json(records), json(arr(c.records)));
    }
    // Records already in the array stay in front.
    QJsonArray records{QJsonObject{{"name", "earlier"}}};
    VxrParse::appendSnapshotRecords({"p/d@s\t1\t2"}, false, records);
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records.at(0).toObject().value("name").toString(), "earlier");
}

TEST(VxrParse, ZfsInfoLine)
{
    struct Case { QString line; bool ok; const char* out; };
    const Case cases[] = {
        {"vxr/data\t123456\t1099511627776", true, R"({"used":123456,"all":1099511627776})"},
        {"vxr/data 5 0", true, R"({"used":5,"all":0})"},
        {"vxr/data\tabc\t7", true, R"({"used":0,"all":7})"},
        {"vxr/data\t1.5G\t-", true, R"({"used":0,"all":0})"},
        {"vxr/data\t5", false, "{}"},
        {"", false, "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        QJsonObject out;
        EXPECT_EQ(VxrParse::parseZfsInfo(c.line, out), c.ok);
        EXPECT_EQ(json(out), json(obj(c.out)));
    }
}

TEST(VxrParse, UsedAndReferSums)
{
    struct Case { QStringList lines; qint64 used; qint64 refer; };
    const Case cases[] = {
        {{"1K\t2M"}, 1024, 2097152},
        {{"1K\t2M", "2M 1K"}, 1024 + 2097152, 2097152 + 1024},
        {{"1.5G\t10kib", "onlyone", ""}, 1610612736, 10240},
        {{"100\t200", "3\t4\t5"}, 103, 204},
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.join('|').toStdString());
        qint64 used = 0;
        qint64 refer = 0;
        VxrParse::sumUsedRefer(c.lines, used, refer);
        EXPECT_EQ(used, c.used);
        EXPECT_EQ(refer, c.refer);
    }
}

TEST(VxrParse, MountPointGrouping)
{
    struct Case { const char* name; const char* mountpoints; const char* map; };
    const Case cases[] = {
        {"two datasets of one pool, one other file system",
         R"({"/p/a":{"fstype":"zfs","vg":"p","lv":"a","mountpoint":"/p/a"},)"
         R"("/p/b":{"fstype":"zfs","vg":"p","lv":"b"},)"
         R"("/boot":{"fstype":"ext4","vg":"sys","lv":"boot"}})",
         R"({"p":{"a":{"fstype":"zfs","vg":"p","lv":"a","mountpoint":"/p/a"},"b":{"fstype":"zfs","vg":"p","lv":"b"}}})"},
        {"two pools",
         R"({"/1":{"fstype":"zfs","vg":"p","lv":"a"},"/2":{"fstype":"zfs","vg":"q","lv":"a"}})",
         R"({"p":{"a":{"fstype":"zfs","vg":"p","lv":"a"}},"q":{"a":{"fstype":"zfs","vg":"q","lv":"a"}}})"},
        {"a later entry of the same dataset replaces an earlier one",
         R"({"/1":{"fstype":"zfs","vg":"p","lv":"a","n":1},"/2":{"fstype":"zfs","vg":"p","lv":"a","n":2}})",
         R"({"p":{"a":{"fstype":"zfs","vg":"p","lv":"a","n":2}}})"},
        {"file-system type is case-sensitive and required",
         R"({"/1":{"fstype":"ZFS","vg":"p","lv":"a"},"/2":{"vg":"p","lv":"b"},"/3":"zfs","/4":[1]})", "{}"},
        {"nothing mounted", "{}", "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(json(VxrParse::groupMountpoints(obj(c.mountpoints))), json(obj(c.map)));
    }
}

TEST(VxrParse, ListedLogRecordMergesItsDetails)
{
    struct Case { const char* name; const char* record; const char* listed; };
    const Case cases[] = {
        {"details merged, spare fields removed",
         R"({"id":4,"level":"Information","sparefield1":"{\"action\":3,\"state\":9}","sparefield2":"","sparefield3":"x"})",
         R"({"id":4,"level":"Information","action":3,"state":9})"},
        {"empty details", R"({"id":1,"sparefield1":"","sparefield2":"","sparefield3":""})", R"({"id":1})"},
        {"details not JSON", R"({"id":1,"sparefield1":"{broken"})", R"({"id":1})"},
        {"details an array", R"({"id":1,"sparefield1":"[1,2]"})", R"({"id":1})"},
        {"details not a string", R"({"id":1,"sparefield1":{"action":1}})", R"({"id":1})"},
        {"details win over the record's own keys",
         R"({"level":"Error","state":"x","sparefield1":"{\"state\":3,\"level\":\"Warning\"}"})",
         R"({"level":"Warning","state":3})"},
        {"no spare fields at all", R"({"message":"m"})", R"({"message":"m"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(json(VxrParse::listedLogRecord(obj(c.record))), json(obj(c.listed)));
    }
}

TEST(VxrParse, TaskCancelRules)
{
    struct Case { const char* name; const char* tasks; int index; bool found; const char* after; };
    const Case cases[] = {
        {"running task is marked and stays", R"([{"index":1,"step":1},{"index":2}])", 1, true,
         R"([{"index":1,"step":1,"removed":1},{"index":2}])"},
        {"waiting task is removed", R"([{"index":1},{"index":2},{"index":3}])", 2, true,
         R"([{"index":1},{"index":3}])"},
        {"last waiting task is removed", R"([{"index":1},{"index":2},{"index":3}])", 3, true,
         R"([{"index":1},{"index":2}])"},
        {"unknown index", R"([{"index":1},{"index":2}])", 9, false, R"([{"index":1},{"index":2}])"},
        {"empty queue", "[]", 1, false, "[]"},
        {"index read as an integer", R"([{"index":"1"},{"index":2.0}])", 2, true, R"([{"index":"1"}])"},
        {"neighbouring duplicates all go", R"([{"index":1},{"index":2},{"index":2},{"index":3}])", 2, true,
         R"([{"index":1},{"index":3}])"},
        {"head and a waiting task with the same index", R"([{"index":5},{"index":5}])", 5, true,
         R"([{"index":5,"removed":1}])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QJsonArray tasks = arr(c.tasks);
        EXPECT_EQ(VxrParse::cancelTask(tasks, c.index), c.found);
        EXPECT_EQ(json(tasks), json(arr(c.after)));
    }
}

TEST(VxrParse, SnapshotNames)
{
    struct Case { QString dataset; QDateTime time; QString name; };
    const Case cases[] = {
        {"tank/home", QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9)), "tank/home@vxr_20260307140509"},
        {"p/d", QDateTime(QDate(2024, 1, 2), QTime(0, 0, 0)), "p/d@vxr_20240102000000"},
        {"p/my data", QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)), "p/my data@vxr_19991231235959"},
    };
    for (const Case& c : cases) {
        const QString name = VxrParse::snapshotName(c.dataset, c.time);
        EXPECT_EQ(name, c.name);
        // The listing reads the stamp back as the time it was taken.
        EXPECT_EQ(VxrParse::snapshotTime(name), c.time.toString("yyyy-MM-dd HH:mm:ss"));
    }
}

TEST(VxrZfs, ArgumentLists)
{
    struct Case { const char* name; QStringList args; QStringList expected; };
    const Case cases[] = {
        {"info", VxrZfs::infoArgs("vxr/data"), {"list", "-H", "-p", "-o", "name,used,reservation", "vxr/data"}},
        {"used", VxrZfs::usedArgs({"p/a", "p/b c"}), {"list", "-H", "-o", "used,refer", "p/a", "p/b c"}},
        {"used without datasets", VxrZfs::usedArgs({}), {}},
        {"snapshot names", VxrZfs::snapshotNamesArgs(), {"list", "-H", "-o", "name", "-t", "snapshot"}},
        {"snapshot", VxrZfs::snapshotArgs("p/a@vxr_20240102030405"), {"snapshot", "p/a@vxr_20240102030405"}},
        {"local listing", VxrZfs::localListArgs("p/a"),
         {"list", "-t", "snapshot", "p/a", "-H", "-o", "name,used,refer"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.args, c.expected);
    }
    EXPECT_EQ(VxrZfs::remoteListCommand(), "/usr/sbin/zfs list -H -o name,used,refer -t snapshot ");
}

} // namespace

namespace {

// The quick reading of sizes must agree with asCapacity on every text,
// zfs's own forms and everything else.
TEST(VxrParse, SizeBytesAgreesWithAsCapacity)
{
    const char* const texts[] = {
        "0", "0B", "512", "512B", "512b", "1.5b", "96K", "96k", "1.50M", "12.3G", "1.2T", "7T", "1.5P",
        "10kib", "10KB", "2 GB", " 1K", "1K ", "-5", "-1.5G", "+3K", ".5K", "5.K", "1..5K", "1.5.5K",
        "abc", "K", "B", "", "99999999999999999999", "999999999999999999", "9999999999T", "1e3K",
        "0x10", "1,5K", "١٢K",
    };
    for (const char* t : texts) {
        const QString text = QString::fromUtf8(t);
        SCOPED_TRACE(t);
        EXPECT_EQ(VxrParse::sizeBytes(QStringView(text)), asCapacity(text));
    }
}

} // namespace
