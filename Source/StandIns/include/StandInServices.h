/* StandInServices.h
 *
 * Stand-in implementations of the framework services the operation-receipt component calls
 * (error service, logging service, event broker, common service), built as libQuorvelServices.
 * A test host or benchmark links this library instead of the real framework; the functions below
 * prefixed StandIn_ are the host's side: they inspect what the component did and rig what the
 * services will answer.
 *
 * Every function may be called from any thread at any time, and none crashes on null pointers or
 * out-of-range indices: those are refused with a non-zero result, 0 or "". Nothing in the library
 * runs at load time, so a host may interpose any service function with its own definition.
 *
 * Per-thread state (error posts and contexts, the logging nesting depth, the client id) belongs
 * to the calling thread; everything else is process-wide.
 */
#ifndef STAND_IN_SERVICES_H_
#define STAND_IN_SERVICES_H_

#include <stddef.h>
#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "services/CommonService.h"
#include "services/ErrorService.h"
#include "services/EventBroker.h"
#include "services/LoggingService.h"

#if defined(_WIN32)
#define STANDIN_API __declspec(dllexport)
#else
#define STANDIN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define STANDIN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define STANDIN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results ------------------------------------------------------------------------------- */

/* The services' own non-zero results. A null pointer is reported with the framework-wide code
 * (the same value as OR_NULL_POINTER). */
#define STANDIN_OK ((uint32_t)0u)
#define STANDIN_E_NULL_POINTER ((uint32_t)0x20000u)
#define STANDIN_E_NOT_FOUND ((uint32_t)0x7F000001u)    /* unknown handle, subscription, ... */
#define STANDIN_E_NO_VALUE ((uint32_t)0x7F000002u)     /* a context without error, no client id */
#define STANDIN_E_OUT_OF_MEMORY ((uint32_t)0x7F000003u)
#define STANDIN_E_WRONG_THREAD ((uint32_t)0x7F000004u) /* the delivery thread waiting on itself */

/* What the version queries of the broker and the common service return: major << 16 | minor. */
#define STANDIN_SERVICES_VERSION ((uint32_t)0x00010000u)

/* ---- Error service ------------------------------------------------------------------------- */

/* How the service's own calls answer. Context handles are unique in the process and never 0
 * (0 is returned only when no context could be opened); the context kind is not used. A post
 * with a non-zero code gives its code and message to every context open on the posting thread
 * that has no error yet; posts with code 0 are logged but reach no context. For a context that
 * has an error, GetErrorMessageSize writes the message length + 1 and returns 0; otherwise it
 * writes 0 and returns STANDIN_E_NO_VALUE, or STANDIN_E_NOT_FOUND when the handle names no
 * context open on the calling thread. GetErrorMessage copies at most size - 1 characters and a
 * terminating zero ("" when there is no error), writes nothing for a NULL buffer or size 0, and
 * returns 0 only when it copied an error's message. A NULL message or file in a post is "". */

/* Each thread keeps its last STANDIN_ERROR_POSTS_KEPT posts; older ones are dropped but still
 * counted by StandIn_ErrorTotalPostCount. */
#define STANDIN_ERROR_POSTS_KEPT 4096u

/* Posts kept on the calling thread. */
STANDIN_API uint32_t StandIn_ErrorPostCount(void);
/* Posts made on the calling thread since its last StandIn_ErrorClearPosts, dropped ones included. */
STANDIN_API uint64_t StandIn_ErrorTotalPostCount(void);
/* The kept post `index` of the calling thread, 0 being the oldest kept. Out of range: 0 or "".
 * The texts stay valid until that post is dropped or the thread's posts are cleared. */
STANDIN_API uint32_t StandIn_ErrorPostCode(uint32_t index);
STANDIN_API const char* StandIn_ErrorPostMessage(uint32_t index);
STANDIN_API const char* StandIn_ErrorPostFile(uint32_t index);
STANDIN_API uint32_t StandIn_ErrorPostLine(uint32_t index);
/* Forgets the calling thread's posts and resets its total. Open contexts are not affected. */
STANDIN_API void StandIn_ErrorClearPosts(void);
/* True when `code` has a category; writes it to `*category` when that is not NULL. */
STANDIN_API bool StandIn_ErrorGetCategory(uint32_t code, uint32_t* category);
/* Error contexts open on the calling thread. */
STANDIN_API uint32_t StandIn_ErrorOpenContextCount(void);

/* ---- Logging service ----------------------------------------------------------------------- */

/* Receives every line handed to Quorvel_LoggingLog, on the logging thread. `depth` is the
 * thread's nesting depth the line is shown at: a line with delta +1 is shown at the depth before
 * it opens its level, a line with delta -1 at the depth after it closed its level. */
typedef void (*StandInLogSink)(void* context, uint32_t level, const char* text,
                               int32_t nestingDelta, int32_t depth);

/* Levels are bits of a process-wide mask (bit n enables level n; levels from 32 up are never
 * enabled). Until the host sets it, the mask comes from the environment variable
 * QUORVEL_LOG_LEVELS, read on first use: "0,1,3" enables those levels, "all" every level,
 * "none", empty or unset none. Quorvel_LoggingLog does not filter: lines handed to it are
 * passed on whatever the mask, so a test can see a caller that writes without asking. */
STANDIN_API void StandIn_LoggingSetEnabledLevels(uint32_t mask);
STANDIN_API uint32_t StandIn_LoggingGetEnabledLevels(void);
/* What Quorvel_LoggingIsLoggingSuppressed answers; false at start. */
STANDIN_API void StandIn_LoggingSetSuppressed(bool suppressed);

/* Routes lines to `sink` with `context`; NULL restores the default sink, which writes each line
 * to stderr indented by two spaces per depth and prefixed "[L<level>] ". */
STANDIN_API void StandIn_LoggingSetSink(StandInLogSink sink, void* context);
/* A sink that drops every line, for hosts that only want the recording. */
STANDIN_API void StandIn_LoggingDiscardSink(void* context, uint32_t level, const char* text,
                                            int32_t nestingDelta, int32_t depth);

/* Recording keeps a copy of every line from every thread, in addition to the sink, while it is
 * on. Recorded texts stay valid until StandIn_LoggingClearRecorded. Out of range: 0 or "". */
STANDIN_API void StandIn_LoggingStartRecording(void);
STANDIN_API void StandIn_LoggingStopRecording(void);
STANDIN_API void StandIn_LoggingClearRecorded(void);
STANDIN_API uint64_t StandIn_LoggingRecordedCount(void);
STANDIN_API const char* StandIn_LoggingRecordedText(uint64_t index);
STANDIN_API uint32_t StandIn_LoggingRecordedLevel(uint64_t index);
STANDIN_API int32_t StandIn_LoggingRecordedDelta(uint64_t index);
/* The handle the line was logged on; Quorvel_LoggingGetLogger(id) is (uint64_t)(uint32_t)id + 1,
 * so a host can tell loggers apart without calling the service. */
STANDIN_API LoggerHandle StandIn_LoggingRecordedLogger(uint64_t index);

/* Calls made to each service function since the last reset, across all threads. */
enum StandInLoggingCall {
  StandInLogging_GetLogger = 0,
  StandInLogging_IsLogEnabled = 1,
  StandInLogging_IsLoggingSuppressed = 2,
  StandInLogging_Log = 3
};
/* `which` is a StandInLoggingCall; any other value gives 0. */
STANDIN_API uint64_t StandIn_LoggingCallCount(uint32_t which);
STANDIN_API void StandIn_LoggingResetCounters(void);

/* ---- Event broker -------------------------------------------------------------------------- */

/* The real types of the broker's own table entries (the table stores them as opaque entries). */
typedef uint32_t (*StandInEventPublishEntry)(const char* category, const char* eventName,
                                             const void* eventData); /* entry 0 */
typedef uint32_t (*StandInEventSubscriberCountEntry)(const char* category); /* entry 1 */
typedef uint32_t (*StandInVersionEntry)(void); /* broker entry 3, common service entry 0 */

/* Delivers an event synchronously on the calling thread to each subscriber of `category`, in
 * subscription order, passing the subscription's context as the handler's first argument. The
 * subscriber list is not locked while handlers run, so a handler may subscribe, unsubscribe or
 * publish; a subscription removed during delivery is not called afterwards. `eventName` NULL is
 * passed as "". `category` NULL: STANDIN_E_NULL_POINTER. Exceptions from handlers pass through. */
STANDIN_API uint32_t StandIn_PublishEvent(const char* category, const char* eventName,
                                          const void* eventData);

/* The data of "Client" events: the client id sits at bytes 4 to 7, where subscribers read it. */
#define STANDIN_CLIENT_EVENT_DISCONNECTED 1
typedef struct StandInClientEventData {
  int32_t kind; /* STANDIN_CLIENT_EVENT_DISCONNECTED */
  int32_t clientId;
} StandInClientEventData;
STANDIN_STATIC_ASSERT(offsetof(StandInClientEventData, clientId) == 4, "client id at byte 4");
STANDIN_STATIC_ASSERT(sizeof(StandInClientEventData) == 8, "client event data is 8 bytes");

/* Publishes category "Client", event "Disconnected" with a StandInClientEventData. */
STANDIN_API uint32_t StandIn_PublishClientDisconnected(int32_t clientId);
/* Subscriptions to `category`; 0 for NULL. */
STANDIN_API uint32_t StandIn_EventSubscriberCount(const char* category);

/* Copies the event (and `dataSize` bytes of `eventData`; NULL with size 0 delivers NULL) and
 * queues it for the broker's delivery thread, started on first use. Events are delivered in
 * queue order as StandIn_PublishEvent would, but on that thread; exceptions from handlers are
 * dropped there. */
STANDIN_API uint32_t StandIn_PublishEventAsync(const char* category, const char* eventName,
                                               const void* eventData, size_t dataSize);
/* Blocks until every event queued so far has been delivered. From a handler running on the
 * delivery thread it would wait forever, so there it returns STANDIN_E_WRONG_THREAD at once. */
STANDIN_API uint32_t StandIn_EventFlushAsync(void);
/* Delivers what is queued, then ends and joins the delivery thread; a later async publish starts
 * a new one. Does nothing when no thread runs. Hosts call it before exit: a thread left running
 * is never destroyed (so exit does not abort) but may still be delivering while the process
 * tears down. From the delivery thread itself: STANDIN_E_WRONG_THREAD. */
STANDIN_API uint32_t StandIn_EventStopDeliveryThread(void);

/* ---- Common service ------------------------------------------------------------------------ */

/* The calling thread's client id, as GetClientId reports it. Threads start with none, and then
 * GetClientId writes nothing and returns STANDIN_E_NO_VALUE. */
STANDIN_API void StandIn_CommonSetClientId(int32_t clientId);
STANDIN_API void StandIn_CommonClearClientId(void);
/* Calls of the table's GetClientId entry, across all threads. */
STANDIN_API uint64_t StandIn_CommonGetClientIdCallCount(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* STAND_IN_SERVICES_H_ */
