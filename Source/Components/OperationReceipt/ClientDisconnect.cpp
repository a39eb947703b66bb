// ClientDisconnect.cpp
//
// Releases the operations a disconnected client left behind. The pool subscribes OnClientEvent
// to the event broker's "Client" category when it is built; the broker may call it on any
// thread, its own included.

#include <cstring>

#include "OperationPool.h"

namespace operation_receipt {

void OperationPool::OnClientEvent(void* /*unused*/, const char* eventName,
                                  const void* eventData) {
  if (eventName == nullptr || std::strcmp(eventName, "Disconnected") != 0) return;
  if (eventData == nullptr) return;
  int32_t clientId;
  std::memcpy(&clientId, static_cast<const unsigned char*>(eventData) + 4, sizeof clientId);
  Instance().ReleaseClientOperations(clientId);
}

// The whole scan and every release run in one critical section. The scan finishes before the
// first release, because a release may destroy records and run callbacks that change the table.
// The list of tokens is sized before the scan, so a disconnect that cannot have it leaves as an
// exception having written no line and released nothing.
void OperationPool::ReleaseClientOperations(int32_t clientId) {
  PoolGuard guard(lock_);
  std::vector<uint64_t> tokens;
  size_t count = 0;
  for (size_t index = 1; index < records_.size(); ++index) {
    count += records_[index].IsLive() && records_[index].setKey == clientId;
  }
  tokens.reserve(count);
  for (size_t index = 1; index < records_.size(); ++index) {
    const OperationRecord& record = records_[index];
    if (!record.IsLive() || record.setKey != clientId) continue;
    const uint64_t token = record.token;
    LogLine(logger_, kLogDisconnect, [&](LineWriter& s) {
      s << "Client " << clientId << " did not destroy operation " << TokenPiece{token};
    });
    tokens.push_back(token);
  }
  for (const uint64_t token : tokens) (void)ReleaseLocked(token);
}

}  // namespace operation_receipt
