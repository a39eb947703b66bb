// CommonService.cpp
//
// The common service's table and the per-thread client id behind its GetClientId entry. The id
// is rigged by the host per thread, the way the real framework ties a thread to the client it
// works for. Both fields are trivially destructible, so the id stays readable from other
// libraries' thread-exit code.
#include <atomic>
#include <cstdint>
#include <type_traits>

#include "StandInServices.h"

namespace {

thread_local bool tHasClientId = false;
thread_local int32_t tClientId = 0;

std::atomic<uint64_t> gGetClientIdCalls{0};

uint32_t CommonVersion() { return STANDIN_SERVICES_VERSION; }

uint32_t GetClientId(int32_t* clientId) {
  gGetClientIdCalls.fetch_add(1, std::memory_order_relaxed);
  if (clientId == nullptr) return STANDIN_E_NULL_POINTER;
  if (!tHasClientId) return STANDIN_E_NO_VALUE;
  *clientId = tClientId;
  return STANDIN_OK;
}

CommonInterface MakeTable() {
  CommonInterface table{};
  table.entry0 = reinterpret_cast<CommonOpaqueEntry>(&CommonVersion);
  table.GetClientId = &GetClientId;
  return table;
}

static_assert(std::is_same_v<decltype(&CommonVersion), StandInVersionEntry>,
              "entry 0 has the type StandInServices.h documents");

}  // namespace

extern "C" {

STANDIN_API uint32_t Quorvel_GetCommon(CommonInterface** common) {
  if (common == nullptr) return STANDIN_E_NULL_POINTER;
  static CommonInterface table = MakeTable();
  *common = &table;
  return STANDIN_OK;
}

STANDIN_API void StandIn_CommonSetClientId(int32_t clientId) {
  tClientId = clientId;
  tHasClientId = true;
}

STANDIN_API void StandIn_CommonClearClientId(void) { tHasClientId = false; }

STANDIN_API uint64_t StandIn_CommonGetClientIdCallCount(void) {
  return gGetClientIdCalls.load(std::memory_order_relaxed);
}

}  // extern "C"
