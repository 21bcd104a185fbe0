// The Windows containment's decision, apart from its mechanism, for tests.
#pragma once

#include "platform/win32.h"

namespace vur::contained {

// Whether a handler contains the exception `record`: a memory or integer
// fault, raised at an address outside [own_begin, own_end), neither being
// unwound nor declared non-continuable.
bool IsContainedFault(const EXCEPTION_RECORD& record, const void* own_begin, const void* own_end);

// The address range of our own image.
void OwnImage(const void** begin, const void** end);

}  // namespace vur::contained
