// CxxClientTest.cpp
//
// The header-only C++ helpers: handles release what they own, callables live exactly as long as
// their operations, results carry the code with the value, and a batch flushes when it ends.

#include <stdexcept>

#include "ComponentTest.h"
#include "OperationReceipt.hpp"

namespace operation_receipt_test {
namespace {

using operation_receipt::Operation;
using operation_receipt::ScopedBatch;

// Counts live copies, so a test can tell that the component freed the callable it held.
struct Tracked {
  static int live;
  Tracked() { ++live; }
  Tracked(const Tracked&) { ++live; }
  Tracked(Tracked&&) noexcept { ++live; }
  ~Tracked() { --live; }
};
int Tracked::live = 0;

class CxxClient : public ComponentTest {
 protected:
  operation_receipt::Client client_{Table()};
};

TEST_F(CxxClient, HandlesAndCallablesLiveAsLongAsTheirOperations) {
  int runs = 0;
  auto created = client_.Create("Counted", [&runs, tracked = Tracked()](uint64_t) {
    ++runs;
    return 0u;
  });
  Operation moved = std::move(created.operation);
  EXPECT_FALSE(created.operation);
  EXPECT_EQ(created.operation.State().code, OR_INVALID_OPERATION_TOKEN);  // empty: names nothing
  auto shared = moved.Share();
  ASSERT_TRUE(shared.ok());
  moved = Operation();                       // releases one reference
  EXPECT_EQ(shared.value.Code().value, 0u);  // flushes on demand
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(Tracked::live, 1);  // still held by the operation
  shared.value.Reset();
  EXPECT_EQ(Tracked::live, 0);
}

// Values and messages of any length come with their codes.
TEST_F(CxxClient, ResultsComeWithTheirCodes) {
  auto created = client_.Create(
      "Value", [](uint64_t token) { return Table().SetValue(token, MakeBits(12, 0xABC)); },
      operation_receipt::OperationOptions{/*hasValue=*/true});
  EXPECT_EQ(created.operation.ValueAs<uint8_t>().value, 0xBCu);
  EXPECT_EQ(created.operation.ValueAs<uint64_t>().value, 0xABCu);
  Operation none = client_.CreateEmpty("NoValue").operation;
  EXPECT_EQ(none.ValueAs<uint32_t>().code, OR_OPERATION_HAS_NO_VALUE);
  const std::string text(300, 'm');
  ASSERT_EQ(none.SetError(0, text.c_str()), 0u);
  EXPECT_EQ(none.Message().value, text);
}

TEST_F(CxxClient, ScopedBatchFlushesWhenItEnds) {
  int runs = 0;
  {
    ScopedBatch batch(client_);
    Operation operation = client_.Create("Batched", [&runs] { ++runs; }).operation;
  }
  EXPECT_EQ(runs, 1);
  ScopedBatch batch(client_);
  Operation failing = client_.Create("Failing", [] { return 7u; }).operation;
  EXPECT_EQ(batch.Finish(), 7u);
}

TEST_F(CxxClient, ExceptionsFromCallablesReachTheCaller) {
  Operation operation =
      client_.Create("Throwing", [](uint64_t) -> uint32_t { throw std::runtime_error("boom"); })
          .operation;
  EXPECT_THROW(client_.Flush(), std::runtime_error);
  EXPECT_EQ(operation.State().value, kExecuting);
}

}  // namespace
}  // namespace operation_receipt_test
