#ifndef BENCH_CPUTIME_H
#define BENCH_CPUTIME_H

#include <algorithm>
#include <functional>

#include <time.h>

// Seconds of the calling thread's CPU time (user and system) that run takes,
// the best of several rounds: other load on a shared machine weighs little,
// and page faults and system calls made by run still count.
inline double cpuSeconds(const std::function<void()>& run, int rounds = 5)
{
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        timespec a{}, b{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        run();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        best = std::min(best, double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) / 1e9);
    }
    return best;
}

#endif
