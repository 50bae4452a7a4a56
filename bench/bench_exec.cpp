// Command runner and package progress costs, in one run:
//  1. cmdExec of /bin/true against a bare posix_spawn and waitpid of the
//     same program (goal: at most 3x);
//  2. one apt progress poll after 10 MB of apt output against the same
//     poll after 10 KB (goal: the same cost).
#include "hx2utils.h"
#include "lnx2apt.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

double bareSpawnUs(int runs)
{
    char arg0[] = "/bin/true";
    char* argv[] = {arg0, nullptr};
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < runs; ++i) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0)
            return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    return double(t.nsecsElapsed()) / 1000.0 / runs;
}

double cmdExecUs(int runs)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < runs; ++i) {
        if (!cmdExec(QStringLiteral("/bin/true"), 5000))
            return -1;
    }
    return double(t.nsecsElapsed()) / 1000.0 / runs;
}

// A stretch of apt output: download redraws, then unpack and set-up lines.
QByteArray aptOutput(qint64 bytes)
{
    QByteArray block;
    for (int i = 0; i < 40; ++i)
        block += "\r" + QByteArray::number(i) + "% [1 tool 300 kB/600 kB 50%]";
    block += "\r\nUnpacking tool (1.0) ...\r\nSetting up tool (1.0) ...\r\n";
    QByteArray out;
    while (out.size() < bytes)
        out += block;
    out.truncate(int(bytes));
    return out;
}

// Nanoseconds per poll of one half-second piece of output once `held`
// bytes have been parsed.
double pollNs(qint64 held, int polls)
{
    LNX2AptProgress parser;
    parser.feed("0 upgraded, 100000 newly installed, 0 to remove and 0 not upgraded.\r\n");
    const QByteArray before = aptOutput(held);
    for (int off = 0; off < before.size(); off += 4096)
        parser.feed(before.mid(off, 4096));
    const QByteArray piece = aptOutput(2048);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < polls; ++i)
        parser.feed(piece);
    return double(t.nsecsElapsed()) / polls;
}

} // namespace

int main()
{
    // Best of three rounds each, to keep scheduling noise out.
    double bare = 1e18, runner = 1e18;
    for (int round = 0; round < 3; ++round) {
        bare = std::min(bare, bareSpawnUs(300));
        runner = std::min(runner, cmdExecUs(300));
    }
    if (bare <= 0 || runner <= 0) {
        std::printf("cannot run /bin/true\n");
        return 1;
    }
    std::printf("run /bin/true: posix_spawn+wait %.0f us, cmdExec %.0f us (ratio %.2f, goal <= 3)\n", bare,
                runner, runner / bare);

    double small = 1e18, large = 1e18;
    for (int round = 0; round < 5; ++round) {
        small = std::min(small, pollNs(10 * 1000, 20000));
        large = std::min(large, pollNs(10 * 1000 * 1000, 20000));
    }
    std::printf("apt progress poll: %.0f ns after 10 KB, %.0f ns after 10 MB (ratio %.2f, goal 1)\n", small,
                large, large / small);
    return 0;
}
