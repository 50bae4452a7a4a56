#include "lnx2isolation.h"
#include "lnx2network.h"
#include "lnx2utils.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <atomic>
#include <ctime>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using lnx2test::sh;
using lnx2test::StandIn;

namespace {

void put(const QString& path, const QByteArray& text)
{
    QDir().mkpath(path.section('/', 0, -2));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QString slurp(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// A time server on 127.0.0.1 answering every request with this machine's
// own time, so that a client setting its clock from it moves nothing.
class SntpResponder
{
public:
    ~SntpResponder()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool start()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(123);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        m_thread = std::thread([this] { serve(); });
        return true;
    }
    int answered() const { return m_answered; }

private:
    static void stamp(unsigned char* p)
    {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        const uint32_t sec = htonl(static_cast<uint32_t>(ts.tv_sec + 2208988800LL));
        const uint32_t frac = htonl(static_cast<uint32_t>((static_cast<uint64_t>(ts.tv_nsec) << 32) / 1000000000ULL));
        memcpy(p, &sec, 4);
        memcpy(p + 4, &frac, 4);
    }
    void serve()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            unsigned char q[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(m_fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 48)
                continue;
            unsigned char r[48] = {};
            r[0] = static_cast<unsigned char>((q[0] & 0x38) | 4); // no warning, client's version, server
            r[1] = 1;                                              // stratum: primary
            r[2] = q[2];
            r[3] = 0xEC;                                           // precision 2^-20 s
            r[11] = 0x10;                                          // root dispersion
            memcpy(r + 12, "LOCL", 4);
            stamp(r + 16);
            memcpy(r + 24, q + 40, 8);                             // origin: the client's transmit time
            stamp(r + 32);
            stamp(r + 40);
            ::sendto(m_fd, r, sizeof r, 0, reinterpret_cast<sockaddr*>(&from), len);
            ++m_answered;
        }
    }
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
    std::thread m_thread;
};

} // namespace

TEST(Network, SysfsListingVirtualFlagAndBondedMembers)
{
    QTemporaryDir root;
    const QString net = root.path() + "/class/net/";
    put(net + "eth0/address", "02:00:00:00:00:aa\n");
    put(net + "eth0/bonding_slave/perm_hwaddr", "52:54:00:12:34:56\n");
    put(net + "Eth1/address", "52:54:00:00:00:02\n");
    put(net + "Eth1/bonding_slave/perm_hwaddr", "\n");
    put(net + "bond0/address", "02:00:00:00:00:aa\n");
    put(net + "lo/address", "00:00:00:00:00:00\n");
    put(net + "bonding_masters", "bond0\n");
    QDir().mkpath(root.path() + "/devices/virtual/net/bond0");
    QDir().mkpath(root.path() + "/devices/virtual/net/lo");

    const LNX2Network n(root.path());
    EXPECT_EQ(n.all(), (QStringList{"bond0", "eth0", "Eth1", "lo"}));
    EXPECT_EQ(n.available(), (QStringList{"eth0", "Eth1"}));
    const QJsonArray nics = n.nics();
    ASSERT_EQ(nics.size(), 4);
    EXPECT_EQ(nics.at(1).toObject(), (QJsonObject{{"name", "eth0"}, {"mac", "52:54:00:12:34:56"}, {"virtual", 0}}));
    EXPECT_EQ(nics.at(2).toObject().value("mac"), "52:54:00:00:00:02");
    EXPECT_EQ(nics.at(3).toObject().value("virtual"), 1);
    EXPECT_EQ(n.nics({"lo", "nope", "../net/eth0"}),
              (QJsonArray{QJsonObject{{"name", "lo"}, {"mac", "00:00:00:00:00:00"}},
                          QJsonObject{{"name", "nope"}, {"mac", ""}},
                          QJsonObject{{"name", "../net/eth0"}, {"mac", ""}}}));
    EXPECT_TRUE(LNX2Network(root.path() + "/missing").all().isEmpty());
}

TEST(Network, LinksOfAPrivateNamespace)
{
    REQUIRE_ISOLATION();
    ASSERT_TRUE(sh("ip link add vxv0 type veth peer name vxv1"
                   " && ip link add vxbr0 type bridge && ip tuntap add dev vxtap0 mode tap"
                   " && ip link set dev vxv0 address 02:00:00:00:00:01 && ip link set dev vxv1 address 02:00:00:00:00:02"
                   " && ip link set dev vxbr0 address 02:00:00:00:00:03"
                   " && ip link set dev vxtap0 address 02:00:00:00:00:04"));
    QJsonObject seen;
    for (const QJsonValue& v : LNX2Network().nics())
        seen.insert(v.toObject().value("name").toString(), v.toObject());
    const struct { const char* name; const char* mac; } links[] = {
        {"lo", "00:00:00:00:00:00"}, {"vxv0", "02:00:00:00:00:01"}, {"vxv1", "02:00:00:00:00:02"},
        {"vxbr0", "02:00:00:00:00:03"}, {"vxtap0", "02:00:00:00:00:04"},
    };
    EXPECT_EQ(seen.size(), 5);
    for (const auto& l : links) {
        EXPECT_EQ(seen.value(l.name).toObject(), (QJsonObject{{"name", l.name}, {"mac", l.mac}, {"virtual", 1}}))
            << l.name;
    }
    EXPECT_TRUE(LNX2Network().available().isEmpty());
    sh("ip link del vxv0 && ip link del vxbr0 && ip link del vxtap0");
}

TEST(Network, TimeSyncSetsHardwareClockOnlyAfterAnAnswer)
{
    EXPECT_TRUE(LNX2Network::isTimeServer("pool.ntp.org"));
    EXPECT_TRUE(LNX2Network::isTimeServer("::1"));
    for (const char* bad : {"-b", "a b", "a;b", "x..y", "-", "host-.example"})
        EXPECT_FALSE(LNX2Network::isTimeServer(bad)) << bad;
    REQUIRE_ISOLATION();

    StandIn hwclock("hwclock", "echo \"$@\" >> \"$(dirname \"$0\")/hwclock.log\"");
    const QString log = hwclock.file("hwclock.log");
    {
        SntpResponder responder;
        ASSERT_TRUE(responder.start());
        EXPECT_TRUE(LNX2Network().networkTimeProtocol(" 127.0.0.1 "));
        EXPECT_GT(responder.answered(), 0);
    }
    EXPECT_EQ(slurp(log), "--systohc\n");
    EXPECT_FALSE(LNX2Network().networkTimeProtocol("127.0.0.1"));
    EXPECT_FALSE(LNX2Network().networkTimeProtocol("-b 127.0.0.1"));
    EXPECT_EQ(slurp(log), "--systohc\n");

    StandIn ntpdate("ntpdate", "echo \"$@\" > \"$(dirname \"$0\")/ntpdate.log\"");
    EXPECT_TRUE(LNX2Network().networkTimeProtocol("  "));
    EXPECT_EQ(slurp(ntpdate.file("ntpdate.log")), QString(LNX2Network::kDefaultServer) + "\n");
}

TEST(Probes, DiskFreeOfATmpfsOfKnownSize)
{
    EXPECT_EQ(diskFree("/nonexistent/vxr"), 0);
    REQUIRE_ISOLATION();
    ASSERT_TRUE(sh("mkdir -p /tmp/vxrdf && mount -t tmpfs -o size=4m vxr-df /tmp/vxrdf"));
    EXPECT_EQ(diskFree("/tmp/vxrdf"), 4 << 20);
    ASSERT_TRUE(sh("head -c 1048576 /dev/zero > /tmp/vxrdf/one"));
    EXPECT_EQ(diskFree("/tmp/vxrdf"), 3 << 20);
    sh("umount /tmp/vxrdf");
}
