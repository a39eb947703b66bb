// The bit-data registry across threads: each thread creates and frees through slots of its own,
// so the live count, the quarantine of freed addresses and the calls made while a thread exits
// must come out as if every call had gone through the one registry.
#include <algorithm>
#include <thread>
#include <vector>

#include "BitDataTestSupport.h"

namespace {

// Creates and frees one buffer from its destructor. Constructed before the thread's first
// bit-data call, so it is destroyed after the thread's slots went back to the registry.
struct ExitTimeUser {
  BitData* kept = nullptr;  // created at exit, freed by the test's main thread
  BitData** out = nullptr;
  ~ExitTimeUser() {
    BitData_FreeManaged(BitData_CreateManaged(8));
    *out = BitData_CreateManaged(16);
  }
};
thread_local ExitTimeUser tExitTimeUser;

TEST_F(BitDataTest, LiveCountStaysExactWhenThreadsCreateFreeAndExit) {
  const uint64_t before = StandIn_BitDataLiveCount();
  std::vector<BitData*> made(100);
  BitData* madeAtExit = nullptr;
  std::thread maker([&] {
    tExitTimeUser.out = &madeAtExit;
    for (BitData*& data : made) data = BitData_CreateManaged(32);
  });
  maker.join();  // its cache still held unused slots when it exited
  ASSERT_NE(madeAtExit, nullptr);
  EXPECT_EQ(StandIn_BitDataLiveCount(), before + 101);
  std::thread freer([&] {
    for (size_t i = 0; i < made.size(); i += 2) BitData_FreeManaged(made[i]);
    EXPECT_EQ(StandIn_BitDataLiveCount(), before + 51);  // counted while the thread runs
  });
  freer.join();
  for (size_t i = 1; i < made.size(); i += 2) BitData_FreeManaged(made[i]);
  BitData_FreeManaged(madeAtExit);
  EXPECT_EQ(StandIn_BitDataLiveCount(), before);
  ExpectMisuses(0);
}

TEST_F(BitDataTest, FreedAddressIsRefusedAndNotReusedByTheNextThousandCreations) {
  BitData* freed = BitData_CreateManaged(8);
  BitData_FreeManaged(freed);
  std::vector<BitData*> created;
  for (int i = 0; i < 1000; ++i) created.push_back(BitData_CreateManaged(8));
  std::thread other([&] {
    for (int i = 0; i < 64; ++i) created.push_back(BitData_CreateManaged(8));
  });
  other.join();
  EXPECT_EQ(std::count(created.begin(), created.end(), freed), 0);
  EXPECT_EQ(BitData_GetLength(freed), 0u);  // a stale pointer is refused, not followed
  ExpectMisuses(1);
  for (BitData* data : created) BitData_FreeManaged(data);
}

}  // namespace
