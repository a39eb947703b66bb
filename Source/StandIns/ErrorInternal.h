// ErrorInternal.h
//
// What the error service's posting side tells its context side. Posting and contexts live in
// separate files; a post with a non-zero code has to reach the open contexts of its thread.
#ifndef STAND_INS_ERROR_INTERNAL_H_
#define STAND_INS_ERROR_INTERNAL_H_

#include <cstdint>
#include <string_view>

namespace standin {

// Gives `code` and `message` to every context open on the calling thread that has no error yet.
// `code` is non-zero. May throw std::bad_alloc when the message cannot be copied.
void RecordErrorInOpenContexts(uint32_t code, std::string_view message);

}  // namespace standin

#endif  // STAND_INS_ERROR_INTERNAL_H_
