// The system's millisecond clock.
#pragma once

#include "platform/KvoTypes.h"

extern "C" {

// Milliseconds of the monotonic clock (never set back), wrapping to 0 after 2^32 - 1, so only
// differences between two readings are meaningful.
KVO_API DWORD GetTickCount();

} // extern "C"
