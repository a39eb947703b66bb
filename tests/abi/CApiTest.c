/* CApiTest.c
 *
 * A client written in C: the public header compiles as C, and one operation goes through its
 * whole life by the table. Exits 0 when every check holds. */

#include <stdio.h>

#include "OperationReceipt.h"

static int failures = 0;

#define CHECK(condition) \
  if (!(condition)) fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), ++failures

static int executed = 0, destroyed = 0;

static uint32_t Execute(uint64_t token, void* context) { return (void)token, ++*(int*)context, 0; }
static void Destroy(void* context) { (void)context, ++destroyed; }

int main(void) {
  const OperationReceiptComponent* table = NULL;
  OperationDescriptor descriptor = {0};
  uint64_t token = 0;
  uint32_t state = 99, code = 99;
  bool immediate = true;

  CHECK(Quorvel_GetOperationReceipt(&table) == OR_NO_ERROR);
  if (table == NULL) return 1;
  CHECK(table->ReleaseOperation == table->ReleaseOperation2);

  descriptor.name = "FromC";
  descriptor.executeCallback = Execute;
  descriptor.context = &executed;
  descriptor.destroyCallback = Destroy;
  CHECK(table->CreateOperation(&descriptor, &token) == OR_NO_ERROR && token != 0);
  CHECK(table->GetOperationState(token, &state) == OR_NO_ERROR && state == OperationState_Pending);
  /* reading the code flushes on demand */
  CHECK(table->GetErrorCode(token, &code) == OR_NO_ERROR && code == 0 && executed == 1);
  CHECK(table->IsImmediateMode(&immediate) == OR_NO_ERROR && !immediate);
  CHECK(table->ReleaseOperation(token) == OR_NO_ERROR && destroyed == 1);
  CHECK(table->ReleaseOperation(token) == OR_INVALID_OPERATION_TOKEN);

  if (failures == 0) printf("C client: 1 passed, 0 failed\n");
  return failures == 0 ? 0 : 1;
}
