// PoolLock.h
//
// The pool's one lock: a recursive mutex that clang's thread-safety analysis can see.
//
// The pool lock is recursive because destroying an operation releases the operations its links
// name on the same thread, and because the destroy and value callbacks run with the lock held and
// may call back into the component. Clang 14 has no re-entrant capability, so the analysis treats
// the lock as plain: helpers that expect it held are OR_REQUIRES(lock) and never lock again;
// re-entry happens only through client callbacks (C function pointers the analysis cannot follow)
// and through the few public entry points named at their call sites.
#ifndef OPERATION_RECEIPT_POOL_LOCK_H_
#define OPERATION_RECEIPT_POOL_LOCK_H_

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

class OR_CAPABILITY("mutex") PoolLock {
 public:
  PoolLock() = default;
  PoolLock(const PoolLock&) = delete;
  PoolLock& operator=(const PoolLock&) = delete;

  void Lock() OR_ACQUIRE() { mutex_.lock(); }
  void Unlock() OR_RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
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
