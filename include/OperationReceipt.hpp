// OperationReceipt.hpp
//
// Header-only C++ helpers over the C table of OperationReceipt.h. They add no symbol to any
// library: everything here is inline and calls the table.
//
//   Client client = Client::FromLibrary();
//   {
//     ScopedBatch batch(client);                 // flushes when it ends
//     Created read = client.Create("ReadPc", [&](uint64_t token) { ...; return 0u; },
//                                  OperationOptions{/*hasValue=*/true});
//     ...
//   }
//   Result<uint32_t> pc = read.operation.ValueAs<uint32_t>();   // code and value together
//
// Operation is a move-only handle that owns one reference and releases it when it dies. A
// callable given to Client::Create lives in the operation's context and is destroyed by the
// operation's destroy callback, so it lives exactly as long as the operation. Exceptions thrown by
// the callable pass through the flush to the caller of Flush (the component catches nothing).
#ifndef OPERATION_RECEIPT_HPP_
#define OPERATION_RECEIPT_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "OperationReceipt.h"

namespace operation_receipt {

// A result code together with the value it qualifies; `value` is meaningful only when ok().
template <class T>
struct Result {
  ErrorCode code = OR_NO_ERROR;
  T value{};
  bool ok() const { return code == OR_NO_ERROR; }
};

// What a created operation asks for besides its work.
struct OperationOptions {
  bool hasValue = false;       // the operation is to have a value
  bool alwaysExecute = false;  // executed even after an earlier failure in its flush
};

// Owns one reference on an operation; releasing it is the destructor's job.
class Operation {
 public:
  Operation() = default;
  // Adopts a reference the caller already holds on `token`.
  Operation(const OperationReceiptComponent& table, uint64_t token) noexcept
      : table_(&table), token_(token) {}
  Operation(Operation&& other) noexcept : table_(other.table_), token_(other.Detach()) {}
  Operation& operator=(Operation&& other) noexcept {
    if (this != &other) {
      Reset();
      table_ = other.table_;
      token_ = other.Detach();
    }
    return *this;
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;
  ~Operation() { Reset(); }

  uint64_t token() const { return token_; }
  explicit operator bool() const { return token_ != 0; }

  // Gives up the reference without releasing it; the caller now owns it.
  uint64_t Detach() noexcept { return std::exchange(token_, 0); }
  // Releases the reference now; the handle becomes empty.
  ErrorCode Reset() noexcept {
    const uint64_t token = Detach();
    return token != 0 ? table_->ReleaseOperation(token) : OR_NO_ERROR;
  }
  // A second handle with a reference of its own.
  Result<Operation> Share() const {
    if (table_ == nullptr) return {kEmpty, Operation()};
    const ErrorCode code = table_->AcquireOperation(token_);
    if (code != OR_NO_ERROR) return {code, Operation()};
    return {code, Operation(*table_, token_)};
  }

  Result<uint32_t> State() const { return Read(&OperationReceiptComponent::GetOperationState); }
  Result<ErrorCode> Code() const { return Read(&OperationReceiptComponent::GetErrorCode); }
  Result<std::string> Message() const {
    Result<std::string> result;
    if (table_ == nullptr) return {OR_INVALID_OPERATION_TOKEN, {}};
    uint32_t size = 0;
    result.code = table_->GetErrorMessage(token_, nullptr, 0, &size);
    // Another thread may set a longer message between the two reads: read until it fits.
    while (result.ok()) {
      std::string text(static_cast<size_t>(size) + 1, '\0');
      const uint32_t capacity = size + 1;
      result.code = table_->GetErrorMessage(token_, &text[0], capacity, &size);
      if (result.ok() && size < capacity) {
        text.resize(size);
        result.value = std::move(text);
        break;
      }
    }
    return result;
  }
  // The value's first bits as an unsigned number of T's width (zeros above a shorter value).
  template <class T>
  Result<T> ValueAs() const {
    static_assert(std::is_same_v<T, uint8_t> || std::is_same_v<T, uint16_t> ||
                      std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>,
                  "ValueAs reads 8, 16, 32 or 64 bits");
    if constexpr (std::is_same_v<T, uint8_t>) return Read(&OperationReceiptComponent::GetValueUInt8);
    if constexpr (std::is_same_v<T, uint16_t>) {
      return Read(&OperationReceiptComponent::GetValueUInt16);
    }
    if constexpr (std::is_same_v<T, uint32_t>) {
      return Read(&OperationReceiptComponent::GetValueUInt32);
    }
    if constexpr (std::is_same_v<T, uint64_t>) {
      return Read(&OperationReceiptComponent::GetValueUInt64);
    }
  }

  // An empty handle answers every call with OR_INVALID_OPERATION_TOKEN.
  ErrorCode Flush() const { return table_ ? table_->FlushOperation(token_) : kEmpty; }
  ErrorCode Cancel() const { return table_ ? table_->CancelOperation(token_) : kEmpty; }
  ErrorCode SetError(ErrorCode code, const char* message = nullptr) const {
    return table_ ? table_->SetError(token_, code, message) : kEmpty;
  }
  ErrorCode SetValueSize(uint64_t bits) const {
    return table_ ? table_->SetValueSize(token_, bits) : kEmpty;
  }
  // Feeds bits of `source` into this operation's value when it is built.
  ErrorCode LinkFrom(const Operation& source, const IndexList* destinationIndices = nullptr,
                     const IndexList* sourceIndices = nullptr) const {
    return table_ ? table_->LinkValue(token_, source.token_, destinationIndices, sourceIndices)
                  : kEmpty;
  }

 private:
  static constexpr ErrorCode kEmpty = OR_INVALID_OPERATION_TOKEN;

  template <class T>
  Result<T> Read(uint32_t (*OperationReceiptComponent::*reader)(uint64_t, T*)) const {
    Result<T> result;
    result.code = table_ ? (table_->*reader)(token_, &result.value) : kEmpty;
    return result;
  }

  const OperationReceiptComponent* table_ = nullptr;
  uint64_t token_ = 0;
};

// The outcome of Client::Create: the operation exists (and `operation` owns it) even when `code`
// reports that its immediate execution failed.
struct Created {
  ErrorCode code = OR_NO_ERROR;
  Operation operation;
};

namespace detail {

// Runs a callable of the form uint32_t(uint64_t), uint32_t(), void(uint64_t) or void().
template <class Work>
uint32_t Invoke(Work& work, uint64_t token) {
  if constexpr (std::is_invocable_v<Work&, uint64_t>) {
    if constexpr (std::is_void_v<std::invoke_result_t<Work&, uint64_t>>) {
      work(token);
      return OR_NO_ERROR;
    } else {
      return static_cast<uint32_t>(work(token));
    }
  } else {
    if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
      work();
      return OR_NO_ERROR;
    } else {
      return static_cast<uint32_t>(work());
    }
  }
}

template <class Work>
uint32_t ExecuteCallable(uint64_t token, void* context) {
  return Invoke(*static_cast<Work*>(context), token);
}

template <class Work>
void DestroyCallable(void* context) {
  delete static_cast<Work*>(context);
}

}  // namespace detail

// The component's table, with creation from any callable.
class Client {
 public:
  explicit Client(const OperationReceiptComponent& table) : table_(&table) {}

  // The table of the loaded library. Throws nothing; a library that refuses leaves it null,
  // which valid() reports.
  static Client FromLibrary() {
    const OperationReceiptComponent* table = nullptr;
    Quorvel_GetOperationReceipt(&table);
    return Client(table);
  }

  bool valid() const { return table_ != nullptr; }
  const OperationReceiptComponent& table() const { return *table_; }

  // Creates an operation whose work is `work`, moved into the operation's context. `name` is
  // not copied and must outlive the operation (a string literal, typically).
  template <class Work>
  Created Create(const char* name, Work&& work, OperationOptions options = {}) const {
    using Stored = std::decay_t<Work>;
    auto stored = std::make_unique<Stored>(std::forward<Work>(work));
    OperationDescriptor descriptor{};
    descriptor.name = name;
    descriptor.executeCallback = &detail::ExecuteCallable<Stored>;
    descriptor.context = stored.get();
    descriptor.destroyCallback = &detail::DestroyCallable<Stored>;
    descriptor.hasValue = options.hasValue ? 1 : 0;
    descriptor.alwaysExecute = options.alwaysExecute ? 1 : 0;
    uint64_t token = 0;
    // From here the operation owns the callable: its destroy callback frees it.
    stored.release();
    const ErrorCode code = table_->CreateOperation(&descriptor, &token);
    return Created{code, Operation(*table_, token)};
  }

  // Creates an operation without work of its own (a value holder, a link destination).
  Created CreateEmpty(const char* name, OperationOptions options = {}) const {
    OperationDescriptor descriptor{};
    descriptor.name = name;
    descriptor.hasValue = options.hasValue ? 1 : 0;
    descriptor.alwaysExecute = options.alwaysExecute ? 1 : 0;
    uint64_t token = 0;
    const ErrorCode code = table_->CreateOperation(&descriptor, &token);
    return Created{code, Operation(*table_, token)};
  }

  ErrorCode Flush() const { return table_->Flush(); }

 private:
  explicit Client(const OperationReceiptComponent* table) : table_(table) {}

  const OperationReceiptComponent* table_;
};

// Flushes the calling thread's buffer when it ends, unless Finish() already did. Finish() gives
// the flush's result; the destructor drops it, since a destructor cannot report it. Work that
// may throw should be flushed with Finish(): an exception leaving the destructor ends the
// program.
class ScopedBatch {
 public:
  explicit ScopedBatch(const Client& client) : client_(client) {}
  ScopedBatch(const ScopedBatch&) = delete;
  ScopedBatch& operator=(const ScopedBatch&) = delete;
  ~ScopedBatch() {
    if (!finished_) (void)client_.Flush();
  }

  ErrorCode Finish() {
    finished_ = true;
    return client_.Flush();
  }

 private:
  const Client& client_;
  bool finished_ = false;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_HPP_
