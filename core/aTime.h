// Time: the monotonic clock for every wait, deadline, time-out and pacing interval, the wall
// clock for times that are shown or stored, and sleeps.
#ifndef SX_ATIME_H
#define SX_ATIME_H

#include <cstdint>
#include <ctime>
#include "aDefs.h"

// Milliseconds of the wall clock; 0 when the clock cannot be read. Only for times that are shown
// or stored: the wall clock may be set forwards or backwards at any moment.
uint64_t aTime_GetMSTicks(void);

// Microseconds and milliseconds of the monotonic clock (CLOCK_MONOTONIC), which setting the wall
// clock does not move. Deadlines are computed from these.
uint64_t aTime_MonoUS(void);
uint64_t aTime_MonoMS(void);
// A monotonic time (microseconds) as a timespec, for absolute waits on CLOCK_MONOTONIC
// (clock_nanosleep, condition variables made with that clock).
struct timespec aTime_MonoTimespec(uint64_t monoUs);
// Sleeps until the monotonic clock reaches monoUs (returns at once when it has).
void aTime_SleepUntilUS(uint64_t monoUs);

// Sleeps the given milliseconds, in steps of at most 999999 microseconds.
aErr aTime_MSSleep(uint64_t ms);

#endif
