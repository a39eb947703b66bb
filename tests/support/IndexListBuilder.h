// IndexListBuilder.h
//
// Builds an IndexList element by element, well formed or not. The list points into the
// builder (a copy still points into the original), so the builder must outlive every use of
// the list.
#ifndef OPERATION_RECEIPT_TESTS_INDEX_LIST_BUILDER_H_
#define OPERATION_RECEIPT_TESTS_INDEX_LIST_BUILDER_H_

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "BitData.h"

class IndexListBuilder {
 public:
  IndexListBuilder& Positions(std::vector<uint64_t> positions) {
    return Element(false, true, std::move(positions));
  }
  IndexListBuilder& Run(uint64_t start, uint64_t length, bool ascending = true) {
    return Element(true, ascending, {start, length});
  }
  IndexListBuilder& Element(bool isRange, bool ascending, std::vector<uint64_t> values) {
    const std::vector<uint64_t>& stored = values_.emplace_back(std::move(values));
    const uint64_t* const begin = stored.empty() ? nullptr : stored.data();
    const uint64_t* const end = begin == nullptr ? nullptr : begin + stored.size();
    return RawElement(begin, end, isRange, ascending);
  }
  // An element whose value pointers are given as they are.
  IndexListBuilder& RawElement(const uint64_t* begin, const uint64_t* end, bool isRange = false,
                               bool ascending = true) {
    IndexRun run{};
    run.isRange = isRange ? 1 : 0;
    run.ascending = ascending ? 1 : 0;
    run.valuesBegin = begin;
    run.valuesEnd = end;
    runs_.push_back(run);
    return *this;
  }

  // The elements built so far, for a test that changes a list after handing it out.
  std::vector<IndexRun>& Runs() { return runs_; }

  // The list with the count its well-formed elements name.
  IndexList List() const {
    uint64_t count = 0;
    for (const IndexRun& run : runs_) {
      count += run.isRange != 0 ? run.valuesBegin[1]
                                : static_cast<uint64_t>(run.valuesEnd - run.valuesBegin);
    }
    return List(count);
  }
  IndexList List(uint64_t count) const {
    return IndexList{runs_.data(), runs_.data() + runs_.size(), nullptr, count};
  }

 private:
  std::deque<std::vector<uint64_t>> values_;  // element storage that never moves
  std::vector<IndexRun> runs_;
};

#endif  // OPERATION_RECEIPT_TESTS_INDEX_LIST_BUILDER_H_
