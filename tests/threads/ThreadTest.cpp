// ThreadTest.cpp
//
// Operation sets of several threads: each thread's set takes its client key at the thread's
// first call, a thread flushes and cancels only its own operations, operations left buffered by
// a thread that ended stay pending with no owner, threads flush side by side, and a process may
// end while threads still hold sets and buffered operations.
//
// The worker threads use client ids other than kMainClient; each test releases what they made.

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Threads = ComponentTest;

// Runs `body` on a new thread working for `clientId`, and waits for it to end.
template <class Body>
void OnNewThread(int32_t clientId, Body body) {
  std::thread worker([&] {
    StandIn_CommonSetClientId(clientId);
    body();
  });
  worker.join();
}

std::string NotOnThisThread(uint64_t token) {
  return "Operation token " + Hex(token) +
         " does not correspond to an operation in the operation set on the current thread";
}

// Expects the one post of a refused FlushOperation or CancelOperation on a foreign token.
void ExpectMembershipPost(uint64_t token) {
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(posts[0].message, NotOnThisThread(token));
  EXPECT_EQ(posts[0].file, "OperationSet.cpp");
}

void ExpectNotFlushableOrCancelable(uint64_t token) {
  StandIn_ErrorClearPosts();
  EXPECT_EQ(Table().FlushOperation(token), OR_INVALID_OPERATION_TOKEN);
  ExpectMembershipPost(token);
  StandIn_ErrorClearPosts();
  EXPECT_EQ(Table().CancelOperation(token), OR_INVALID_OPERATION_TOKEN);
  ExpectMembershipPost(token);
  StandIn_ErrorClearPosts();
}

// A thread whose first call only asks for immediate mode builds its set then, with the client
// key of that moment; a later change of the thread's client id does not change the set's key.
TEST_F(Threads, SetTakesTheClientKeyAtTheThreadsFirstCall) {
  constexpr int32_t kFirst = 201;
  constexpr int32_t kLater = 202;
  Probe probe;
  OnNewThread(kFirst, [&] {
    const uint64_t asked = StandIn_CommonGetClientIdCallCount();
    EXPECT_FALSE(Immediate());
    EXPECT_EQ(StandIn_CommonGetClientIdCallCount(), asked + 1);
    StandIn_CommonSetClientId(kLater);
    const uint64_t token = Make(probe, "Worker");
    EXPECT_EQ(StandIn_CommonGetClientIdCallCount(), asked + 1);
    EXPECT_EQ(Counted(kFirst, /*pending=*/true), 1u);
    EXPECT_EQ(Counted(kLater, /*pending=*/true), 0u);
    EXPECT_EQ(Table().Flush(), 0u);
    Release({token});
  });
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(probe.destroyed, 1);
}

TEST_F(Threads, NeitherThreadFlushesOrCancelsTheOthersOperations) {
  constexpr int32_t kWorker = 211;
  Probe mine, theirs;
  const uint64_t tmine = Make(mine, "Mine");
  std::promise<uint64_t> created;
  std::promise<void> go;
  std::thread worker([&] {
    StandIn_CommonSetClientId(kWorker);
    const uint64_t token = Make(theirs, "Theirs");
    created.set_value(token);
    go.get_future().wait();
    ExpectNotFlushableOrCancelable(tmine);
    EXPECT_EQ(Table().Flush(), 0u);
    EXPECT_EQ(theirs.executed, 1);
    EXPECT_EQ(mine.executed, 1);  // flushed earlier by its own thread, and only then
    Release({token});
  });
  const uint64_t ttheirs = created.get_future().get();

  EXPECT_EQ(State(ttheirs), kPending);
  EXPECT_EQ(Code(ttheirs), 0u);  // reading another thread's operation does not flush it
  EXPECT_EQ(Message(ttheirs), "");
  EXPECT_EQ(theirs.executed, 0);
  EXPECT_TRUE(Posts().empty());  // the reads succeeded
  ExpectNotFlushableOrCancelable(ttheirs);
  EXPECT_EQ(State(ttheirs), kPending);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLines("Begin Flushing 1 operations"), 1);
  EXPECT_EQ(mine.executed, 1);
  EXPECT_EQ(theirs.executed, 0);

  go.set_value();
  worker.join();
  EXPECT_EQ(theirs.destroyed, 1);
  Release({tmine});
}

// The set of an ended thread is gone: its buffered operations stay Pending and referenced, and
// no thread (neither this one nor a new one with the same client id) can flush or cancel them.
TEST_F(Threads, OperationsLeftByAnEndedThreadStayPendingWithoutOwner) {
  constexpr int32_t kEnded = 212;
  Probe x, y;
  uint64_t tx = 0;
  uint64_t ty = 0;
  OnNewThread(kEnded, [&] {
    tx = Make(x, "X", /*hasValue=*/true);
    ty = Make(y, "Y");
  });
  EXPECT_EQ(Counted(kEnded, /*pending=*/true), 2u);
  EXPECT_EQ(State(tx), kPending);
  EXPECT_EQ(Code(tx), 0u);
  EXPECT_EQ(Message(tx), "");
  EXPECT_EQ(x.executed, 0);
  EXPECT_TRUE(Posts().empty());
  ExpectNotFlushableOrCancelable(tx);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(x.executed + y.executed, 0);

  // New threads of the same client, whose first call builds a set that may well take the memory
  // of the ended thread's set: the operations still belong to none of them.
  for (int attempt = 0; attempt < 3; ++attempt) {
    OnNewThread(kEnded, [&] {
      EXPECT_EQ(Table().FlushOperation(ty), OR_INVALID_OPERATION_TOKEN);
      ExpectMembershipPost(ty);
      ExpectNotFlushableOrCancelable(tx);
      EXPECT_EQ(Table().Flush(), 0u);
    });
  }
  EXPECT_EQ(x.executed + y.executed, 0);
  EXPECT_EQ(State(ty), kPending);

  // The client's reference and the abandoned buffer's.
  Release({tx, ty});
  EXPECT_EQ(State(tx), kPending);
  Release({tx, ty});
  EXPECT_EQ(x.destroyed + y.destroyed, 2);
  EXPECT_EQ(Counted(kEnded, /*pending=*/true), 0u);
}

// Each of a few threads creates, flushes and reads its own operations while the others do the
// same, and looks at a neighbour's operation now and then; one thread buffers enough to make
// its flushes compact the table under the others. Every operation executes once, on its own
// thread, in the order it was created.
struct Worker {
  int32_t clientId = 0;
  int perRound = 0;
  std::vector<int> order;
  bool wrongThread = false;
  std::atomic<uint64_t> published{0};
};

void RunWorker(Worker& worker, const Worker& neighbour, int rounds) {
  const std::thread::id self = std::this_thread::get_id();
  StandIn_CommonSetClientId(worker.clientId);
  std::vector<Probe> steps(static_cast<size_t>(rounds) * worker.perRound);
  for (int round = 0; round < rounds; ++round) {
    std::vector<uint64_t> tokens;
    for (int index = round * worker.perRound; index < (round + 1) * worker.perRound; ++index) {
      steps[index].executeResult = index % 50 == 49 ? 3u : 0u;
      steps[index].onExecute = [&worker, self, index](uint64_t) {
        worker.wrongThread |= std::this_thread::get_id() != self;
        worker.order.push_back(index);
      };
      tokens.push_back(Make(steps[index], "Step", false, /*alwaysExecute=*/true));
    }
    worker.published = tokens.back();
    EXPECT_EQ(Table().Flush(), 3u);  // the first step with index % 50 == 49
    // The neighbour's operation may be gone already; if not, it answers with a state.
    uint32_t state = 99;
    const uint32_t read = Table().GetOperationState(neighbour.published, &state);
    EXPECT_TRUE(read == OR_INVALID_OPERATION_TOKEN || (read == 0 && state <= kFailed));
    for (size_t i = 0; i < tokens.size(); ++i) {
      EXPECT_EQ(Code(tokens[i]), steps[round * worker.perRound + i].executeResult);
    }
    Release(tokens);
  }
}

TEST_F(Threads, ThreadsFlushTheirOwnOperationsSideBySide) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 4;
  StandIn_LoggingSetEnabledLevels(0);
  std::vector<Worker> workers(kThreads);
  std::vector<std::thread> threads;
  for (int w = 0; w < kThreads; ++w) {
    workers[w].clientId = 220 + w;
    workers[w].perRound = w == 0 ? 8500 : 400;
    threads.emplace_back(RunWorker, std::ref(workers[w]), std::cref(workers[(w + 1) % kThreads]),
                         kRounds);
  }
  for (std::thread& thread : threads) thread.join();
  for (const Worker& worker : workers) {
    EXPECT_FALSE(worker.wrongThread);
    ASSERT_EQ(worker.order.size(), static_cast<size_t>(kRounds * worker.perRound));
    for (int i = 0; i < kRounds * worker.perRound; ++i) ASSERT_EQ(worker.order[i], i);
    EXPECT_EQ(Counted(worker.clientId, /*pending=*/false), 0u);
  }
}

// A host whose main returns while threads still hold sets, buffered operations and a flush in
// progress ends normally. The host program is built next to this executable.
TEST_F(Threads, ProcessEndsCleanlyWhileThreadsHoldBufferedOperations) {
#ifndef OR_EXIT_WITH_LIVE_THREADS
  GTEST_SKIP() << "the host program ExitWithLiveThreads is not part of this build";
#else
  FILE* host = popen(OR_EXIT_WITH_LIVE_THREADS " 2>&1", "r");
  ASSERT_NE(host, nullptr);
  std::string output;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, host) != nullptr) output += chunk;
  const int status = pclose(host);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_NE(output.find("returning with 4 threads holding 164 pending operations"),
            std::string::npos)
      << output;
#endif
}

}  // namespace
}  // namespace operation_receipt_test
