#include "proctree.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <initializer_list>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Recover {

namespace {

// More than any transfer starts; beyond it the rest go unseen.
constexpr int kMaxTracked = 1024;
constexpr int kKillWaitMs = 1000;
constexpr int kPollMs = 10;
// The field of STARTTIME, counted as in proc(5): PID is 1, STATE 3.
constexpr int kStartTimeField = 22;

enum Sent : unsigned char { None, Term, Kill };

struct Tracked
{
    pid_t pid;
    unsigned long long startTime;
    Sent sent;
};

// Only endDescendants() touches these, with the stop signals blocked.
Tracked g_tracked[kMaxTracked];
int g_count = 0;

struct Dirent64
{
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

long long nowMs()
{
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms)
{
    timespec ts = {0, static_cast<long>(ms) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool isDigits(const char* text)
{
    if (!*text)
        return false;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

// Reads /proc/NAME/stat, NAME being a pid's digits.
bool readStat(const char* name, ProcStat* stat)
{
    char path[64] = "/proc/";
    size_t at = 6;
    for (const char* c = name; *c; ++c) {
        if (at > sizeof(path) - 7)
            return false;
        path[at++] = *c;
    }
    for (const char* c = "/stat"; *c; ++c)
        path[at++] = *c;
    path[at] = 0;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof(text));
    ::close(fd);
    return n > 0 && parseProcStat(text, static_cast<size_t>(n), stat);
}

bool readStat(pid_t pid, ProcStat* stat)
{
    char digits[24];
    char reversed[24];
    int n = 0;
    for (unsigned long v = static_cast<unsigned long>(pid); n == 0 || v > 0; v /= 10)
        reversed[n++] = static_cast<char>('0' + v % 10);
    for (int i = 0; i < n; ++i)
        digits[i] = reversed[n - 1 - i];
    digits[n] = 0;
    return readStat(digits, stat);
}

bool hasEnded(const ProcStat& stat)
{
    return stat.state == 'Z' || stat.state == 'X';
}

bool isRunning(const Tracked& t)
{
    ProcStat now;
    return readStat(t.pid, &now) && now.startTime == t.startTime && !hasEnded(now);
}

// True for this process and for the processes already tracked.
bool isOurs(pid_t pid, pid_t self)
{
    if (pid == self)
        return true;
    for (int i = 0; i < g_count; ++i) {
        if (g_tracked[i].pid == pid)
            return true;
    }
    return false;
}

bool isTracked(const ProcStat& stat)
{
    for (int i = 0; i < g_count; ++i) {
        if (g_tracked[i].pid == stat.pid && g_tracked[i].startTime == stat.startTime)
            return true;
    }
    return false;
}

// Tracks the running descendants not tracked yet; returns how many. A
// child listed before its parent is found by the next call.
int trackNew(pid_t self)
{
    const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return 0;
    int added = 0;
    alignas(8) char buffer[8192];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, dir, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        for (long at = 0; at < n;) {
            const Dirent64* entry = reinterpret_cast<const Dirent64*>(buffer + at);
            at += entry->reclen;
            ProcStat stat;
            if (!isDigits(entry->name) || !readStat(entry->name, &stat) || hasEnded(stat) || stat.pid == self
                || !isOurs(stat.ppid, self) || isTracked(stat) || g_count == kMaxTracked)
                continue;
            g_tracked[g_count++] = {stat.pid, stat.startTime, None};
            ++added;
        }
    }
    ::close(dir);
    return added;
}

} // namespace

bool parseProcStat(const char* text, size_t size, ProcStat* stat)
{
    size_t close = size;
    for (size_t i = size; i > 0; --i) {
        if (text[i - 1] == ')') {
            close = i - 1;
            break;
        }
    }
    if (close == size)
        return false;
    unsigned long long pid = 0;
    size_t i = 0;
    for (; i < close && text[i] >= '0' && text[i] <= '9'; ++i)
        pid = pid * 10 + static_cast<unsigned>(text[i] - '0');
    if (i == 0 || i + 1 >= close || text[i] != ' ' || text[i + 1] != '(')
        return false;
    // Fields after the name: STATE is field 3, each blank starts the next.
    int field = 3;
    unsigned long long value = 0;
    bool digits = false;
    stat->pid = static_cast<pid_t>(pid);
    stat->ppid = 0;
    stat->state = 0;
    stat->startTime = 0;
    for (i = close + 1; i <= size; ++i) {
        const char c = i < size ? text[i] : ' ';
        if (c == ' ' || c == '\n') {
            if (field == 4 && digits)
                stat->ppid = static_cast<pid_t>(value);
            if (field == kStartTimeField && digits) {
                stat->startTime = value;
                return stat->state != 0;
            }
            value = 0;
            digits = false;
            if (i > close + 1)
                ++field;
            continue;
        }
        if (field == 3) {
            stat->state = c;
        } else if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
            digits = true;
        } else if (c != '-') {
            digits = false;
        }
    }
    return false;
}

bool keepDescendants()
{
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

void endDescendants(int graceMs)
{
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, sig);
    ::sigprocmask(SIG_BLOCK, &stops, &before);

    g_count = 0;
    const pid_t self = ::getpid();
    const long long killAt = nowMs() + graceMs;
    long long giveUpAt = -1;
    for (;;) {
        while (trackNew(self) > 0) {
        }
        const bool killing = giveUpAt >= 0;
        bool running = false;
        for (int i = 0; i < g_count; ++i) {
            Tracked& t = g_tracked[i];
            if (!isRunning(t))
                continue;
            running = true;
            if (t.sent == None) {
                ::kill(t.pid, SIGTERM);
                // A stopped process acts on SIGTERM only once continued.
                ::kill(t.pid, SIGCONT);
                t.sent = Term;
            }
            if (killing && t.sent != Kill) {
                ::kill(t.pid, SIGKILL);
                t.sent = Kill;
            }
        }
        const long long now = nowMs();
        if (!running || (killing && now >= giveUpAt))
            break;
        if (!killing && now >= killAt) {
            giveUpAt = now + kKillWaitMs;
            continue;
        }
        sleepMs(kPollMs);
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

} // namespace Recover
