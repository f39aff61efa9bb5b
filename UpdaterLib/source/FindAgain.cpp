#include "FindAgain.h"

#include <cstdlib>

#include "Log.h"
#include "aDiscovery.h"
#include "aTime.h"

using Vantorix::Strandix::Module;

namespace {

// A discovery over the attempt's transport for the first device with its serial number that
// the filter accepts.
struct FilteredSearch {
    uint32_t serial_number;
    const FindFilter* accept;
    bool found = false;
    linkSpec spec{};
};

bool sAccepted(const linkSpec* spec, bool* countIt, void* ref)
{
    FilteredSearch* search = static_cast<FilteredSearch*>(ref);
    if (spec->serial_number != search->serial_number || !(*search->accept)(*spec))
        return true;
    search->found = true;
    search->spec = *spec;
    *countIt = true;
    return false;
}

aErr sAttempt(Module& module, const FindAttempt& attempt, const FindFilter& accept)
{
    if (attempt.how == FindHow::DISCOVER && accept) {
        FilteredSearch search{attempt.serial_number, &accept};
        aDiscovery_EnumerateModules(attempt.transport, sAccepted, &search);
        return search.found ? module.connectFromSpec(search.spec) : aErrNotFound;
    }
    aErr err = aErrParam;
    switch (attempt.how) {
    case FindHow::KNOWN_LINK: err = module.reconnect(); break;
    case FindHow::CONNECT: err = module.connect(attempt.transport, attempt.serial_number); break;
    case FindHow::DISCOVER: err = module.discoverAndConnect(attempt.transport, attempt.serial_number); break;
    }
    linkSpec reached{};
    if (err == aErrNone && accept && (module.getLinkSpecifier(&reached) != aErrNone || !accept(reached)))
        err = aErrNotFound;
    return err;
}

}  // namespace

aErr FindDeviceAgain(Module& module, const std::vector<FindAttempt>& attempts, int rounds, uint32_t pauseMs,
                     uint64_t deadlineMs, const FindFilter& accept)
{
    aErr err = deadlineMs != 0 ? aErrTimeout : aErrNotFound;
    module.disconnect();
    for (int round = 1; round <= rounds; round++) {
        if (deadlineMs != 0 && aTime_MonoMS() >= deadlineMs)
            break;
        for (const FindAttempt& attempt : attempts) {
            Log::log(DEBUG_Network, "NETWORK: seeking device %08X again, round %d of %d\n", attempt.serial_number,
                     round, rounds);
            err = sAttempt(module, attempt, accept);
            if (err == aErrNone && module.isConnected())
                return aErrNone;
            if (err == aErrNone)
                err = aErrConnection;
            module.disconnect();
        }
        if (round < rounds) {
            uint32_t pause = pauseMs;
            if (deadlineMs != 0) {
                const uint64_t now = aTime_MonoMS();
                if (now >= deadlineMs)
                    break;
                if (deadlineMs - now < pause)
                    pause = (uint32_t)(deadlineMs - now);
            }
            aTime_MSSleep(pause);
        }
    }
    return err;
}

const char* const kRestartWaitVariable = "UPDATER_RESTART_WAIT";

bool ParseRestartWait(const char* text, uint32_t* seconds)
{
    if (text == nullptr || *text == '\0')
        return false;
    uint32_t value = 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (uint32_t)(*p - '0');
        if (value > 3600)
            return false;
    }
    if (value == 0)
        return false;
    *seconds = value;
    return true;
}

uint32_t RestartWaitFromEnvironment()
{
    uint32_t seconds = 0;
    return ParseRestartWait(getenv(kRestartWaitVariable), &seconds) ? seconds : 0;
}

uint64_t RestartDeadline(uint32_t seconds)
{
    return seconds == 0 ? 0 : aTime_MonoMS() + (uint64_t)seconds * 1000;
}
