#ifndef PROCTREE_H
#define PROCTREE_H

#include <cstddef>

#include <sys/types.h>

// The processes dsrecover started, found through /proc, and their ending.
// Nothing here allocates, takes a lock or calls Qt, so a signal handler
// may call any of it.
namespace Recover {

// What a /proc/PID/stat line tells of a process.
struct ProcStat
{
    pid_t pid = 0;
    pid_t ppid = 0;
    // 'R', 'S', 'D', 'T', ...; 'Z' and 'X' have ended, reaped or not.
    char state = 0;
    // Clock ticks after boot: with the pid, names one process for good.
    unsigned long long startTime = 0;
};

// Reads "PID (NAME) STATE PPID ... STARTTIME ..." (size bytes of text).
// NAME may hold blanks and parentheses, so the fields are counted from the
// last ')'. False, with *stat unspecified, for text not of that shape.
bool parseProcStat(const char* text, size_t size, ProcStat* stat);

// From now on a process this one started, directly or not, is handed to
// this one when its parent ends (instead of to init), so that it stays a
// descendant in /proc. False when the kernel refuses.
bool keepDescendants();

// Ends every descendant of this process, in whatever session or process
// group it runs (script gives its command a session of its own): SIGTERM
// to each, SIGKILL to those still running graceMs later. Descendants that
// appear meanwhile are ended too. Returns once none runs (a zombie has
// ended), or one second after the SIGKILL. SIGINT, SIGTERM and SIGHUP are
// held back while it runs, so their handler may call it; it must not run
// in two threads at once.
void endDescendants(int graceMs);

} // namespace Recover

#endif
