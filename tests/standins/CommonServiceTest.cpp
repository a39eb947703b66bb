// Tests of the stand-in common service: its table and the per-thread client id.
#include <gtest/gtest.h>

#include <thread>

#include "StandInServices.h"

namespace {

TEST(CommonService, ClientIdIsPerThreadAndUnsetByDefault) {
  EXPECT_NE(Quorvel_GetCommon(nullptr), 0u);
  CommonInterface* common = nullptr;
  ASSERT_EQ(Quorvel_GetCommon(&common), 0u);
  ASSERT_NE(common, nullptr);
  EXPECT_EQ(reinterpret_cast<StandInVersionEntry>(common->entry0)(), STANDIN_SERVICES_VERSION);

  const uint64_t callsBefore = StandIn_CommonGetClientIdCallCount();
  int32_t id = 77;
  EXPECT_NE(common->GetClientId(&id), 0u);
  EXPECT_EQ(id, 77);  // nothing written without an id
  StandIn_CommonSetClientId(-5);
  EXPECT_EQ(common->GetClientId(&id), 0u);
  EXPECT_EQ(id, -5);
  EXPECT_NE(common->GetClientId(nullptr), 0u);

  std::thread([common] {
    int32_t otherId = 1;
    EXPECT_NE(common->GetClientId(&otherId), 0u);
    StandIn_CommonSetClientId(9);
    EXPECT_EQ(common->GetClientId(&otherId), 0u);
    EXPECT_EQ(otherId, 9);
  }).join();

  EXPECT_EQ(common->GetClientId(&id), 0u);
  EXPECT_EQ(id, -5);
  StandIn_CommonClearClientId();
  EXPECT_NE(common->GetClientId(&id), 0u);
  EXPECT_EQ(StandIn_CommonGetClientIdCallCount() - callsBefore, 7u);
}

}  // namespace
