// Locks the compiler can check.  With clang and -Wthread-safety, data
// marked GUARDED_BY(m) may only be touched while m is held, and a function
// marked REQUIRES(m) only called with m held; other compilers ignore the
// marks.  Every shared object in this tree owns its mutex as a member and
// marks what it guards.
#ifndef TARNWICK_COMMON_BASE_THREADS_H
#define TARNWICK_COMMON_BASE_THREADS_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TW_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TW_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TW_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TW_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) TW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TW_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS TW_THREAD_ANNOTATION(no_thread_safety_analysis)

// std::mutex with the capability mark (the standard library's own carries
// none).
class CAPABILITY("mutex") twMutex {
  public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    // For twCondVar: the underlying standard mutex.
    std::mutex& native() { return m_; }

  private:
    std::mutex m_;
};

// Holds a twMutex for its scope.
class SCOPED_CAPABILITY twLock {
  public:
    explicit twLock(twMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~twLock() RELEASE() { m_.unlock(); }
    twLock(const twLock&) = delete;
    twLock& operator=(const twLock&) = delete;

  private:
    twMutex& m_;
};

// A condition variable for a twMutex the caller holds.  The waits release
// the mutex while asleep and hold it again when they return, so to the
// analysis the mutex is held throughout; callers test their condition in a
// loop around the wait (wake-ups may be spurious).
class twCondVar {
  public:
    void Wait(twMutex& m) REQUIRES(m) {
        std::unique_lock<std::mutex> lock(m.native(), std::adopt_lock);
        cv_.wait(lock);
        lock.release();
    }
    // False when the time ran out.
    bool WaitUntil(twMutex& m, std::chrono::steady_clock::time_point until) REQUIRES(m) {
        std::unique_lock<std::mutex> lock(m.native(), std::adopt_lock);
        const bool woken = cv_.wait_until(lock, until) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void NotifyOne() { cv_.notify_one(); }
    void NotifyAll() { cv_.notify_all(); }

  private:
    std::condition_variable cv_;
};

#endif
