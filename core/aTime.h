// Millisecond wall-clock ticks and sleeps.
#ifndef SX_ATIME_H
#define SX_ATIME_H

#include <cstdint>
#include "aDefs.h"

// Milliseconds of the wall clock; 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks(void);
// Sleeps the given milliseconds, in steps of at most 999999 microseconds.
aErr aTime_MSSleep(uint64_t ms);

#endif
