// SpinLock.h
//
// A lock of one atomic word for critical sections of a few dozen instructions (the bit-data
// registry's free list). Taking it free costs one atomic exchange and releasing it one store,
// against two library calls and two locked instructions for a std::mutex. A waiter spins on a
// plain load and yields the processor after a while, so a holder that was descheduled is not
// starved on a machine with few cores. Trivially destructible: usable during process exit.
#ifndef STAND_INS_SPIN_LOCK_H_
#define STAND_INS_SPIN_LOCK_H_

#include <atomic>
#include <thread>

namespace standin {

// Spins `spins` times before each yield. Shared by every waiter of the stand-ins' own locks.
inline void PauseWhileContended(unsigned& spins) {
  constexpr unsigned kSpinsBeforeYield = 64;
  if (++spins % kSpinsBeforeYield == 0) std::this_thread::yield();
}

class SpinLock {
 public:
  void lock() {
    unsigned spins = 0;
    while (held_.exchange(true, std::memory_order_acquire)) {
      while (held_.load(std::memory_order_relaxed)) PauseWhileContended(spins);
    }
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace standin

#endif  // STAND_INS_SPIN_LOCK_H_
