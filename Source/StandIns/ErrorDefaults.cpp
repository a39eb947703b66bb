// ErrorDefaults.cpp
//
// The error service's process-wide tables: the default message and the category of each code.
//
// Quorvel_ErrorGetDefaultMessage hands out pointers that callers keep for as long as they like,
// so texts are never freed: each registered text is appended to a deque (which never moves its
// elements) and the map points at it. Registering a code again adds a new text and leaves the old
// one in place. The tables themselves are allocated once and never destroyed, so they stay usable
// from other libraries' exit-time code.
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "StandInServices.h"

namespace {

struct DefaultsTable {
  std::mutex mutex;
  std::deque<std::string> texts;  // every text ever registered, kept for the process's life
  std::unordered_map<uint32_t, const char*> messages;
  std::unordered_map<uint32_t, uint32_t> categories;
};

DefaultsTable& Table() {
  static DefaultsTable* const table = new DefaultsTable;
  return *table;
}

}  // namespace

extern "C" {

STANDIN_API uint32_t Quorvel_ErrorSetDefaultMessage(uint32_t code, const char* message) {
  if (message == nullptr) return STANDIN_E_NULL_POINTER;
  DefaultsTable& table = Table();
  try {
    std::lock_guard<std::mutex> lock(table.mutex);
    table.texts.emplace_back(message);
    table.messages[code] = table.texts.back().c_str();
  } catch (const std::bad_alloc&) {
    return STANDIN_E_OUT_OF_MEMORY;
  }
  return STANDIN_OK;
}

STANDIN_API uint32_t Quorvel_ErrorSetCategory(uint32_t code, uint32_t category) {
  DefaultsTable& table = Table();
  try {
    std::lock_guard<std::mutex> lock(table.mutex);
    table.categories[code] = category;
  } catch (const std::bad_alloc&) {
    return STANDIN_E_OUT_OF_MEMORY;
  }
  return STANDIN_OK;
}

STANDIN_API const char* Quorvel_ErrorGetDefaultMessage(uint32_t code) {
  DefaultsTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.messages.find(code);
  return found == table.messages.end() ? "" : found->second;
}

STANDIN_API bool StandIn_ErrorGetCategory(uint32_t code, uint32_t* category) {
  DefaultsTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.categories.find(code);
  if (found == table.categories.end()) return false;
  if (category != nullptr) *category = found->second;
  return true;
}

}  // extern "C"
