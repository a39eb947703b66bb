// PoolLock.h
//
// The pool's one lock: a recursive mutex that clang's thread-safety analysis can see.
//
// It is built from a plain mutex, the owning thread and a depth: a thread that holds it takes it
// again by counting, without touching the mutex. A thread that finds it held spins briefly
// while the holder is still running (critical sections are a few lookups long), and only then
// sleeps in the mutex, so that two busy threads hand the lock back and forth without a sleep and
// a wake-up each time.
//
// The pool lock is recursive because destroying an operation releases the operations its links
// name on the same thread, and because the destroy and value callbacks run with the lock held and
// may call back into the component. Clang 14 has no re-entrant capability, so the analysis treats
// the lock as plain: helpers that expect it held are OR_REQUIRES(lock) and never lock again;
// re-entry happens only through client callbacks (C function pointers the analysis cannot follow)
// and through the few public entry points named at their call sites.
#ifndef OPERATION_RECEIPT_POOL_LOCK_H_
#define OPERATION_RECEIPT_POOL_LOCK_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#if defined(__clang__)
#define OR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OR_THREAD_ANNOTATION(x)
#endif

#define OR_CAPABILITY(n) OR_THREAD_ANNOTATION(capability(n))
#define OR_SCOPED_CAPABILITY OR_THREAD_ANNOTATION(scoped_lockable)
#define OR_GUARDED_BY(x) OR_THREAD_ANNOTATION(guarded_by(x))
#define OR_REQUIRES(...) OR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OR_EXCLUDES(...) OR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define OR_ACQUIRE(...) OR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OR_RELEASE(...) OR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OR_NO_THREAD_SAFETY_ANALYSIS OR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace operation_receipt {

#if defined(__GNUC__)
#define OR_INITIAL_EXEC_TLS __attribute__((tls_model("initial-exec")))
#else
#define OR_INITIAL_EXEC_TLS
#endif

// A number that tells the calling thread from every other live thread: the address of a
// thread-local byte. Initial-exec TLS makes it one register-relative address computation.
inline uintptr_t CurrentThreadTag() {
  static thread_local char tag OR_INITIAL_EXEC_TLS;
  return reinterpret_cast<uintptr_t>(&tag);
}

class OR_CAPABILITY("mutex") PoolLock {
 public:
  PoolLock() = default;
  PoolLock(const PoolLock&) = delete;
  PoolLock& operator=(const PoolLock&) = delete;

  void Lock() OR_ACQUIRE() {
    const uintptr_t self = CurrentThreadTag();
    // Only this thread ever stores its own tag, so a stale value can never match it.
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++depth_;
      return;
    }
    if (!mutex_.try_lock()) LockContended();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
  }

  void Unlock() OR_RELEASE() {
    if (--depth_ != 0) return;
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
  }

 private:
  static constexpr int kSpins = 64;
  static constexpr int kMaxPauses = 4096;

  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  // Waits with a growing pause between looks: a holder that releases and at once takes the lock
  // again for its next step keeps it, instead of the lock moving between cores at every step.
  void LockContended() {
    int pauses = 1;
    for (int spin = 0; spin < kSpins; ++spin) {
      for (int i = 0; i < pauses; ++i) Pause();
      if (owner_.load(std::memory_order_relaxed) == 0 && mutex_.try_lock()) return;
      if (pauses < kMaxPauses) pauses *= 2;
    }
    mutex_.lock();
  }

  std::mutex mutex_;
  std::atomic<uintptr_t> owner_{0};
  uint32_t depth_ = 0;  // touched only by the owning thread
};

// Holds the pool lock for one scope; unlocks also when an exception leaves the scope.
class OR_SCOPED_CAPABILITY PoolGuard {
 public:
  explicit PoolGuard(PoolLock& lock) OR_ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~PoolGuard() OR_RELEASE() { lock_.Unlock(); }
  PoolGuard(const PoolGuard&) = delete;
  PoolGuard& operator=(const PoolGuard&) = delete;

 private:
  PoolLock& lock_;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_POOL_LOCK_H_
