// Claims on datasets: two claim sets on one lock folder contend as two
// processes do, a holder that dies lets go, and a waiting claim gets the
// dataset once it is released or gives up when told to.
#include "vxrclaims.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

int mode(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

class Claims : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_root.isValid()); }
    QString folder() const { return m_root.path() + "/run/claims"; }

    QTemporaryDir m_root;
};

TEST_F(Claims, TwoHoldersOfTheFolderExcludeEachOther)
{
    VxrDatasetClaims one(folder());
    VxrDatasetClaims other(folder());
    ASSERT_TRUE(one.tryClaim("tank/a"));
    EXPECT_FALSE(one.tryClaim("tank/a"));
    EXPECT_FALSE(other.tryClaim("tank/a"));
    EXPECT_TRUE(other.tryClaim("tank/a/child"));
    one.release("tank/a");
    EXPECT_TRUE(other.tryClaim("tank/a"));
    // A release of what this side does not hold leaves the other's claim.
    one.release("tank/a");
    EXPECT_FALSE(one.tryClaim("tank/a"));

    // The files: owner-only, named by a digest inside the folder whatever
    // the name holds.
    const QFileInfo file(other.lockPath("tank/a"));
    EXPECT_EQ(file.absolutePath(), folder());
    EXPECT_EQ(mode(file.filePath()), 0600);
    EXPECT_EQ(mode(folder()), 0700);
    EXPECT_EQ(QFileInfo(other.lockPath("../../etc/x")).absolutePath(), folder());
    EXPECT_NE(other.lockPath("tank/a"), other.lockPath("tank/b"));
}

TEST_F(Claims, WaitingClaimGetsTheDatasetWhenReleasedOrGivesUp)
{
    VxrDatasetClaims one(folder());
    VxrDatasetClaims other(folder());
    for (VxrDatasetClaims* waiter : {&one, &other}) {
        SCOPED_TRACE(waiter == &one ? "same claim set" : "other claim set");
        ASSERT_TRUE(one.tryClaim("tank/a"));
        std::atomic<bool> got{false};
        std::thread t([&] {
            got = waiter->claim("tank/a");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(got.load());
        one.release("tank/a");
        t.join();
        EXPECT_TRUE(got.load());
        EXPECT_FALSE(one.tryClaim("tank/a"));
        waiter->release("tank/a");

        ASSERT_TRUE(one.tryClaim("tank/a"));
        std::atomic<bool> stop{true};
        EXPECT_FALSE(waiter->claim("tank/a", &stop));
        one.release("tank/a");
        EXPECT_TRUE(waiter->claim("tank/a", &stop));
        waiter->release("tank/a");
    }
}

TEST_F(Claims, ClaimOfAProcessThatDiesIsLetGo)
{
    VxrDatasetClaims claims(folder());
    ASSERT_TRUE(claims.tryClaim("tank/a"));
    claims.release("tank/a");
    const QByteArray path = QFile::encodeName(claims.lockPath("tank/a"));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(path.constData(), O_RDWR);
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        if (::write(ready[1], &ok, 1) == 1)
            ::pause();
        ::_exit(1);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    EXPECT_FALSE(claims.tryClaim("tank/a"));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(claims.tryClaim("tank/a"));
    ::close(ready[0]);
    ::close(ready[1]);
}

// A folder that cannot be made: pruning stays off, a transfer still runs
// and still excludes this process's pruning.
TEST_F(Claims, BrokenFolderKeepsPruningOff)
{
    QFile blocker(m_root.path() + "/run");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    VxrDatasetClaims claims(folder());
    EXPECT_FALSE(claims.tryClaim("tank/a"));
    EXPECT_TRUE(claims.claim("tank/a"));
    EXPECT_FALSE(claims.tryClaim("tank/a"));
    claims.release("tank/a");
    EXPECT_FALSE(claims.tryClaim("tank/a"));
}

} // namespace
