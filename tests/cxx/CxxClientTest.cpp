// CxxClientTest.cpp
//
// The header-only C++ helpers: handles release what they own, callables live exactly as long as
// their operations, results carry the code with the value, and a batch flushes when it ends.

#include <memory>
#include <stdexcept>

#include "ComponentTest.h"
#include "OperationReceipt.hpp"

namespace operation_receipt_test {
namespace {

using operation_receipt::Operation;
using operation_receipt::ScopedBatch;

class CxxClient : public ComponentTest {
 protected:
  operation_receipt::Client client_{Table()};
};

TEST_F(CxxClient, HandlesAndCallablesLiveAsLongAsTheirOperations) {
  int runs = 0;
  const auto held = std::make_shared<int>();  // its count tells whether the callable still lives
  auto created = client_.Create("Counted", [&runs, held](uint64_t) { return ++runs, 0u; });
  Operation moved = std::move(created.operation);
  EXPECT_FALSE(created.operation);
  EXPECT_EQ(created.operation.State().code, OR_INVALID_OPERATION_TOKEN);  // empty: names nothing
  auto shared = moved.Share();
  ASSERT_TRUE(shared.ok());
  moved = Operation();                       // releases one reference
  EXPECT_EQ(shared.value.Code().value, 0u);  // flushes on demand
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(held.use_count(), 2);  // still held by the operation
  shared.value.Reset();
  EXPECT_EQ(held.use_count(), 1);
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

// A batch flushes when it ends, or when finished, with the flush's code; an exception from a
// callable passes through the flush to its caller and leaves the operation Executing.
TEST_F(CxxClient, BatchesFlushWhenTheyEndAndExceptionsReachTheCaller) {
  int runs = 0;
  {
    ScopedBatch batch(client_);
    Operation operation = client_.Create("Batched", [&runs] { ++runs; }).operation;
  }
  EXPECT_EQ(runs, 1);
  ScopedBatch batch(client_);
  Operation failing = client_.Create("Failing", [] { return 7u; }).operation;
  EXPECT_EQ(batch.Finish(), 7u);
  Operation throwing =
      client_.Create("Throwing", [](uint64_t) -> uint32_t { throw std::runtime_error("boom"); })
          .operation;
  EXPECT_THROW(client_.Flush(), std::runtime_error);
  EXPECT_EQ(throwing.State().value, kExecuting);
}

}  // namespace
}  // namespace operation_receipt_test
