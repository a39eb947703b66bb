// SharedText.h
//
// An immutable text shared by several records: a failed flush gives every operation it marks
// failed the one message it captured. It is one pointer wide (a shared_ptr is two), because
// every record in the pool carries one; the count is atomic because a flush holds a share of its
// captured message outside the pool lock.
#ifndef OPERATION_RECEIPT_SHARED_TEXT_H_
#define OPERATION_RECEIPT_SHARED_TEXT_H_

#include <atomic>
#include <string>
#include <utility>

namespace operation_receipt {

class SharedText {
 public:
  SharedText() = default;
  // A new text with one share. Allocates, and may throw std::bad_alloc.
  static SharedText Make(std::string text) {
    SharedText made;
    made.block_ = new Block{std::move(text)};
    return made;
  }

  SharedText(const SharedText& other) noexcept : block_(other.block_) { AddShare(); }
  SharedText(SharedText&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  SharedText& operator=(SharedText other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~SharedText() { reset(); }

  explicit operator bool() const { return block_ != nullptr; }
  const std::string& operator*() const { return block_->text; }
  const std::string* operator->() const { return &block_->text; }

  // Gives this share back; the text is freed with its last share. Never throws.
  void reset() noexcept {
    Block* block = std::exchange(block_, nullptr);
    if (block != nullptr && block->shares.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete block;
    }
  }

 private:
  struct Block {
    std::string text;
    std::atomic<long> shares{1};
  };

  void AddShare() noexcept {
    if (block_ != nullptr) block_->shares.fetch_add(1, std::memory_order_relaxed);
  }

  Block* block_ = nullptr;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_SHARED_TEXT_H_
