#include "vxrinventory.h"
#include "vxroplog.h"
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

// The snapshots a destroy was refused, only among those it was given.
TEST(VxrParse, RefusedSnapshotsOfADestroy)
{
    const QStringList tried{"p/a@1", "p/a@2", "p/a@x: y", "p/a@x"};
    struct Case { const char* name; QStringList lines; QSet<QString> refused; };
    const Case cases[] = {
        {"list form, each refused",
         {"cannot destroy snapshot p/a@1: dataset is busy", "cannot destroy snapshot p/a@2: snapshot is cloned"},
         {"p/a@1", "p/a@2"}},
        {"quoted form", {"cannot destroy 'p/a@2': snapshot has dependent clones", "use '-R' to destroy the following datasets:",
                         "p/a-clone"}, {"p/a@2"}},
        {"a name holding \": \"", {"cannot destroy snapshot p/a@x: y: dataset is busy"}, {"p/a@x: y", "p/a@x"}},
        {"a name not tried", {"cannot destroy snapshot p/a@3: dataset is busy", "cannot destroy 'p/a@9': busy"}, {}},
        {"other failures", {"cannot open 'p/a': dataset does not exist", "cannot destroy snapshots: permission denied",
                            "cannot destroy snapshot p/a@1", ""}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VxrParse::refusedSnapshots(c.lines, tried), c.refused);
    }
}

TEST(VxrInventory, MountPointGrouping)
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

TEST(VxrLog, ListedRecordMergesItsDetails)
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
        EXPECT_EQ(json(VxrLog::listedRecord(obj(c.record))), json(obj(c.listed)));
    }
}

// A whole listing gives, record for record, what each record lists as
// alone: records sharing a details text but not their keys included.
TEST(VxrLog, ListingMatchesEachRecordAlone)
{
    const char* d = R"("{\"action\":2,\"state\":9}")";
    QJsonArray all;
    for (const QString& r : {
             QString(R"({"id":1,"level":"I","message":"m","sparefield1":%1,"sparefield2":"","sparefield3":""})").arg(d),
             QString(R"({"id":2,"level":"E","message":"n","sparefield1":%1,"sparefield2":"","sparefield3":""})").arg(d),
             QString(R"({"id":3,"level":"E","extra":true,"sparefield1":%1,"sparefield2":""})").arg(d),
             QString(R"({"id":4,"level":"E","message":"o","sparefield1":%1,"sparefield3":"x"})").arg(d),
             QString(R"({"id":5,"state":"own","message":"p","sparefield1":%1,"sparefield2":"","sparefield3":""})").arg(d),
             QString(R"({"id":6,"level":"W","message":"q","sparefield1":"{\"state\":8}","sparefield2":"","sparefield3":""})"),
             QString(R"({"id":7,"level":"W","message":"r","sparefield2":"","sparefield3":""})"),
             QString(R"({"id":8,"level":"I","message":"s","sparefield1":%1,"sparefield2":"","sparefield3":""})").arg(d)})
        all.append(obj(r.toUtf8().constData()));
    const QJsonArray listed = VxrLog::listedRecords(all);
    ASSERT_EQ(listed.size(), all.size());
    for (int i = 0; i < all.size(); ++i)
        EXPECT_EQ(json(listed.at(i)), json(VxrLog::listedRecord(all.at(i).toObject()))) << "record " << i + 1;
}

TEST(VxrZfs, SnapshotNames)
{
    struct Case { QString dataset; QDateTime time; QString name; };
    const Case cases[] = {
        {"tank/home", QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9)), "tank/home@vxr_20260307140509"},
        {"p/d", QDateTime(QDate(2024, 1, 2), QTime(0, 0, 0)), "p/d@vxr_20240102000000"},
        {"p/my data", QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)), "p/my data@vxr_19991231235959"},
    };
    for (const Case& c : cases) {
        const QString name = VxrZfs::snapshotName(c.dataset, c.time);
        EXPECT_EQ(name, c.name);
        // The listing reads the stamp back as the time it was taken.
        EXPECT_EQ(VxrParse::snapshotTime(name), c.time.toString("yyyy-MM-dd HH:mm:ss"));
    }
}

// Every zfs command: program, arguments and the exit codes that count as
// success; the server's commands with every value quoted for its shell.
TEST(VxrZfs, CommandLines)
{
    struct Case { const char* name; VxrCommand command; QString program; QStringList args; QList<int> accepted; };
    const QString zfs = "zfs";
    const QString abs = "/usr/sbin/zfs";
    const Case cases[] = {
        {"info", VxrZfs::info("vxr/data"), zfs, {"list", "-H", "-p", "-o", "name,used,reservation", "vxr/data"}, {0}},
        {"used", VxrZfs::usedRefer({"p/a", "p/b c"}), abs, {"list", "-H", "-o", "used,refer", "p/a", "p/b c"}, {0}},
        {"used without datasets", VxrZfs::usedRefer({}), abs, {}, {0}},
        {"snapshot names", VxrZfs::snapshotNames(), zfs, {"list", "-H", "-o", "name", "-t", "snapshot"}, {0}},
        {"snapshot", VxrZfs::snapshot("p/a@vxr_20240102030405"), zfs, {"snapshot", "p/a@vxr_20240102030405"}, {0}},
        {"local listing", VxrZfs::snapshotListing("p/a"), abs,
         {"list", "-t", "snapshot", "p/a", "-H", "-o", "name,used,refer"}, {0}},
        {"names of one dataset", VxrZfs::snapshotNamesOf("p/a b"), zfs,
         {"list", "-t", "snapshot", "-H", "-o", "name", "p/a b"}, {0}},
        {"full estimate", VxrZfs::fullEstimate("p/a@1"), zfs, {"send", "-RPnv", "p/a@1"}, {0}},
        {"incremental estimate", VxrZfs::incrementalEstimate("p/a@1", "p/a@3"), zfs,
         {"send", "-RPnv", "p/a@3", "-i", "p/a@1"}, {0, 1}},
        {"datasets", VxrZfs::datasetNames(), zfs, {"list", "-H", "-o", "name"}, {0}},
        {"mount", VxrZfs::mount("p/a b"), abs, {"mount", "p/a b"}, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.command.program, c.program);
        EXPECT_EQ(c.command.args, c.args);
        EXPECT_EQ(c.command.options.acceptedCodes, c.accepted);
        EXPECT_GT(c.command.options.finishMs, 0);
    }

    struct Remote { const char* name; VxrZfs::RemoteQuery query; QString text; QList<int> accepted; };
    const Remote remote[] = {
        {"upload's list", VxrZfs::uploadRemoteSnapshots("p/it's"),
         R"(/usr/sbin/zfs list -t snapshot -H -o name 'p/it'\''s')", {0, 1}},
        {"account's snapshots", VxrZfs::accountSnapshots(), "/usr/sbin/zfs list -H -o name,used,refer -t snapshot ", {0}},
        {"account's names", VxrZfs::accountSnapshotNames(), "/usr/sbin/zfs list -t snapshot -H -o name", {0}},
        {"account's datasets", VxrZfs::accountDatasets(), "/usr/sbin/zfs list -H -o name", {0}},
        {"restore's list", VxrZfs::restoreSnapshots("p/a b"), "/usr/sbin/zfs list -t snapshot -H -o name 'p/a b'", {0}},
        {"restore's full estimate", VxrZfs::restoreFullEstimate("p/a@1"), "/usr/sbin/zfs send -RPnv 'p/a@1'", {0}},
        {"restore's incremental estimate", VxrZfs::restoreIncrementalEstimate("p/a@1", "p/a@$(x)"),
         "/usr/sbin/zfs send -RPnv 'p/a@$(x)' -i 'p/a@1'", {0, 1}},
    };
    for (const Remote& r : remote) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.query.text, r.text);
        EXPECT_EQ(r.query.options.acceptedCodes, r.accepted);
    }
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
