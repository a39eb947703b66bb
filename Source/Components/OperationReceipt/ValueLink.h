// ValueLink.h
//
// One value link: bits of a source operation's value that are written into a destination's
// value when the destination's value is built. A link owns deep copies of the client's two index
// lists (the client may free or change its lists as soon as LinkValue returns), each an IndexList
// whose pointers point into storage that the link owns, so it can be handed to the bit-data
// library as it is.
#ifndef OPERATION_RECEIPT_VALUE_LINK_H_
#define OPERATION_RECEIPT_VALUE_LINK_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "OperationReceipt.h"

namespace operation_receipt {

// A deep copy of a client's IndexList. Only the begin and end pointers of the client's arrays
// are read, and nothing outside them. A null list, and a list whose count is 0, copy as "no
// list" (count 0, no elements): the whole value.
class OwnedIndexList {
 public:
  // The most elements, and the most values over all elements, that one list may hold; a longer
  // list is malformed (no value of that size could be built from it anyway).
  static constexpr uint64_t kMaxCopiedItems = uint64_t{1} << 24;

  OwnedIndexList() = default;
  explicit OwnedIndexList(const IndexList* list);
  OwnedIndexList(const OwnedIndexList&) = delete;
  OwnedIndexList& operator=(const OwnedIndexList&) = delete;

  uint64_t count() const { return view_.count; }
  const IndexList* view() const { return &view_; }

  // Whether the list is one the bit-data library can use: every run has a start and a length,
  // no run wraps past 2^64 - 1 or goes below 0, and `count` equals the number of positions the
  // elements name. A list of count 0 is "no list" and always well formed.
  bool IsWellFormed() const { return wellFormed_; }

  // The highest position the list names, and whether it names any. A run reaches
  // start + length - 1 when ascending, its start otherwise. Saturates instead of wrapping, so a
  // run past 2^64 reports 2^64 - 1 (the bit-data library refuses such a run).
  bool HighestPosition(uint64_t* highest) const;

 private:
  uint64_t CountPositions() const;
  void Clear();

  std::vector<std::vector<uint64_t>> values_;
  std::vector<IndexRun> runs_;
  IndexList view_{nullptr, nullptr, nullptr, 0};
  bool wellFormed_ = true;
};

// The two lists of a link. Shared and immutable once made, so that copying a ValueLink out of a
// record (to apply it without holding the record's address) costs no deep copy.
struct LinkIndexLists {
  LinkIndexLists(const IndexList* destination, const IndexList* source)
      : destinationIndices(destination), sourceIndices(source) {}
  OwnedIndexList destinationIndices;
  OwnedIndexList sourceIndices;
};

struct ValueLink {
  uint64_t sourceToken = 0;
  std::shared_ptr<const LinkIndexLists> lists;
};

// A record's links, in the order they were added. Most operations never have one, so the list
// costs a record one pointer until its first link.
class LinkList {
 public:
  bool empty() const { return links_ == nullptr || links_->empty(); }
  size_t size() const { return links_ == nullptr ? 0 : links_->size(); }
  const ValueLink& operator[](size_t position) const { return (*links_)[position]; }

  void push_back(ValueLink link) {
    if (links_ == nullptr) links_ = std::make_unique<std::vector<ValueLink>>();
    links_->push_back(std::move(link));
  }

  // Takes every link out, leaving the list empty and without storage.
  std::vector<ValueLink> TakeAll() {
    std::vector<ValueLink> links;
    if (links_ != nullptr) links.swap(*links_);
    links_.reset();
    return links;
  }

 private:
  std::unique_ptr<std::vector<ValueLink>> links_;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_VALUE_LINK_H_
