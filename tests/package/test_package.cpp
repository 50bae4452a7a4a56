// The Debian package, installed, upgraded and purged with the machine's own
// tools in a throw-away copy of the machine: each test mounts a fresh
// overlay of the root file system, writable in memory and seen only by
// this process (its own mount namespace) and the programs it chroots into
// it. /run inside the copy is empty, so the maintainer scripts never reach
// a running systemd. Every test checks that the machine's package status
// is unchanged afterwards.
#include "../printqt.h"
#include "hx2runner.h"
#include "lnx2package.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstring>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const QString kName = QStringLiteral("kozu-vxrclient-isp");
const QString kConfig = QStringLiteral("/kozu/etc/vxrclient/config.json");
const QString kUnit = QStringLiteral("/lib/systemd/system/vxrclient.service");
QString g_isolationError = QStringLiteral("not isolated");
QString g_work; // a tmpfs of this mount namespace alone

QString isolate()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root");
    char dir[] = "/tmp/vxrpkg.XXXXXX";
    if (!::mkdtemp(dir))
        return QStringLiteral("cannot make a directory in /tmp");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount("vxrpkg", dir, "tmpfs", 0, nullptr) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        ::rmdir(dir);
        return QStringLiteral("cannot make a private mount namespace: ") + why;
    }
    g_work = QString::fromLocal8Bit(dir);
    return QString();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class PackageTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!g_isolationError.isEmpty())
            GTEST_SKIP() << g_isolationError.toStdString();
        const QString deb = QDir(VXR_PACKAGE_DIR).entryInfoList({kName + "_" VXR_VERSION "_*.deb"}).value(0).filePath();
        ASSERT_FALSE(deb.isEmpty()) << "no package of version " VXR_VERSION " in " VXR_PACKAGE_DIR;
        static int n = 0;
        const QString base = g_work + "/" + QString::number(++n);
        m_upper = base + "/upper";
        m_root = base + "/root";
        for (const QString& d : {m_upper, base + "/work", m_root})
            QDir().mkpath(d);
        m_hostStatus = readFile("/var/lib/dpkg/status");
        const QString options = "lowerdir=/,upperdir=" + m_upper + ",workdir=" + base + "/work";
        ASSERT_EQ(::mount("vxrpkg", qPrintable(m_root), "overlay", 0, qPrintable(options)), 0) << std::strerror(errno);
        for (const char* api : {"/proc", "/dev", "/sys"})
            ASSERT_EQ(::mount(api, qPrintable(m_root + api), nullptr, MS_BIND | MS_REC, nullptr), 0) << api;
        ASSERT_EQ(::mount("vxrpkg", qPrintable(m_root + "/run"), "tmpfs", 0, nullptr), 0);
        m_deb = "/run/" + QFileInfo(deb).fileName();
        ASSERT_TRUE(QFile::copy(deb, m_root + m_deb));
    }

    void TearDown() override
    {
        if (!m_root.isEmpty())
            ::umount2(qPrintable(m_root), MNT_DETACH);
        if (!m_hostStatus.isEmpty()) {
            EXPECT_EQ(readFile("/var/lib/dpkg/status"), m_hostStatus) << "the machine's package state changed";
        }
    }

    // Runs script with /bin/sh inside the copy; *out receives standard
    // output and error.
    HX2RunResult in(const QString& script, QString* out = nullptr)
    {
        HX2RunOptions o;
        o.finishMs = 300000;
        o.channels = HX2Channels::Merged;
        o.env.insert("DEBIAN_FRONTEND", "noninteractive");
        o.env.insert("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
        const HX2RunResult r = HX2Runner::run("/usr/sbin/chroot", {m_root, "/bin/sh", "-c", script}, o);
        if (out)
            *out = QString::fromUtf8(r.out);
        return r;
    }
    bool must(const QString& script)
    {
        const HX2RunResult r = in(script);
        EXPECT_TRUE(r.ok) << script.toStdString() << "\n" << r.out.toStdString();
        return r.ok;
    }
    bool install() { return must("apt-get install -y -q " + m_deb + " >/dev/null"); }

    // Status and version that "dpkg -l" lists for the package.
    LNX2Package::Entry listed()
    {
        QString out;
        in("dpkg -l " + kName, &out);
        for (const LNX2Package::Entry& e : LNX2Package::parseList(out)) {
            if (e.name == kName)
                return e;
        }
        return {};
    }

    // The files the copy added or changed against the machine, and those
    // of the machine it deleted (" deleted"), besides the package tools'
    // own records.
    QStringList changedFiles() const
    {
        static const QStringList tools{"/var/lib/dpkg/", "/var/lib/apt/", "/var/cache/", "/var/log/apt/", "/var/log/dpkg.log"};
        QStringList files;
        QDirIterator it(m_upper, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next().mid(m_upper.size());
            if (std::none_of(tools.cbegin(), tools.cend(), [&](const QString& t) { return path.startsWith(t); }))
                files << path + (it.fileInfo().isFile() || it.fileInfo().isSymLink() ? "" : " deleted");
        }
        return files;
    }

    QString m_root, m_upper, m_deb;
    QByteArray m_hostStatus;
};

TEST_F(PackageTest, InstallsItsProgramsUnitAndConfigurationAndTheServiceAnswers)
{
    ASSERT_TRUE(install());
    const LNX2Package::Entry e = listed();
    EXPECT_EQ(e.status, "ii");
    EXPECT_EQ(e.version, VXR_VERSION);

    QString files;
    in("dpkg -L " + kName + " | while read -r f; do [ -d \"$f\" ] || echo \"$f\"; done | sort", &files);
    EXPECT_EQ(files.split('\n', Qt::SkipEmptyParts),
              (QStringList{kConfig, kUnit, "/usr/bin/hxcall", "/usr/bin/vxrstatus", "/usr/sbin/dsrecover", "/usr/sbin/vxrclient",
                           "/usr/share/doc/" + kName + "/changelog.gz", "/usr/share/doc/" + kName + "/copyright",
                           "/usr/share/lintian/overrides/" + kName, "/usr/share/man/man1/hxcall.1.gz",
                           "/usr/share/man/man1/vxrstatus.1.gz",
                           "/usr/share/man/man8/dsrecover.8.gz", "/usr/share/man/man8/vxrclient.8.gz"}));
    QString conffiles;
    in("dpkg-query -W -f='${Conffiles}' " + kName, &conffiles);
    EXPECT_TRUE(conffiles.contains(kConfig)) << conffiles.toStdString();
    EXPECT_TRUE(QFileInfo(m_root + "/etc/systemd/system/multi-user.target.wants/vxrclient.service").isSymLink())
        << "the postinst did not enable the unit";

    const struct { const char* command; int code; const char* says; } programs[] = {
        {"vxrclient --help", 0, "--cfg"},
        {"dsrecover --help", 0, "USAGE: dsrecover"},
        {"hxcall --help", 0, "socket request"},
    };
    for (const auto& p : programs) {
        QString out;
        EXPECT_EQ(in(p.command, &out).exitCode, p.code) << p.command;
        EXPECT_TRUE(out.contains(p.says)) << p.command << ": " << out.toStdString();
    }

    // The service as its unit starts it, stopped as the unit stops it.
    const QString socket = QJsonDocument::fromJson(readFile(m_root + kConfig)).object().value("localagentid").toString();
    ASSERT_FALSE(socket.isEmpty());
    HX2RunOptions untimed;
    untimed.finishMs = -1;
    HX2Runner service("/usr/sbin/chroot", {m_root, "/usr/sbin/vxrclient", "--cfg", kConfig}, untimed);
    ASSERT_TRUE(service.start());
    for (int i = 0; i < 100 && !QFileInfo::exists(m_root + socket); ++i)
        service.waitForFinished(100);
    QString reply;
    EXPECT_TRUE(in("hxcall " + socket + " help_interfaces", &reply).ok);
    EXPECT_EQ(QJsonDocument::fromJson(reply.toUtf8()).object().value("err"), 0) << reply.toStdString();
    ::kill(static_cast<pid_t>(service.pid()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(30000));
    EXPECT_TRUE(service.result().ok) << service.result().exitCode;
}

TEST_F(PackageTest, SystemdAcceptsTheUnit)
{
    if (!QFileInfo::exists("/usr/bin/systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed (scripts/install-deps.sh installs systemd)";
    ASSERT_TRUE(install());
    QString out;
    const HX2RunResult r = in("systemd-analyze verify " + kUnit, &out);
    EXPECT_TRUE(r.ok) << out.toStdString();
    EXPECT_FALSE(out.contains("vxrclient")) << out.toStdString();
}

TEST_F(PackageTest, EditedConfigurationSurvivesReinstallAndUpgrade)
{
    ASSERT_TRUE(install());
    const QByteArray edited = "{ \"localagentid\": \"/run/edited\", \"vg\": \"tank\", \"lv\": \"home\" }\n";
    QFile f(m_root + kConfig);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(edited) == edited.size());
    f.close();

    ASSERT_TRUE(must("dpkg -i " + m_deb + " >/dev/null"));
    EXPECT_EQ(readFile(m_root + kConfig), edited) << "reinstall";

    // The next version: the same package with a higher version number.
    ASSERT_TRUE(must("cd /run && dpkg-deb -R " + m_deb + " next && sed -i 's/^Version: .*/&+1/' next/DEBIAN/control"
         " && dpkg-deb -b next next.deb >/dev/null && dpkg -i next.deb >/dev/null"));
    EXPECT_EQ(listed().version, VXR_VERSION "+1");
    EXPECT_EQ(readFile(m_root + kConfig), edited) << "upgrade";
}

TEST_F(PackageTest, PurgeRemovesWhatItInstalledAndNothingElse)
{
    ASSERT_TRUE(install());
    // What the service writes, and a file of the platform beside it.
    ASSERT_TRUE(must("mkdir -p /kozu/etc/vxrclientisp && echo '{}' > /kozu/etc/vxrclientisp/settings.json"
         " && echo '{}' > /kozu/etc/vxrclientisp/lastbackup.json && echo '{}' > /kozu/etc/vxrclientisp/retention.json"
         " && echo line > /var/log/vxrclient.upload.log"
         " && echo '{}' > /kozu/etc/platform.json"));
    ASSERT_TRUE(must("dpkg --purge " + kName + " >/dev/null"));
    EXPECT_EQ(listed().name, "");
    EXPECT_EQ(readFile(m_root + "/var/lib/dpkg/status"), m_hostStatus) << "the package left a trace in dpkg's status";

    // The copy differs from the machine only by the platform's file.
    EXPECT_EQ(changedFiles(), QStringList{"/kozu/etc/platform.json"});
    EXPECT_FALSE(QFileInfo::exists(m_root + "/kozu/etc/vxrclientisp"));
    EXPECT_FALSE(QFileInfo::exists(m_root + "/kozu/etc/vxrclient"));
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests))
        g_isolationError = isolate();
    const int status = RUN_ALL_TESTS();
    if (!g_work.isEmpty() && ::umount2(qPrintable(g_work), MNT_DETACH) == 0)
        ::rmdir(qPrintable(g_work));
    return status;
}
