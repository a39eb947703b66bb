// PoolLock.h
//
// The pool's one lock: a recursive lock that clang's thread-safety analysis can see.
//
// It is one atomic word, the owning thread and a depth: taking it is one compare-and-swap, a
// thread that holds it takes it again by counting, and giving it back is a plain store. No
// waiter ever sleeps on a signal that an unlock would have to send, so an unlock never needs a
// second locked instruction to look for sleepers. A thread that finds the lock held looks again
// with a growing pause between looks while the holder runs (critical sections are a few lookups
// long), then yields its core, then sleeps for growing spans of at most a millisecond: a waiter
// polls, so no wake-up can be lost, and a long wait costs it at most a millisecond of latency.
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
#include <chrono>
#include <cstdint>
#include <thread>

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
    if (!TryTake()) LockContended();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
  }

  void Unlock() OR_RELEASE() {
    if (--depth_ != 0) return;
    owner_.store(0, std::memory_order_relaxed);
    held_.store(false, std::memory_order_release);
  }

 private:
  static constexpr int kSpins = 16;
  static constexpr int kMaxPauses = 1024;
  static constexpr int kYields = 64;
  static constexpr int kMaxSleepMicroseconds = 1000;

  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  bool TryTake() {
    return !held_.load(std::memory_order_relaxed) &&
           !held_.exchange(true, std::memory_order_acquire);
  }

  // Waits with a growing pause between looks: a holder that releases and at once takes the lock
  // again for its next step keeps it, instead of the lock moving between cores at every step.
  // Then yields, so that a holder that was descheduled gets the core, and at last sleeps.
  // Kept out of line so that the uncontended path inlines into every critical section.
  __attribute__((noinline)) void LockContended() {
    int pauses = 1;
    for (int spin = 0; spin < kSpins; ++spin) {
      for (int i = 0; i < pauses; ++i) Pause();
      if (TryTake()) return;
      if (pauses < kMaxPauses) pauses *= 2;
    }
    for (int yield = 0; yield < kYields; ++yield) {
      std::this_thread::yield();
      if (TryTake()) return;
    }
    int sleep = 1;
    while (!TryTake()) {
      std::this_thread::sleep_for(std::chrono::microseconds(sleep));
      if (sleep < kMaxSleepMicroseconds) sleep *= 2;
    }
  }

  std::atomic<bool> held_{false};
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
