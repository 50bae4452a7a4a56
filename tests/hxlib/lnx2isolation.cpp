// Entry of the Linux helper tests. Before any test (and before any thread
// exists) the process moves into private mount and network namespaces, so
// that installing packages, adding links and setting the clock's source
// touch nothing of the machine:
// - the root file system is read-only; /tmp, /opt and /var/log are empty
//   tmpfs directories;
// - /var/lib/dpkg, /var/lib/apt and /var/cache/apt are empty package
//   databases, and /etc/apt and /var/cache/debconf private copies; an
//   empty database rather than a copy of the machine's, because apt acting
//   on a copy would remove or replace the machine's real files;
// - the network holds only its own loopback, which is up, and /sys shows it.
#include "lnx2isolation.h"

#include "hx2runner.h"

#include <gtest/gtest.h>

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QString g_isolationError = QStringLiteral("not isolated");
int g_hostDpkg = -1;

const char* const kSetup = R"(set -e
PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t tmpfs vxr-tmp /tmp
I=/tmp/.isolation
mkdir -p $I/dpkg/info $I/dpkg/updates $I/dpkg/triggers $I/dpkg/alternatives \
         $I/aptlib/lists/partial $I/aptcache/archives/partial $I/log/apt $I/opt $I/debconf
touch $I/dpkg/status $I/dpkg/available
cp -a /etc/apt $I/etcapt
rm -rf $I/etcapt/sources.list.d/*
: > $I/etcapt/sources.list
if [ -d /var/cache/debconf ]; then cp -a /var/cache/debconf/. $I/debconf/; fi
mkdir -p /opt /var/cache/debconf 2>/dev/null || true
mount --bind $I/dpkg /var/lib/dpkg
mount --bind $I/aptlib /var/lib/apt
mount --bind $I/aptcache /var/cache/apt
mount --bind $I/etcapt /etc/apt
mount --bind $I/debconf /var/cache/debconf
mount --bind $I/log /var/log
mount --bind $I/opt /opt
mount -t sysfs vxr-sys /sys
ip link set lo up
)";

QString isolate()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root");
    g_hostDpkg = ::open("/var/lib/dpkg", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return QStringLiteral("cannot make private namespaces: ") + QString::fromLocal8Bit(std::strerror(errno));
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("cannot make mounts private");
    if (std::system(kSetup) != 0)
        return QStringLiteral("cannot set up the private mounts");
    if (::mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return QStringLiteral("cannot make the root file system read-only");
    return QString();
}

} // namespace

namespace lnx2test {

QString isolationError() { return g_isolationError; }

QByteArray hostDpkgStatus()
{
    QByteArray out;
    const int fd = g_hostDpkg < 0 ? -1 : ::openat(g_hostDpkg, "status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<int>(n));
    ::close(fd);
    return out;
}

bool sh(const QString& script, QString* out)
{
    HX2RunOptions o;
    o.finishMs = 120000;
    const HX2RunResult r = HX2Runner::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, o);
    if (out)
        *out = QString::fromUtf8(r.out);
    if (!r.ok)
        ADD_FAILURE() << "sh failed: " << script.toStdString() << "\n" << r.errText().toStdString();
    return r.ok;
}

StandIn::StandIn(const QString& program, const QString& body) : m_path(qgetenv("PATH"))
{
    QFile f(m_dir.filePath(program));
    if (!f.open(QIODevice::WriteOnly))
        ADD_FAILURE() << "cannot write a stand-in for " << program.toStdString();
    f.write("#!/bin/sh\n" + body.toUtf8() + "\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ":" + m_path + ":/usr/sbin:/sbin");
}

StandIn::~StandIn() { qputenv("PATH", m_path); }

} // namespace lnx2test

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    g_isolationError = isolate();
    return RUN_ALL_TESTS();
}
