// Locks that clang's thread-safety analysis understands: the standard
// library's own carry no annotations, so what a lock guards could not be
// checked at build time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VO_TS(x) __attribute__((x))
#else
#define VO_TS(x)
#endif

#define VO_CAPABILITY(x) VO_TS(capability(x))
#define VO_SCOPED_CAPABILITY VO_TS(scoped_lockable)
#define VO_GUARDED_BY(x) VO_TS(guarded_by(x))
#define VO_PT_GUARDED_BY(x) VO_TS(pt_guarded_by(x))
#define VO_REQUIRES(...) VO_TS(requires_capability(__VA_ARGS__))
#define VO_EXCLUDES(...) VO_TS(locks_excluded(__VA_ARGS__))
#define VO_ACQUIRE(...) VO_TS(acquire_capability(__VA_ARGS__))
#define VO_TRY_ACQUIRE(...) VO_TS(try_acquire_capability(__VA_ARGS__))
#define VO_RELEASE(...) VO_TS(release_capability(__VA_ARGS__))
#define VO_ACQUIRED_AFTER(...) VO_TS(acquired_after(__VA_ARGS__))
#define VO_NO_THREAD_SAFETY_ANALYSIS VO_TS(no_thread_safety_analysis)

namespace vo {

class VO_CAPABILITY("mutex") Mutex {
  public:
    void lock() VO_ACQUIRE() { m_.lock(); }
    void unlock() VO_RELEASE() { m_.unlock(); }
    std::mutex &native() { return m_; }

  private:
    std::mutex m_;
};

// A held lock that can be let go for a while and that condition variables
// wait with.
class VO_SCOPED_CAPABILITY Lock {
  public:
    explicit Lock(Mutex &m) VO_ACQUIRE(m) : lock_(m.native()) {}
    // Takes over a lock already held, as a call that returned holding it
    // (a try-acquire) hands it on.
    Lock(Mutex &m, std::adopt_lock_t) VO_REQUIRES(m) : lock_(m.native(), std::adopt_lock) {}
    ~Lock() VO_RELEASE() {}
    void unlock() VO_RELEASE() { lock_.unlock(); }
    void lock() VO_ACQUIRE() { lock_.lock(); }
    std::unique_lock<std::mutex> &native() { return lock_; }

  private:
    std::unique_lock<std::mutex> lock_;
};

// Waits on `cond` with `lock` held on entry and on return; the analysis
// treats the lock as held throughout, which is what the caller sees.
inline void wait(std::condition_variable &cond, Lock &lock) {
    cond.wait(lock.native());
}
template <class Clock, class Duration>
inline std::cv_status waitUntil(std::condition_variable &cond, Lock &lock,
                                const std::chrono::time_point<Clock, Duration> &deadline) {
    return cond.wait_until(lock.native(), deadline);
}

}  // namespace vo
