// RingQueue.h
//
// A first-in, first-out queue on one power-of-two ring of storage that it keeps when emptied.
// The per-thread buffer and the pool's free-slot queue push and pop one element per operation;
// unlike a double-ended queue, which allocates and frees a block every few hundred elements,
// the ring allocates only when it outgrows its largest size so far.
#ifndef OPERATION_RECEIPT_RING_QUEUE_H_
#define OPERATION_RECEIPT_RING_QUEUE_H_

#include <cstddef>
#include <utility>
#include <vector>

namespace operation_receipt {

template <class T>
class RingQueue {
 public:
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  size_t capacity() const { return storage_.size(); }
  const T& front() const { return storage_[head_]; }

  void push_back(const T& value) {
    if (size_ == storage_.size()) Grow();
    storage_[(head_ + size_) & (storage_.size() - 1)] = value;
    ++size_;
  }

  void pop_front() {
    head_ = (head_ + 1) & (storage_.size() - 1);
    --size_;
  }

  // Makes room for `count` values, so that pushing up to that many never allocates.
  void Reserve(size_t count) {
    while (storage_.size() < count) Grow();
  }

  // Empties the queue and gives its storage back.
  void Release() {
    std::vector<T>().swap(storage_);
    head_ = 0;
    size_ = 0;
  }

 private:
  void Grow() {
    std::vector<T> grown(storage_.empty() ? 16 : storage_.size() * 2);
    for (size_t i = 0; i < size_; ++i) grown[i] = storage_[(head_ + i) & (storage_.size() - 1)];
    storage_.swap(grown);
    head_ = 0;
  }

  std::vector<T> storage_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_RING_QUEUE_H_
