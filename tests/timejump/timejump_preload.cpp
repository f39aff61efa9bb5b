// Preloaded into a test program: a wall clock that can be set while the program runs, as an
// administrator or NTP would. timejump_step(seconds) moves CLOCK_REALTIME (and gettimeofday and
// time) by that many seconds, forwards or backwards; the monotonic clock is left alone.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <dlfcn.h>
#include <sys/time.h>

namespace {

typedef int (*ClockGettime)(clockid_t, struct timespec*);

std::atomic<long long> sOffsetSeconds{0};

ClockGettime sReal()
{
    static ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

}  // namespace

extern "C" void timejump_step(long long seconds)
{
    sOffsetSeconds.fetch_add(seconds);
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* ts)
{
    int rc = sReal()(clock, ts);
    if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        ts->tv_sec += (time_t)sOffsetSeconds.load();
    return rc;
}

extern "C" int gettimeofday(struct timeval* tv, void*)
{
    struct timespec ts;
    int rc = clock_gettime(CLOCK_REALTIME, &ts);
    if (rc == 0) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
    }
    return rc;
}

extern "C" time_t time(time_t* out)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out)
        *out = ts.tv_sec;
    return ts.tv_sec;
}
