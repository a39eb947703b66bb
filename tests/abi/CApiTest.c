/* CApiTest.c
 *
 * A client written in C: the public header compiles as C, and one operation goes through its
 * whole life by the table. Exits 0 when every check holds. */

#include <stdio.h>

#include "OperationReceipt.h"

static int failures = 0;

#define CHECK(condition) \
  if (!(condition)) fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), ++failures

static int executed = 0;
static int destroyed = 0;

static uint32_t Execute(uint64_t token, void* context) {
  (void)token;
  ++*(int*)context;
  return 0;
}

static void Destroy(void* context) { (void)context; ++destroyed; }

int main(void) {
  const OperationReceiptComponent* table = NULL;
  OperationDescriptor descriptor = {0};
  uint64_t token = 0;
  uint32_t state = 99;
  uint32_t code = 99;
  bool immediate = true;

  CHECK(Quorvel_GetOperationReceipt(&table) == OR_NO_ERROR);
  CHECK(table != NULL);
  if (table == NULL) return 1;
  CHECK(table->ReleaseOperation == table->ReleaseOperation2);

  descriptor.name = "FromC";
  descriptor.executeCallback = Execute;
  descriptor.context = &executed;
  descriptor.destroyCallback = Destroy;
  CHECK(table->CreateOperation(&descriptor, &token) == OR_NO_ERROR);
  CHECK(token != 0);
  CHECK(table->GetOperationState(token, &state) == OR_NO_ERROR);
  CHECK(state == OperationState_Pending);
  CHECK(table->GetErrorCode(token, &code) == OR_NO_ERROR); /* flushes on demand */
  CHECK(code == 0);
  CHECK(executed == 1);
  CHECK(table->IsImmediateMode(&immediate) == OR_NO_ERROR);
  CHECK(!immediate);
  CHECK(table->ReleaseOperation(token) == OR_NO_ERROR);
  CHECK(destroyed == 1);
  CHECK(table->ReleaseOperation(token) == OR_INVALID_OPERATION_TOKEN);

  if (failures == 0) printf("C client: 1 passed, 0 failed\n");
  return failures == 0 ? 0 : 1;
}
