// LinkTestSupport.h
//
// Helpers of the value-link tests: operations holding a given value, reading a value back as
// (result, length, low bits), and index lists built from positions and runs.
#ifndef OPERATION_RECEIPT_TESTS_LINK_TEST_SUPPORT_H_
#define OPERATION_RECEIPT_TESTS_LINK_TEST_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {

// A buffered, unnamed operation without callbacks that holds a `bits`-bit value.
inline uint64_t ValueSource(uint64_t bits, uint64_t value) {
  uint64_t token = 0;
  EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
  EXPECT_EQ(Table().SetValue(token, MakeBits(bits, value)), 0u);
  return token;
}

// A buffered, unnamed operation without callbacks and without a value.
inline uint64_t PlainOperation() {
  uint64_t token = 0;
  EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
  return token;
}

// What GetValue handed out, the copy already freed.
struct ReadBits {
  uint32_t result = 0;
  bool handedOut = false;
  uint64_t length = 0;
  uint64_t low = 0;  // bits 0 .. min(length, 64) - 1
};

inline ReadBits ReadValueOf(uint64_t token) {
  ReadBits read;
  BitData* value = nullptr;
  read.result = Table().GetValue(token, &value);
  if (value != nullptr) {
    read.handedOut = true;
    read.length = BitData_GetLength(value);
    read.low = BitData_GetUpToUInt64(value, 0, std::min<uint64_t>(read.length, 64));
    BitData_FreeManaged(value);
  }
  return read;
}

// Builds an IndexList element by element. The list points into the builder, so the builder
// must outlive every use of the list and gets no element after List() was called.
class IndexListBuilder {
 public:
  IndexListBuilder& Positions(std::initializer_list<uint64_t> positions) {
    return Element(false, true, std::vector<uint64_t>(positions));
  }
  IndexListBuilder& Run(uint64_t start, uint64_t length, bool ascending = true) {
    return Element(true, ascending, {start, length});
  }
  // Any element, well formed or not.
  IndexListBuilder& Element(bool isRange, bool ascending, std::vector<uint64_t> values) {
    values_.push_back(std::move(values));
    IndexRun run{};
    run.isRange = isRange ? 1 : 0;
    run.ascending = ascending ? 1 : 0;
    run.valuesBegin = values_.back().data();
    run.valuesEnd = values_.back().data() + values_.back().size();
    run.valuesCapacityEnd = run.valuesEnd;
    runs_.push_back(run);
    return *this;
  }
  // An element whose value pointers are given as they are.
  IndexListBuilder& RawElement(const uint64_t* begin, const uint64_t* end) {
    IndexRun run{};
    run.valuesBegin = begin;
    run.valuesEnd = end;
    run.valuesCapacityEnd = end;
    runs_.push_back(run);
    return *this;
  }

  // The list with the count its well-formed elements name.
  IndexList List() {
    uint64_t count = 0;
    for (const IndexRun& run : runs_) {
      if (run.isRange != 0) {
        count += run.valuesBegin[1];
      } else {
        count += static_cast<uint64_t>(run.valuesEnd - run.valuesBegin);
      }
    }
    return List(count);
  }
  IndexList List(uint64_t count) const {
    IndexList list{};
    list.elementsBegin = runs_.data();
    list.elementsEnd = runs_.data() + runs_.size();
    list.elementsCapacityEnd = list.elementsEnd;
    list.count = count;
    return list;
  }

 private:
  std::deque<std::vector<uint64_t>> values_;  // element storage that never moves
  std::vector<IndexRun> runs_;
};

}  // namespace operation_receipt_test

#endif  // OPERATION_RECEIPT_TESTS_LINK_TEST_SUPPORT_H_
