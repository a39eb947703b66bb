/* OperationReceipt.h
 *
 * The public C interface of the operation-receipt component.
 *
 * A client calls Quorvel_GetOperationReceipt() once and keeps the table it hands out. Through the
 * table the client creates operations (units of work described by an OperationDescriptor), which
 * are buffered per thread and executed oldest first when the thread flushes; it then reads each
 * operation's state, value, error code and message by the 64-bit token it got at creation, and
 * releases the operation when done. Reading a value, code or message flushes the calling thread's
 * buffer on demand.
 *
 * Every entry returns an ErrorCode: 0 on success, one of the codes below, or a code passed on
 * unchanged from a client callback or from an operation's own error. Failures are also posted to
 * the framework's error service. No entry throws on its own, and none catches: an exception thrown
 * by a client callback passes through to the caller.
 *
 * Binary interface (x86-64, little-endian): the layouts below are fixed and checked by static
 * assertions. The order of the table entries is part of the interface and never changes.
 */
#ifndef OPERATION_RECEIPT_H_
#define OPERATION_RECEIPT_H_

#include <stddef.h>
#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------------------------ */

typedef uint32_t ErrorCode;

#define OR_NO_ERROR ((ErrorCode)0u)
/* A pointer argument that must not be null was null. A framework-wide code. */
#define OR_NULL_POINTER ((ErrorCode)0x20000u)
/* The token names no live operation, or (for flush and cancel) not one of the calling thread's. */
#define OR_INVALID_OPERATION_TOKEN ((ErrorCode)0x50000u)
/* A value was read from an operation that has none. */
#define OR_OPERATION_HAS_NO_VALUE ((ErrorCode)0x50001u)
/* A cancel named an operation that has already executed successfully. */
#define OR_OPERATION_ALREADY_EXECUTED ((ErrorCode)0x50002u)
/* Registered with its default message for the framework; never returned by this component. */
#define OR_SCOPE_NOT_OPENED ((ErrorCode)0x50003u)

/* ---- Operations ---------------------------------------------------------------------------- */

/* The receipt of one operation: issued as 1, 2, 3, ... and never 0 or twice in a process. */
typedef uint64_t OperationToken;

/* The state of an operation, as GetOperationState reports it. */
typedef enum OperationState {
  OperationState_Pending = 0,   /* created, not yet executed */
  OperationState_Executing = 1, /* its execute callback is running (or left by an exception) */
  OperationState_Executed = 2,  /* executed without error */
  OperationState_Canceled = 3,  /* withdrawn by CancelOperation before execution */
  OperationState_Failed = 4     /* executed, or skipped in a failed flush, with a non-zero code */
} OperationState;

/* The framework's bit buffer. Its first field is its length in bits (uint64_t); everything
 * else belongs to the bit-data library. Managed buffers are freed with BitData_FreeManaged. */
typedef struct BitData BitData;

/* Does the operation's work. Runs on the flushing (or, in immediate mode, the creating) thread
 * without the component's lock held, so it may call any entry of the table. A non-zero result
 * fails the operation. */
typedef uint32_t (*OperationExecuteCallback)(uint64_t token, void* context);

/* Told of every value installed in the operation (SetValue, or the value built from links).
 * Runs with the component's lock held; it may call the table again on the same thread, while
 * other threads wait. A non-zero result is returned by the entry that installed the value; the
 * value stays installed. */
typedef uint32_t (*OperationValueCallback)(uint64_t token, void* context, BitData* value);

/* Called once when the operation is destroyed, if both it and the context are non-null.
 * Runs with the component's lock held; it may call the table again on the same thread. */
typedef void (*OperationDestroyCallback)(void* context);

/* What a client passes to CreateOperation; the component copies it, so it may be reused or
 * freed when CreateOperation returns. The name is not copied and must outlive the operation. */
typedef struct OperationDescriptor {
  const char* name;                         /* trace name; NULL shows as "<unknown>" */
  OperationExecuteCallback executeCallback; /* may be NULL: the operation then just completes */
  OperationValueCallback valueCallback;     /* may be NULL */
  void* context;                            /* passed to the three callbacks, not owned */
  OperationDestroyCallback destroyCallback; /* may be NULL */
  uint8_t hasValue;                         /* non-zero: the operation is to have a value */
  uint8_t reserved1[3];                     /* not read */
  uint8_t alwaysExecute;                    /* non-zero: executed even after an earlier failure */
  uint8_t reserved2[3];                     /* not read */
} OperationDescriptor;

/* Runs at the end of every flush, on the flushing thread, without the component's lock held
 * (unless the flush was reached from a value resolution). Its non-zero result is the flush's. */
typedef uint32_t (*PostFlushCallback)(void);

/* ---- Index lists (the bit-data library's description of a set of bit positions) ------------- */

/* One element of an IndexList. Only the begin and end pointers of `values` are read. */
typedef struct IndexRun {
  uint8_t isRange;   /* 0: values are positions one by one; else values[0] start, values[1] length */
  uint8_t ascending; /* for a run: non-zero rises from start; zero means start is the highest */
  uint8_t reserved[6];
  const uint64_t* valuesBegin;
  const uint64_t* valuesEnd;
  const uint64_t* valuesCapacityEnd; /* not read */
} IndexRun;

/* A set of bit positions. A count of 0 means "no list": the whole value, whatever the elements
 * hold. Only the begin and end pointers of `elements` are read, so a C client can fill them. */
typedef struct IndexList {
  const IndexRun* elementsBegin;
  const IndexRun* elementsEnd;
  const IndexRun* elementsCapacityEnd; /* not read */
  uint64_t count;                      /* number of bit positions the elements name */
} IndexList;

/* ---- The function table ------------------------------------------------------------------- */

/* Unless an entry says otherwise: `token` may be any value, and one that names no live
 * operation returns OR_INVALID_OPERATION_TOKEN (posted); out-parameters are written only on
 * success. "Posted" means the failure is also reported to the framework's error service. */
typedef struct OperationReceiptComponent {
  /* 0. Creates an operation from `descriptor` (NULL: an unnamed operation without callbacks) and
   * writes its token to `*token` (NULL: the caller keeps no reference). Outside a flush the
   * operation is buffered on the calling thread; inside one (immediate mode) it executes at once
   * and the result is its execution's code. The token is written even when that code is an
   * error. Returns 0, the execution's code, or OR_INVALID_OPERATION_TOKEN. */
  uint32_t (*CreateOperation)(const OperationDescriptor* descriptor, uint64_t* token);

  /* 1. Drops one reference; the last one destroys the operation (destroy callback, value freed).
   * Token 0 is accepted and does nothing. Returns 0 or OR_INVALID_OPERATION_TOKEN. */
  uint32_t (*ReleaseOperation)(uint64_t token);

  /* 2. Makes sure one of the calling thread's operations has executed and its value is built:
   * flushes the thread's whole buffer if the operation is still pending. Returns the flush's
   * result, the value callback's, or OR_INVALID_OPERATION_TOKEN (also for another thread's). */
  uint32_t (*FlushOperation)(uint64_t token);

  /* 3. Executes the calling thread's buffered operations oldest first. After the first failure
   * the rest are marked failed with its code and message, unless created with alwaysExecute.
   * Returns the post-flush callback's non-zero code, else the first failure's code, else 0. */
  uint32_t (*Flush)(void);

  /* 4. Cancels the named buffered operation and every operation buffered before it on the
   * calling thread. Returns 0 (also for one already Failed, Canceled or Executing),
   * OR_OPERATION_ALREADY_EXECUTED (posted), or OR_INVALID_OPERATION_TOKEN. */
  uint32_t (*CancelOperation)(uint64_t token);

  /* 5. Copies the operation's error message (empty when none) after flushing on demand: at most
   * bufferSize - 1 characters and a terminating zero into `buffer` (nothing when `buffer` is
   * NULL or bufferSize is 0), and the full length without terminator into `*messageSize` (when
   * not NULL). Both NULL: OR_NULL_POINTER, posted. */
  uint32_t (*GetErrorMessage)(uint64_t token, char* buffer, uint32_t bufferSize,
                              uint32_t* messageSize);

  /* 6. Reads the error code after flushing on demand. `errorCode` NULL: OR_NULL_POINTER, posted. */
  uint32_t (*GetErrorCode)(uint64_t token, uint32_t* errorCode);

  /* 7. Sets the error code (any value, 0 included) and, when `message` is not NULL, the message.
   * Changes neither state nor value and does not flush. */
  uint32_t (*SetError)(uint64_t token, uint32_t errorCode, const char* message);

  /* 8. Reads the state (an OperationState) without flushing. `state` NULL: OR_NULL_POINTER,
   * posted. */
  uint32_t (*GetOperationState)(uint64_t token, uint32_t* state);

  /* 9. Hands out an independent copy of the value after flushing on demand (NULL when the value
   * is announced but empty); the caller frees it with BitData_FreeManaged. On failure `*value`
   * is set to NULL. Returns 0, OR_OPERATION_HAS_NO_VALUE (posted), the flush's or value
   * callback's code, or OR_INVALID_OPERATION_TOKEN. `value` NULL: OR_NULL_POINTER, posted. */
  uint32_t (*GetValue)(uint64_t token, BitData** value);

  /* 10-13. Read the value's first N bits (N = 8, 16, 32, 64) as an unsigned number, zeros above
   * a shorter value. Same results as GetValue; `*value` is untouched on failure. */
  uint32_t (*GetValueUInt8)(uint64_t token, uint8_t* value);
  uint32_t (*GetValueUInt16)(uint64_t token, uint16_t* value);
  uint32_t (*GetValueUInt32)(uint64_t token, uint32_t* value);
  uint32_t (*GetValueUInt64)(uint64_t token, uint64_t* value);

  /* 14. Installs a managed value. The operation takes ownership as soon as the token is found,
   * whatever the value callback returns; when the token is not found the caller still owns it.
   * A pending size (SetValueSize) is applied first. Returns 0, the value callback's code, or
   * OR_INVALID_OPERATION_TOKEN. `value` NULL: OR_NULL_POINTER, posted. */
  uint32_t (*SetValue)(uint64_t token, BitData* value);

  /* 15. Announces a value of `bits` bits, or resizes the present value at once (without telling
   * the value callback). Values are at most 2^32 - 1 bits long while pending. */
  uint32_t (*SetValueSize)(uint64_t token, uint64_t bits);

  /* 16. Feeds bits of `source`'s value into `destination`'s value when the destination's value
   * is built: the bits at `sourceIndices` (NULL or count 0: all) go to `destinationIndices`
   * (NULL or count 0: positions 0 onward). The lists are copied. The link holds a reference on
   * the source until the destination's value is built or the destination is destroyed. */
  uint32_t (*LinkValue)(uint64_t destination, uint64_t source, const IndexList* destinationIndices,
                        const IndexList* sourceIndices);

  /* 17. Registers the process-wide post-flush callback, replacing any earlier one.
   * `callback` NULL: OR_NULL_POINTER without a post, and the earlier callback stays. */
  uint32_t (*SetPostFlushCallback)(PostFlushCallback callback);

  /* 18. Counts the pending operations created for client `setKey` (-1: created in immediate
   * mode). Does not flush. `count` NULL: OR_NULL_POINTER without a post. */
  uint32_t (*GetPendingOperationCount)(int32_t setKey, uint32_t* count);

  /* 19. Counts the operations of client `setKey` that are no longer pending. As entry 18. */
  uint32_t (*GetExecutedOperationCount)(int32_t setKey, uint32_t* count);

  /* 20. Adds one reference. Token 0 is accepted and does nothing. */
  uint32_t (*AcquireOperation)(uint64_t token);

  /* 21. The same function as entry 1. */
  uint32_t (*ReleaseOperation2)(uint64_t token);

  /* 22. Writes whether the calling thread is in immediate mode (inside a flush or a cancel).
   * `immediate` NULL: OR_NULL_POINTER, posted. */
  uint32_t (*IsImmediateMode)(bool* immediate);
} OperationReceiptComponent;

/* The component's one export. Stores the address of the one, constant table in `*component`
 * (the same address on every call) and returns 0; contacts no service and builds nothing.
 * `component` NULL: OR_NULL_POINTER, posted. */
#if defined(_WIN32)
#define OR_EXPORT __declspec(dllexport)
#else
#define OR_EXPORT __attribute__((visibility("default")))
#endif
OR_EXPORT uint32_t Quorvel_GetOperationReceipt(const OperationReceiptComponent** component);

/* ---- Layout checks ------------------------------------------------------------------------ */

#ifdef __cplusplus
#define OR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define OR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

OR_STATIC_ASSERT(sizeof(void*) == 8, "the binary interface is defined for 64-bit pointers");
OR_STATIC_ASSERT(sizeof(bool) == 1, "bool must be one byte");
OR_STATIC_ASSERT(sizeof(OperationDescriptor) == 48, "descriptor is 48 bytes");
OR_STATIC_ASSERT(offsetof(OperationDescriptor, name) == 0, "descriptor layout");
OR_STATIC_ASSERT(offsetof(OperationDescriptor, executeCallback) == 8, "descriptor layout");
OR_STATIC_ASSERT(offsetof(OperationDescriptor, valueCallback) == 16, "descriptor layout");
OR_STATIC_ASSERT(offsetof(OperationDescriptor, context) == 24, "descriptor layout");
OR_STATIC_ASSERT(offsetof(OperationDescriptor, destroyCallback) == 32, "descriptor layout");
OR_STATIC_ASSERT(offsetof(OperationDescriptor, hasValue) == 40, "descriptor layout");
OR_STATIC_ASSERT(offsetof(OperationDescriptor, alwaysExecute) == 44, "descriptor layout");
OR_STATIC_ASSERT(sizeof(IndexRun) == 32, "IndexRun is 32 bytes");
OR_STATIC_ASSERT(offsetof(IndexRun, ascending) == 1, "IndexRun layout");
OR_STATIC_ASSERT(offsetof(IndexRun, valuesBegin) == 8, "IndexRun layout");
OR_STATIC_ASSERT(offsetof(IndexRun, valuesEnd) == 16, "IndexRun layout");
OR_STATIC_ASSERT(sizeof(IndexList) == 32, "IndexList is 32 bytes");
OR_STATIC_ASSERT(offsetof(IndexList, elementsEnd) == 8, "IndexList layout");
OR_STATIC_ASSERT(offsetof(IndexList, count) == 24, "IndexList layout");
OR_STATIC_ASSERT(sizeof(OperationReceiptComponent) == 23 * sizeof(void*), "23 table entries");
OR_STATIC_ASSERT(offsetof(OperationReceiptComponent, ReleaseOperation2) == 21 * sizeof(void*),
                 "entry 21");
OR_STATIC_ASSERT(offsetof(OperationReceiptComponent, IsImmediateMode) == 22 * sizeof(void*),
                 "entry 22");

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* OPERATION_RECEIPT_H_ */
