/* CommonService.h
 *
 * The framework's common service, as the component calls it: a table of function pointers of
 * which the component uses entry 1 (GetClientId), the calling thread's client id. Entry 0 belongs
 * to the service.
 */
#ifndef OPERATION_RECEIPT_SERVICES_COMMON_SERVICE_H_
#define OPERATION_RECEIPT_SERVICES_COMMON_SERVICE_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*CommonOpaqueEntry)(void);

typedef struct CommonInterface {
  CommonOpaqueEntry entry0;
  /* Writes the calling thread's client id; writes nothing when it has none. */
  uint32_t (*GetClientId)(int32_t* clientId);
} CommonInterface;

#ifdef __cplusplus
static_assert(offsetof(CommonInterface, GetClientId) == sizeof(void*), "entry 1");
#endif

/* Fills `*common` with the service's table; never a null table. */
uint32_t Quorvel_GetCommon(CommonInterface** common);

#ifdef __cplusplus
}
#endif

#endif /* OPERATION_RECEIPT_SERVICES_COMMON_SERVICE_H_ */
