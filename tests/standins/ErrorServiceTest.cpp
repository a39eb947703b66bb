// Tests of the stand-in error service: default tables, per-thread posts and error contexts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "StandInServices.h"

namespace {

std::string ContextMessage(ErrorContextHandle context, uint32_t bufferSize = 256) {
  std::string buffer(bufferSize, 'x');
  Quorvel_ErrorGetErrorMessage(context, buffer.data(), bufferSize);
  return buffer.c_str();
}

TEST(ErrorDefaults, TextsStayValidAcrossReRegistration) {
  static uint32_t run = 0;  // the tables are process-wide: fresh codes for each repetition
  const uint32_t code = 0xE0000u + 8 * run++;
  std::string text = "first";
  EXPECT_EQ(Quorvel_ErrorSetDefaultMessage(code, text.c_str()), 0u);
  text.assign("overwritten");  // the service copied the text
  const char* first = Quorvel_ErrorGetDefaultMessage(code);
  EXPECT_STREQ(first, "first");
  EXPECT_EQ(Quorvel_ErrorSetDefaultMessage(code, "second"), 0u);
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(code), "second");
  EXPECT_STREQ(first, "first");  // still alive for holders of the old pointer
  ASSERT_NE(Quorvel_ErrorGetDefaultMessage(code + 1), nullptr);
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(code + 1), "");
  EXPECT_NE(Quorvel_ErrorSetDefaultMessage(code + 2, nullptr), 0u);

  uint32_t category = 7;
  EXPECT_FALSE(StandIn_ErrorGetCategory(code + 3, &category));
  EXPECT_EQ(category, 7u);
  Quorvel_ErrorSetCategory(code + 3, 3);
  Quorvel_ErrorSetCategory(code + 3, 4);
  EXPECT_TRUE(StandIn_ErrorGetCategory(code + 3, &category));
  EXPECT_EQ(category, 4u);
  EXPECT_TRUE(StandIn_ErrorGetCategory(code + 3, nullptr));
}

TEST(ErrorPosts, KeepsTheLastPostsAndCountsAll) {
  StandIn_ErrorClearPosts();
  Quorvel_ErrorPostError(5, nullptr, nullptr, 9);
  EXPECT_EQ(StandIn_ErrorPostCode(0), 5u);
  EXPECT_STREQ(StandIn_ErrorPostMessage(0), "");
  EXPECT_STREQ(StandIn_ErrorPostFile(0), "");
  EXPECT_EQ(StandIn_ErrorPostLine(0), 9u);

  for (uint32_t i = 1; i < STANDIN_ERROR_POSTS_KEPT + 10; ++i) {
    Quorvel_ErrorPostError(i, std::to_string(i).c_str(), "file.cpp", i);
  }
  EXPECT_EQ(StandIn_ErrorPostCount(), STANDIN_ERROR_POSTS_KEPT);
  EXPECT_EQ(StandIn_ErrorTotalPostCount(), STANDIN_ERROR_POSTS_KEPT + 10u);
  EXPECT_EQ(StandIn_ErrorPostCode(0), 10u);  // posts 0..9 were dropped, oldest first
  EXPECT_STREQ(StandIn_ErrorPostMessage(STANDIN_ERROR_POSTS_KEPT - 1), "4105");
  EXPECT_STREQ(StandIn_ErrorPostFile(STANDIN_ERROR_POSTS_KEPT - 1), "file.cpp");
  EXPECT_EQ(StandIn_ErrorPostCode(STANDIN_ERROR_POSTS_KEPT), 0u);  // past the end: empty
  EXPECT_STREQ(StandIn_ErrorPostMessage(0xFFFFFFFFu), "");

  StandIn_ErrorClearPosts();
  EXPECT_EQ(StandIn_ErrorPostCount(), 0u);
  EXPECT_EQ(StandIn_ErrorTotalPostCount(), 0u);
}

TEST(ErrorContexts, EachContextKeepsTheFirstNonZeroErrorSinceItOpened) {
  const ErrorContextHandle outer = Quorvel_ErrorEnterContex(0);
  Quorvel_ErrorPostError(0, "ignored: code 0", "f", 1);
  const ErrorContextHandle inner = Quorvel_ErrorEnterContex(1);
  ASSERT_NE(outer, 0u);
  ASSERT_NE(inner, 0u);
  ASSERT_NE(inner, outer);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(outer), 0u);

  Quorvel_ErrorPostError(11, "eleven", "f", 2);
  Quorvel_ErrorPostError(12, "twelve", "f", 3);
  const ErrorContextHandle late = Quorvel_ErrorEnterContex(2);
  Quorvel_ErrorPostError(13, "thirteen", "f", 4);
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), 3u);

  EXPECT_EQ(Quorvel_ErrorGetErrorCode(outer), 11u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(inner), 11u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(late), 13u);
  EXPECT_EQ(ContextMessage(late), "thirteen");

  // Closing the middle one leaves the others as they were.
  EXPECT_EQ(Quorvel_ErrorExitContex(inner), 0u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(inner), 0u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(outer), 11u);
  EXPECT_NE(Quorvel_ErrorExitContex(inner), 0u);
  Quorvel_ErrorExitContex(late);
  Quorvel_ErrorExitContex(outer);
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), 0u);
}

// The message size counts the terminator; copies are cut to the buffer; a context without an
// error, or a handle that is closed or was never opened, answers code 0 and no message.
TEST(ErrorContexts, MessagesAreBoundedAndUnknownHandlesRefused) {
  const ErrorContextHandle context = Quorvel_ErrorEnterContex(0);
  uint32_t size = 99;
  EXPECT_NE(Quorvel_ErrorGetErrorMessageSize(context, &size), 0u);  // no error yet
  EXPECT_EQ(size, 0u);
  Quorvel_ErrorPostError(21, "abcdef", "f", 1);
  EXPECT_EQ(Quorvel_ErrorGetErrorMessageSize(context, &size), 0u);
  EXPECT_EQ(size, 7u);
  EXPECT_NE(Quorvel_ErrorGetErrorMessageSize(context, nullptr), 0u);
  EXPECT_EQ(ContextMessage(context, 4), "abc");
  EXPECT_EQ(ContextMessage(context, 1), "");
  char untouched = 'u';
  Quorvel_ErrorGetErrorMessage(context, &untouched, 0);
  EXPECT_EQ(untouched, 'u');
  EXPECT_NE(Quorvel_ErrorGetErrorMessage(context, nullptr, 100), 0u);
  Quorvel_ErrorExitContex(context);

  for (ErrorContextHandle handle : {ErrorContextHandle{0}, context, ~ErrorContextHandle{0}}) {
    size = 5;
    EXPECT_EQ(Quorvel_ErrorGetErrorCode(handle), 0u);
    EXPECT_NE(Quorvel_ErrorGetErrorMessageSize(handle, &size), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ContextMessage(handle), "");
    EXPECT_NE(Quorvel_ErrorExitContex(handle), 0u);
  }
}

TEST(ErrorContexts, PostsAndContextsBelongToTheirThread) {
  StandIn_ErrorClearPosts();
  const ErrorContextHandle mine = Quorvel_ErrorEnterContex(0);
  std::thread other([mine] {
    EXPECT_EQ(StandIn_ErrorOpenContextCount(), 0u);
    EXPECT_NE(Quorvel_ErrorExitContex(mine), 0u);  // not this thread's context
    const ErrorContextHandle theirs = Quorvel_ErrorEnterContex(0);
    Quorvel_ErrorPostError(41, "other thread", "f", 1);
    EXPECT_EQ(Quorvel_ErrorGetErrorCode(theirs), 41u);
    EXPECT_EQ(StandIn_ErrorPostCount(), 1u);
    // Left open on purpose: the thread's contexts go away with it.
  });
  other.join();
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(mine), 0u);
  EXPECT_EQ(StandIn_ErrorPostCount(), 0u);
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), 1u);
  Quorvel_ErrorExitContex(mine);
}

}  // namespace
