// The six operations of clsMachine (platform/corvel/imachine_operations.h), one per file, each
// running inside the common frame.
#pragma once

#include "platform/corvel/corvel.h"

namespace operations {
#define VANTO_IMACHINE_OPERATION(number, name) \
  HRESULT name(IMachine* self, VANTO_IMACHINE_DECLARE(name), VARIANT_BOOL* result);
VANTO_IMACHINE_OPERATIONS(VANTO_IMACHINE_OPERATION)
#undef VANTO_IMACHINE_OPERATION
}  // namespace operations
