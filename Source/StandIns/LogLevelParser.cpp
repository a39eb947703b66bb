// LogLevelParser.cpp
#include "LogLevelParser.h"

#include <cctype>
#include <cstddef>
#include <string_view>

namespace standin {
namespace {

std::string_view Trim(std::string_view item) {
  while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front()))) {
    item.remove_prefix(1);
  }
  while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back()))) {
    item.remove_suffix(1);
  }
  return item;
}

bool IsWord(std::string_view item, std::string_view word) {
  if (item.size() != word.size()) return false;
  for (size_t i = 0; i < item.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(item[i])) != word[i]) return false;
  }
  return true;
}

uint32_t ItemMask(std::string_view item) {
  if (IsWord(item, "all")) return ~uint32_t{0};
  if (item.empty()) return 0;
  uint32_t level = 0;
  for (char c : item) {
    if (c < '0' || c > '9') return 0;
    level = level * 10 + static_cast<uint32_t>(c - '0');
    if (level >= 32) return 0;  // stops before the number can overflow
  }
  return uint32_t{1} << level;
}

}  // namespace

uint32_t ParseLogLevels(const char* text) {
  if (text == nullptr) return 0;
  std::string_view rest(text);
  uint32_t mask = 0;
  while (true) {
    const size_t comma = rest.find(',');
    mask |= ItemMask(Trim(rest.substr(0, comma)));
    if (comma == std::string_view::npos) return mask;
    rest.remove_prefix(comma + 1);
  }
}

}  // namespace standin
