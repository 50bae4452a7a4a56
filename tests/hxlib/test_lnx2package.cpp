#include "hx2runner.h"
#include "lnx2apt.h"
#include "lnx2isolation.h"
#include "lnx2package.h"

#include <gtest/gtest.h>

#include <QFile>

#include <functional>

using lnx2test::sh;

TEST(Package, NamesAndTargets)
{
    for (const char* good : {"vxrt-tool", "g++", "libc6:amd64", "0ad", "a.b+c-d"})
        EXPECT_TRUE(LNX2Package::isPackageName(good)) << good;
    for (const char* bad : {"", "a", "-P", "Tool", "a b", "a;rm", "../x", "a:", ".a", "a/b"})
        EXPECT_FALSE(LNX2Package::isPackageName(bad)) << bad;
    EXPECT_FALSE(LNX2Package::isPackageFile("relative/x.deb"));
    EXPECT_FALSE(LNX2Package::isPackageFile("/nonexistent/x.deb"));

    const struct { const char* in; const char* name; } names[] = {
        {"/tmp/pkgs/tool_1.2-3_amd64.deb", "tool"}, {"tool", "tool"}, {"/x/_odd.deb", "_odd.deb"}, {"a/b", "b"}};
    for (const auto& c : names)
        EXPECT_EQ(LNX2Apt::takePackageName(c.in), c.name) << c.in;
}

TEST(Package, ParsersOfDpkgAptAndPs)
{
    const QString listing = "Desired=Unknown/Install/Remove/Purge/Hold\n"
                            "||/ Name  Version  Architecture Description\n"
                            "+++-=====-========-============-===========\n"
                            "ii  libc6:amd64  2.36-9  amd64  GNU C Library\n"
                            "rc  old-tool     1.0     all    gone, its configuration kept\n"
                            "iF  half         2:1.0~rc1 all  half-configured\n"
                            "iHR stuck        3.0     all    half-installed, reinstall required\n"
                            "hi  held         1.1     all    held\n";
    const QList<LNX2Package::Entry> e = LNX2Package::parseList(listing);
    ASSERT_EQ(e.size(), 5);
    EXPECT_EQ(e.at(0).name, "libc6:amd64");
    EXPECT_EQ(e.at(2).version, "2:1.0~rc1");
    QStringList broken;
    for (const LNX2Package::Entry& x : e) {
        if (LNX2Package::isBroken(x.status))
            broken << x.name;
    }
    EXPECT_EQ(broken, (QStringList{"half", "stuck"}));
    for (const char* s : {"iU", "iW", "it", "ii", "un", "pn"})
        EXPECT_EQ(LNX2Package::isBroken(s), QByteArray("UWt").contains(s[1])) << s;

    const QJsonArray up = LNX2Package::parseUpgradables(
        "Listing... Done\n"
        "tool/stable 2.0 amd64 [upgradable from: 1.0]\n"
        "version-kozu/stable 9 all [upgradable from: 8]\n"
        "lib/stable,now 1.1 amd64 [installed]\n");
    EXPECT_EQ(up, (QJsonArray{QJsonObject{{"package", "tool"}, {"version", "2.0"}, {"current", "1.0"}}}));

    EXPECT_TRUE(LNX2Package::busyIn("systemd\ndpkg\nbash\n"));
    EXPECT_TRUE(LNX2Package::busyIn("apt-get"));
    EXPECT_FALSE(LNX2Package::busyIn("dpkg-query\nxapt\napt.systemd.dai\n"));

    QStringList scripts{".prerm", ".postrm", ".preinst", ".postinst"};
    const QString out = " installed x package post-removal script subprocess returned error exit status 1";
    EXPECT_EQ(LNX2Package::failedScript("x", out, scripts), "/var/lib/dpkg/info/x.postrm");
    EXPECT_EQ(LNX2Package::failedScript("x", out, scripts), "");
}

TEST(Package, ProgressFollowsAptPhasesWhateverTheChunks)
{
    const QByteArray transcript =
        "Reading package lists... Done\r\n"
        "2 upgraded, 3 newly installed, 0 to remove and 7 not upgraded.\r\n"
        "\r0% [Working]\r45% [1 tool 300 kB/600 kB 50%]"
        "\rFetched 1 MB in 1s\r\n"
        "Unpacking a (1) ...\r\nUnpacking b (1) ...\r\nUnpacking c (1) ...\r\n"
        "Unpacking d (1) ...\r\nUnpacking e (1) ...\r\n"
        "Setting up a (1) ...\r\nSetting up b (1) ...\r\n";
    LNX2AptProgress whole;
    EXPECT_EQ(whole.feed(transcript.left(30)), 1);
    EXPECT_EQ(whole.feed(transcript.mid(30, 90)), 13); // 45% of the download's 30
    EXPECT_EQ(whole.packageCount(), 5);
    EXPECT_EQ(whole.feed(transcript.mid(120)), 76);
    EXPECT_EQ(whole.feed("Setting up c (1) ...\r\nSetting up d (1) ...\r\nSetting up e (1) ...\r\n"), 99);

    LNX2AptProgress bytes;
    int last = 0;
    for (char c : transcript) {
        const int p = bytes.feed(QByteArray(1, c));
        EXPECT_GE(p, last);
        last = p;
    }
    EXPECT_EQ(last, 76);
    EXPECT_TRUE(bytes.tail().endsWith("Setting up b (1) ..."));

    LNX2AptProgress none;
    EXPECT_EQ(none.feed("0 upgraded, 0 newly installed, 1 to remove and 0 not upgraded.\n"), 99);
}

namespace {

const QString kRepo = "/tmp/vxr-repo";
const QString kLoose = "/tmp/vxr loose/vxrt-tool_1.0_all.deb";

QString status(const QString& name)
{
    QString st;
    QString ver;
    return LNX2Package().status(name, st, ver) ? st + " " + ver : QString();
}

// Builds the test packages (files under /opt/vxrt) and a trusted file:
// repository holding all but the loose first version of vxrt-tool.
bool makeRepository()
{
    return sh(R"(set -e
mk() { d=/tmp/vxr-build/$1-$2; mkdir -p $d/DEBIAN $d/opt/vxrt/$1
  echo $2 > $d/opt/vxrt/$1/file; echo "setting=$2" > $d/opt/vxrt/$1/conf
  echo /opt/vxrt/$1/conf > $d/DEBIAN/conffiles
  printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: Test <t@example.org>\nDescription: test package\n' $1 $2 > $d/DEBIAN/control
  if [ -n "$3" ]; then printf '#!/bin/sh\n%s\n' "$4" > $d/DEBIAN/$3; chmod 755 $d/DEBIAN/$3; fi
  dpkg-deb -b $d /tmp/vxr-repo/$1_$2_all.deb > /dev/null; }
mkdir -p /tmp/vxr-repo "/tmp/vxr loose"
mk vxrt-tool 1.0; mk vxrt-tool 2.0; mk vxrt-badrm 1.0 postrm 'exit 1'
mk vxrt-badinst 1.0 postinst 'if [ -e /opt/vxrt-fail ]; then echo failing >&2; exit 1; fi'
mv /tmp/vxr-repo/vxrt-tool_1.0_all.deb "/tmp/vxr loose/"
cd /tmp/vxr-repo && dpkg-scanpackages . /dev/null > Packages 2> /dev/null
echo "deb [trusted=yes] file:/tmp/vxr-repo ./" > /etc/apt/sources.list
apt-get update -qq)");
}

} // namespace

TEST(Package, InstallUpgradePurgeReinstallAndRepairInPrivate)
{
    REQUIRE_ISOLATION();
    const QByteArray hostBefore = lnx2test::hostDpkgStatus();
    ASSERT_FALSE(hostBefore.isEmpty());
    ASSERT_TRUE(makeRepository());
    const LNX2Package pkg;
    LNX2Apt apt;
    QList<int> seen;
    QObject::connect(&apt, &LNX2Apt::progress, [&seen](int p) { seen.append(p); });

    // A package file whose path holds a blank, then the newer version by name.
    QJsonObject result;
    ASSERT_TRUE(apt.aptExecute(result, {{"package", kLoose}, {"exec", 7}})) << result.value("errmsg").toString().toStdString();
    EXPECT_EQ(result.value("filepath"), kLoose);
    EXPECT_EQ(result.value("action"), 1);
    EXPECT_EQ(seen.first(), 0);
    EXPECT_EQ(seen.last(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(status("vxrt-tool"), "ii 1.0");
    QString version, current;
    EXPECT_TRUE(pkg.upgradable(version, current, "vxrt-tool"));
    EXPECT_EQ(version + "<-" + current, "2.0<-1.0");
    ASSERT_TRUE(apt.aptExecute(result, {{"package", "vxrt-tool"}, {"exec", 2}}));
    EXPECT_EQ(status("vxrt-tool"), "ii 2.0");
    EXPECT_FALSE(apt.aptExecute(result, {{"package", "-o=x vxrt-tool"}}));

    // A lost configuration file comes back with a reinstall.
    ASSERT_TRUE(QFile::remove("/opt/vxrt/vxrt-tool/conf"));
    EXPECT_TRUE(pkg.reinstall("vxrt-tool"));
    EXPECT_TRUE(QFile::exists("/opt/vxrt/vxrt-tool/conf"));

    // A failing post-installation script is a failure, not 100 percent.
    ASSERT_TRUE(sh("touch /opt/vxrt-fail"));
    seen.clear();
    EXPECT_FALSE(apt.aptExecute(result, {{"package", "vxrt-badinst"}, {"exec", 1}}));
    EXPECT_TRUE(result.value("errmsg").toString().contains("post-installation")) << result.value("errmsg").toString().toStdString();
    EXPECT_NE(seen.last(), 100);
    EXPECT_EQ(status("vxrt-badinst"), "iF 1.0");

    // Repair neither purges the half-configured package nor one whose
    // configuration alone is left; once its script passes, it is fixed.
    ASSERT_TRUE(sh("dpkg -r vxrt-tool > /dev/null"));
    EXPECT_EQ(status("vxrt-tool"), "rc 2.0");
    EXPECT_EQ(pkg.brokens().size(), 1);
    {
        HX2Runner fake("/tmp/vxr-fake/dpkg", {"30"});
        ASSERT_TRUE(sh("mkdir -p /tmp/vxr-fake && cp /bin/sleep /tmp/vxr-fake/dpkg"));
        ASSERT_TRUE(fake.start());
        EXPECT_TRUE(pkg.isBusy());
        EXPECT_FALSE(pkg.repairAll(false));
    }
    const lnx2test::StandIn ntpdate("ntpdate", "exit 0");
    const lnx2test::StandIn hwclock("hwclock", "exit 0");
    EXPECT_FALSE(pkg.repairAll(false));
    EXPECT_EQ(status("vxrt-badinst"), "iF 1.0");
    EXPECT_EQ(status("vxrt-tool"), "rc 2.0");
    ASSERT_TRUE(sh("rm /opt/vxrt-fail"));
    EXPECT_TRUE(pkg.repairAll(false));
    EXPECT_EQ(status("vxrt-badinst"), "ii 1.0");
    EXPECT_EQ(status("vxrt-tool"), "rc 2.0");
    EXPECT_TRUE(apt.aptRepair());

    // Purges past a failing post-removal script, with dpkg and with apt.
    ASSERT_TRUE(apt.aptExecute(result, {{"package", "vxrt-badrm"}}));
    EXPECT_TRUE(pkg.purge("vxrt-badrm"));
    EXPECT_EQ(status("vxrt-badrm"), "");
    ASSERT_TRUE(apt.aptExecute(result, {{"package", "vxrt-badrm"}}));
    EXPECT_TRUE(apt.aptPurge("vxrt-badrm"));
    EXPECT_EQ(status("vxrt-badrm"), "");
    EXPECT_TRUE(apt.aptExecute(result, {{"package", "vxrt-badinst"}, {"exec", 4}}));
    EXPECT_EQ(status("vxrt-badinst"), "");
    EXPECT_FALSE(pkg.purge("-a"));

    EXPECT_EQ(lnx2test::hostDpkgStatus(), hostBefore);
}

// A failed "dpkg -l" tells nothing: not that nothing is broken, nor that a
// purged package is gone.
TEST(Package, AFailedListingIsAFailure)
{
    REQUIRE_ISOLATION();
    const QString none = "printf '+++-===\\n'";
    const QString fails = "exit 2";
    const QString onceBroken = "f=\"$(dirname \"$0\")/listed\"; [ -e \"$f\" ] && exit 2; touch \"$f\"\n"
                               "printf '+++-===\\niF  vxrt-x  1.0  all  half\\n'";
    const auto repair = [] { return LNX2Package().stepRepair(); };
    const auto purge = [] { return LNX2Apt().aptPurge("vxrt-x"); };
    const struct
    {
        const char* what;
        QString dpkg;
        std::function<bool()> run;
        bool ok;
    } rows[] = {
        {"repair, nothing broken", none, repair, true},
        {"repair, no listing", fails, repair, false},
        {"repair, no listing after the reinstall", onceBroken, repair, false},
        {"purge, gone", none, purge, true},
        {"purge, no listing", fails, purge, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const lnx2test::StandIn apt("apt", "exit 0");
        const lnx2test::StandIn dpkg("dpkg", row.dpkg);
        EXPECT_EQ(row.run(), row.ok);
    }
}
