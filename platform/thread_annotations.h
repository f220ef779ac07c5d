// Clang's thread-safety attributes, and a mutex that carries them: libstdc++'s std::mutex is not
// annotated, so members guarded by a std::mutex cannot be checked. Under other compilers the
// macros expand to nothing and Mutex is a plain std::mutex. Header only; no thread of its own.
#pragma once

#include <mutex>

#if defined(__clang__)
#define DZ_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define DZ_THREAD_ATTRIBUTE(x)
#endif

#define DZ_CAPABILITY(x) DZ_THREAD_ATTRIBUTE(capability(x))
#define DZ_SCOPED_CAPABILITY DZ_THREAD_ATTRIBUTE(scoped_lockable)
#define DZ_GUARDED_BY(x) DZ_THREAD_ATTRIBUTE(guarded_by(x))
#define DZ_PT_GUARDED_BY(x) DZ_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define DZ_ACQUIRED_BEFORE(...) DZ_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define DZ_REQUIRES(...) DZ_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define DZ_ACQUIRE(...) DZ_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define DZ_RELEASE(...) DZ_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define DZ_TRY_ACQUIRE(...) DZ_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define DZ_EXCLUDES(...) DZ_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define DZ_ASSERT_CAPABILITY(x) DZ_THREAD_ATTRIBUTE(assert_capability(x))
#define DZ_NO_THREAD_SAFETY_ANALYSIS DZ_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace dz::platform {

// A std::mutex the analysis knows. Lockable, so std::condition_variable_any waits on it.
class DZ_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() DZ_ACQUIRE() { mutex_.lock(); }
  void unlock() DZ_RELEASE() { mutex_.unlock(); }
  bool try_lock() DZ_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope, as std::lock_guard does.
class DZ_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) DZ_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() DZ_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace dz::platform
