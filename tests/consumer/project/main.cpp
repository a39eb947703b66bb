// A host built against the installed package alone (never the source or build tree): it gets the
// component's table, runs one operation whose work is a callable, reads the value the work set,
// releases the operation, and asks the stand-in libraries what happened. Exits 0 when every
// check holds.
#include <cstdint>
#include <cstdio>

#include "BitData.h"
#include "OperationReceipt.hpp"
#include "StandInServices.h"

namespace {

int failures = 0;

void Check(bool condition, const char* what) {
  if (!condition) std::fprintf(stderr, "consumer: check failed: %s\n", what), ++failures;
}

constexpr uint32_t kValue = 0xC0FFEEu;

}  // namespace

int main() {
  using operation_receipt::Client;
  using operation_receipt::OperationOptions;

  const Client client = Client::FromLibrary();
  Check(client.valid(), "the library hands out its table");
  if (!client.valid()) return 1;

  const uint64_t liveBefore = StandIn_BitDataLiveCount();
  const uint32_t postsBefore = StandIn_ErrorPostCount();
  int runs = 0;
  uint64_t token = 0;
  {
    OperationOptions options;
    options.hasValue = true;
    operation_receipt::Created created = client.Create(
        "Consumer.Read",
        [&client, &runs](uint64_t self) -> uint32_t {
          ++runs;
          BitData* value = BitData_CreateManaged(32);
          if (BitData_SetUpToUInt64(value, 0, 32, kValue) != STANDIN_BITDATA_OK) return 2;
          return client.table().SetValue(self, value);  // the operation owns it from here
        },
        options);
    Check(created.code == OR_NO_ERROR && created.operation, "create hands out a token");
    Check(runs == 0, "the work waits in the thread's buffer");
    token = created.operation.token();

    const operation_receipt::Result<uint32_t> value = created.operation.ValueAs<uint32_t>();
    Check(runs == 1, "reading the value flushes and runs the work once");
    Check(value.ok() && value.value == kValue, "the value is the one the work set");
    const operation_receipt::Result<uint32_t> state = created.operation.State();
    Check(state.ok() && state.value == OperationState_Executed, "the operation executed");
    Check(StandIn_BitDataLiveCount() > liveBefore, "the operation's value is a live buffer");
    Check(created.operation.Reset() == OR_NO_ERROR, "the release succeeds");
  }
  Check(StandIn_BitDataLiveCount() == liveBefore, "the release frees the value");
  Check(StandIn_ErrorPostCount() == postsBefore, "nothing was posted to the error service");

  // A released token is refused, and the refusal reaches the stand-in error service.
  Check(client.table().ReleaseOperation(token) == OR_INVALID_OPERATION_TOKEN,
        "a released token is refused");
  Check(StandIn_ErrorPostCount() == postsBefore + 1 &&
            StandIn_ErrorPostCode(postsBefore) == OR_INVALID_OPERATION_TOKEN,
        "the refusal is posted");
  if (failures == 0) std::printf("consumer: ok\n");
  return failures == 0 ? 0 : 1;
}
