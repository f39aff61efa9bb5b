// Millisecond clock and sleeps.
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
