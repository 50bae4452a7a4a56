#ifndef HX2MUTEX_H
#define HX2MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

// A mutex whose discipline the compiler checks. Built with Clang and
// -Wthread-safety, a member declared HX2_GUARDED_BY(m) may only be touched
// while m is held, and a function declared HX2_REQUIRES(m) only called so;
// other compilers see plain std::mutex code.
#if defined(__clang__)
#define HX2_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define HX2_THREAD_ATTRIBUTE(x)
#endif

#define HX2_CAPABILITY(x) HX2_THREAD_ATTRIBUTE(capability(x))
#define HX2_SCOPED_CAPABILITY HX2_THREAD_ATTRIBUTE(scoped_lockable)
#define HX2_GUARDED_BY(x) HX2_THREAD_ATTRIBUTE(guarded_by(x))
#define HX2_PT_GUARDED_BY(x) HX2_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define HX2_REQUIRES(...) HX2_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define HX2_EXCLUDES(...) HX2_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define HX2_ACQUIRE(...) HX2_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define HX2_RELEASE(...) HX2_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))

class HX2CondVar;

class HX2_CAPABILITY("mutex") HX2Mutex
{
public:
    HX2Mutex() = default;
    HX2Mutex(const HX2Mutex&) = delete;
    HX2Mutex& operator=(const HX2Mutex&) = delete;

    void lock() HX2_ACQUIRE() { m_mutex.lock(); }
    void unlock() HX2_RELEASE() { m_mutex.unlock(); }

private:
    friend class HX2CondVar;
    std::mutex m_mutex;
};

// Holds a mutex for a scope.
class HX2_SCOPED_CAPABILITY HX2MutexLock
{
public:
    explicit HX2MutexLock(HX2Mutex& mutex) HX2_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~HX2MutexLock() HX2_RELEASE() { m_mutex.unlock(); }
    HX2MutexLock(const HX2MutexLock&) = delete;
    HX2MutexLock& operator=(const HX2MutexLock&) = delete;

private:
    HX2Mutex& m_mutex;
};

// A condition variable waited on with an HX2Mutex held.
class HX2CondVar
{
public:
    // Releases mutex while it waits and holds it again when it returns,
    // possibly without a notification.
    void wait(HX2Mutex& mutex) HX2_REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
        m_cv.wait(lock);
        lock.release();
    }
    // The same, for at most the given time.
    template <class Rep, class Period>
    void waitFor(HX2Mutex& mutex, const std::chrono::duration<Rep, Period>& time) HX2_REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
        m_cv.wait_for(lock, time);
        lock.release();
    }
    void notifyAll() { m_cv.notify_all(); }

private:
    std::condition_variable m_cv;
};

#endif
