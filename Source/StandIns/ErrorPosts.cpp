// ErrorPosts.cpp
//
// Quorvel_ErrorPostError and the host's view of the posts: each thread keeps its own last
// STANDIN_ERROR_POSTS_KEPT posts (so a long benchmark does not grow without bound) and a running
// total that includes the dropped ones.
//
// The log is a thread_local object created on first use. Other libraries may post from their
// own thread-exit destructors after this one has been destroyed, so a plain thread_local flag
// (trivially destructible, hence always usable) marks the log as gone and later posts are
// ignored instead of touching a destroyed object.
#include <cstdint>
#include <deque>
#include <new>
#include <string>
#include <string_view>

#include "ErrorInternal.h"
#include "StandInServices.h"

namespace {

struct Post {
  uint32_t code;
  uint32_t line;
  std::string message;
  std::string sourceFile;
};

thread_local bool tPostLogGone = false;

struct PostLog {
  std::deque<Post> posts;  // oldest first; a deque keeps kept posts' texts in place
  uint64_t total = 0;
  ~PostLog() { tPostLogGone = true; }
};

// The calling thread's log, or null once the thread is tearing it down.
PostLog* ThreadPostLog() {
  if (tPostLogGone) return nullptr;
  thread_local PostLog log;
  return &log;
}

const Post* KeptPost(uint32_t index) {
  PostLog* log = ThreadPostLog();
  if (log == nullptr || index >= log->posts.size()) return nullptr;
  return &log->posts[index];
}

}  // namespace

extern "C" {

STANDIN_API uint32_t Quorvel_ErrorPostError(uint32_t code, const char* message,
                                            const char* sourceFile, uint32_t line) {
  const std::string_view text = message == nullptr ? "" : message;
  const std::string_view file = sourceFile == nullptr ? "" : sourceFile;
  try {
    if (code != 0) standin::RecordErrorInOpenContexts(code, text);
    PostLog* log = ThreadPostLog();
    if (log == nullptr) return STANDIN_OK;
    ++log->total;
    if (log->posts.size() == STANDIN_ERROR_POSTS_KEPT) log->posts.pop_front();
    log->posts.push_back(Post{code, line, std::string(text), std::string(file)});
  } catch (const std::bad_alloc&) {
    return STANDIN_E_OUT_OF_MEMORY;
  }
  return STANDIN_OK;
}

STANDIN_API uint32_t StandIn_ErrorPostCount(void) {
  PostLog* log = ThreadPostLog();
  return log == nullptr ? 0 : static_cast<uint32_t>(log->posts.size());
}

STANDIN_API uint64_t StandIn_ErrorTotalPostCount(void) {
  PostLog* log = ThreadPostLog();
  return log == nullptr ? 0 : log->total;
}

STANDIN_API uint32_t StandIn_ErrorPostCode(uint32_t index) {
  const Post* post = KeptPost(index);
  return post == nullptr ? 0 : post->code;
}

STANDIN_API const char* StandIn_ErrorPostMessage(uint32_t index) {
  const Post* post = KeptPost(index);
  return post == nullptr ? "" : post->message.c_str();
}

STANDIN_API const char* StandIn_ErrorPostFile(uint32_t index) {
  const Post* post = KeptPost(index);
  return post == nullptr ? "" : post->sourceFile.c_str();
}

STANDIN_API uint32_t StandIn_ErrorPostLine(uint32_t index) {
  const Post* post = KeptPost(index);
  return post == nullptr ? 0 : post->line;
}

STANDIN_API void StandIn_ErrorClearPosts(void) {
  PostLog* log = ThreadPostLog();
  if (log == nullptr) return;
  log->posts.clear();
  log->total = 0;
}

}  // extern "C"
