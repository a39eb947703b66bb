/* ErrorService.h
 *
 * The framework's error service, as the component calls it: default messages and categories of
 * result codes, posting errors, and per-thread error contexts that report the first error posted
 * on the thread since the context was entered. The host provides the implementation; these names
 * are resolved by the dynamic loader, so a host's own definitions take precedence.
 */
#ifndef OPERATION_RECEIPT_SERVICES_ERROR_SERVICE_H_
#define OPERATION_RECEIPT_SERVICES_ERROR_SERVICE_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An open error context, opaque to the component. */
typedef uint64_t ErrorContextHandle;

/* Registers the default message of `code`; the text is copied. Result not relied on. */
uint32_t Quorvel_ErrorSetDefaultMessage(uint32_t code, const char* message);

/* Files `code` under `category`. Result not relied on. */
uint32_t Quorvel_ErrorSetCategory(uint32_t code, uint32_t category);

/* Reports an error on the calling thread. `message` may be empty; `sourceFile` names the file
 * that detected it. Result not relied on. */
uint32_t Quorvel_ErrorPostError(uint32_t code, const char* message, const char* sourceFile,
                                uint32_t line);

/* Opens an error context on the calling thread (contexts nest). */
ErrorContextHandle Quorvel_ErrorEnterContex(int32_t kind);

/* The code of the error posted on this thread since `context` was entered; 0 when none. */
uint32_t Quorvel_ErrorGetErrorCode(ErrorContextHandle context);

/* Writes that error's message length plus its terminating zero to `*size`. */
uint32_t Quorvel_ErrorGetErrorMessageSize(ErrorContextHandle context, uint32_t* size);

/* Fills `buffer` (of `size` bytes) with that error's message and its terminating zero. */
uint32_t Quorvel_ErrorGetErrorMessage(ErrorContextHandle context, char* buffer, uint32_t size);

/* The default message of `code`; never NULL (empty for an unknown code). */
const char* Quorvel_ErrorGetDefaultMessage(uint32_t code);

/* Closes a context opened by Quorvel_ErrorEnterContex. Result not relied on. */
uint32_t Quorvel_ErrorExitContex(ErrorContextHandle context);

#ifdef __cplusplus
}
#endif

#endif /* OPERATION_RECEIPT_SERVICES_ERROR_SERVICE_H_ */
