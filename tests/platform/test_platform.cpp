#include "phstorage.h"
#include "phsystem.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QString json(const QJsonObject& o) { return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)); }

TEST(PHStorage, MountListParsing)
{
    struct Case { const char* name; QStringList lines; const char* out; };
    const Case cases[] = {
        {"mounted datasets below a pool",
         {"tank\t/tank\tyes", "tank/home\t/tank/home\tyes", "tank/home/sub\t/srv/sub\tyes"},
         R"({"/srv/sub":{"fstype":"zfs","lv":"home/sub","mountpoint":"/srv/sub","name":"tank/home/sub","vg":"tank"},)"
         R"("/tank/home":{"fstype":"zfs","lv":"home","mountpoint":"/tank/home","name":"tank/home","vg":"tank"}})"},
        {"blanks in names and mount points",
         {"tank/my data\t/mnt/my data\tyes"},
         R"({"/mnt/my data":{"fstype":"zfs","lv":"my data","mountpoint":"/mnt/my data","name":"tank/my data","vg":"tank"}})"},
        {"unmounted, legacy, none and malformed lines skipped",
         {"tank/a\t/tank/a\tno", "tank/b\tlegacy\tno", "tank/c\tnone\t-", "tank/d /tank/d yes", "tank/e\t/tank/e",
          "tank/f\t/tank/f\tyes\textra", "/\t/x\tyes", "tank/\t/y\tyes"},
         "{}"},
        {"nothing", {}, "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(json(PHStorage::parseList(c.lines)), c.out);
    }
    EXPECT_EQ(PHStorage::listArgs(), QStringList({"list", "-H", "-t", "filesystem", "-o", "name,mountpoint,mounted"}));
}

TEST(PHSystem, UptimeText)
{
    struct Case { QByteArray text; const char* out; };
    const Case cases[] = {
        {"350735.47 234388.90\n", R"({"idle":234388.9,"seconds":350735,"text":"4 days 01:25:35"})"},
        {"59.99 10.00", R"({"idle":10,"seconds":59,"text":"0 days 00:00:59"})"},
        {"86400.00", R"({"idle":0,"seconds":86400,"text":"1 days 00:00:00"})"},
        {"", "{}"},
        {"abc 1.0", "{}"},
        {"-5 1.0", "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(json(PHSystem::parseUptime(c.text)), c.out);
    }
    // The machine's own /proc/uptime reads.
    EXPECT_GT(PHSystem().uptime().value("seconds").toDouble(), 0);
}

TEST(PHSystem, SerialNumberChoice)
{
    struct Case { QByteArray dmi; QByteArray machineId; QString serial; };
    const Case cases[] = {
        {"ABC123XYZ\n", "0123abcd\n", "ABC123XYZ"},
        {"To be filled by O.E.M.\n", "5f2c0e6d9a\n", "5f2c0e6d9a"},
        {"Not Specified", "5f2c", "5f2c"},
        {"Default string", "", ""},
        {"0000000000", "5f2c", "5f2c"},
        {"", "\n", ""},
        {"  S/N 42  ", "x", "S/N 42"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dmi.toStdString());
        EXPECT_EQ(PHSystem::pickSerial(c.dmi, c.machineId), c.serial);
    }
}

} // namespace
