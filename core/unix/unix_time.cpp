// Wall clock, monotonic clock and sleeps.
#include "aTime.h"

#include <cerrno>
#include <sys/time.h>
#include <unistd.h>

uint64_t aTime_GetMSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return 0;
    return (uint64_t)tv.tv_sec * 1000u + (uint64_t)tv.tv_usec / 1000u;
}

uint64_t aTime_MonoUS(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

uint64_t aTime_MonoMS(void)
{
    return aTime_MonoUS() / 1000u;
}

struct timespec aTime_MonoTimespec(uint64_t monoUs)
{
    struct timespec ts;
    ts.tv_sec = (time_t)(monoUs / 1000000u);
    ts.tv_nsec = (long)(monoUs % 1000000u) * 1000L;
    return ts;
}

void aTime_SleepUntilUS(uint64_t monoUs)
{
    struct timespec until = aTime_MonoTimespec(monoUs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

aErr aTime_MSSleep(uint64_t ms)
{
    uint64_t remaining = ms * 1000u;
    while (remaining > 0) {
        useconds_t step = remaining > 999999u ? 999999u : (useconds_t)remaining;
        usleep(step);
        remaining -= step;
    }
    return aErrNone;
}
