// The stand-in error service as the component relies on it: default texts, posts, and error
// contexts that keep their thread's first non-zero error; unknown handles are refused safely.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "StandInServices.h"

namespace {

std::string ContextMessage(ErrorContextHandle context, uint32_t bufferSize = 256) {
  std::string buffer(bufferSize, 'x');
  Quorvel_ErrorGetErrorMessage(context, buffer.data(), bufferSize);
  return buffer.c_str();
}

TEST(ErrorService, DefaultTextsAreCopiedAndPostsKeptNewestLast) {
  std::string text = "first";
  EXPECT_EQ(Quorvel_ErrorSetDefaultMessage(0xE0000u, text.c_str()), 0u);
  text.assign("overwritten");
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(0xE0000u), "first");
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(0xE0001u), "");
  EXPECT_NE(Quorvel_ErrorSetDefaultMessage(0xE0002u, nullptr), 0u);

  StandIn_ErrorClearPosts();
  for (uint32_t i = 0; i < STANDIN_ERROR_POSTS_KEPT + 10; ++i) {
    Quorvel_ErrorPostError(i, i == 0 ? nullptr : std::to_string(i).c_str(), "file.cpp", i);
  }
  EXPECT_EQ(StandIn_ErrorPostCount(), STANDIN_ERROR_POSTS_KEPT);
  EXPECT_EQ(StandIn_ErrorTotalPostCount(), STANDIN_ERROR_POSTS_KEPT + 10u);
  EXPECT_EQ(StandIn_ErrorPostCode(0), 10u);  // the oldest were dropped
  EXPECT_STREQ(StandIn_ErrorPostMessage(STANDIN_ERROR_POSTS_KEPT - 1), "4105");
  EXPECT_STREQ(StandIn_ErrorPostFile(STANDIN_ERROR_POSTS_KEPT - 1), "file.cpp");
  EXPECT_STREQ(StandIn_ErrorPostMessage(0xFFFFFFFFu), "");  // past the end: empty
}

TEST(ErrorService, ContextsKeepTheFirstNonZeroErrorSinceTheyOpened) {
  const ErrorContextHandle outer = Quorvel_ErrorEnterContex(0);
  Quorvel_ErrorPostError(0, "ignored: code 0", "f", 1);
  const ErrorContextHandle inner = Quorvel_ErrorEnterContex(1);
  Quorvel_ErrorPostError(11, "abcdef", "f", 2);
  Quorvel_ErrorPostError(12, "twelve", "f", 3);
  const ErrorContextHandle late = Quorvel_ErrorEnterContex(2);
  Quorvel_ErrorPostError(13, "thirteen", "f", 4);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(outer), 11u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(inner), 11u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(late), 13u);
  uint32_t size = 0;
  EXPECT_EQ(Quorvel_ErrorGetErrorMessageSize(outer, &size), 0u);
  EXPECT_EQ(size, 7u);  // counts the terminator
  EXPECT_EQ(ContextMessage(outer, 4), "abc");
  EXPECT_EQ(Quorvel_ErrorExitContex(inner), 0u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(outer), 11u);  // closing the middle one leaves the others
  std::thread([outer] {
    EXPECT_NE(Quorvel_ErrorExitContex(outer), 0u);  // not this thread's context
    const ErrorContextHandle theirs = Quorvel_ErrorEnterContex(0);
    Quorvel_ErrorPostError(41, "other thread", "f", 1);
    EXPECT_EQ(Quorvel_ErrorGetErrorCode(theirs), 41u);  // left open: it goes with the thread
  }).join();
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(late), 13u);
  Quorvel_ErrorExitContex(late);
  Quorvel_ErrorExitContex(outer);
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), 0u);

  // Closed, never opened and null handles, and null buffers, answer nothing and touch nothing.
  for (ErrorContextHandle handle : {ErrorContextHandle{0}, inner, ~ErrorContextHandle{0}}) {
    size = 5;
    EXPECT_EQ(Quorvel_ErrorGetErrorCode(handle), 0u);
    EXPECT_NE(Quorvel_ErrorGetErrorMessageSize(handle, &size), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ContextMessage(handle), "");
    EXPECT_NE(Quorvel_ErrorExitContex(handle), 0u);
    EXPECT_NE(Quorvel_ErrorGetErrorMessage(handle, nullptr, 100), 0u);
    EXPECT_NE(Quorvel_ErrorGetErrorMessageSize(handle, nullptr), 0u);
  }
}

}  // namespace
