#include "FindAgain.h"

#include "Log.h"
#include "aTime.h"

using Vantorix::Strandix::Module;

namespace {

aErr sAttempt(Module& module, const FindAttempt& attempt)
{
    switch (attempt.how) {
    case FindHow::KNOWN_LINK: return module.reconnect();
    case FindHow::CONNECT: return module.connect(attempt.transport, attempt.serial_number);
    case FindHow::DISCOVER: return module.discoverAndConnect(attempt.transport, attempt.serial_number);
    }
    return aErrParam;
}

}  // namespace

aErr FindDeviceAgain(Module& module, const std::vector<FindAttempt>& attempts, int rounds, uint32_t pauseMs,
                     uint64_t deadlineMs)
{
    aErr err = deadlineMs != 0 ? aErrTimeout : aErrNotFound;
    module.disconnect();
    for (int round = 1; round <= rounds; round++) {
        if (deadlineMs != 0 && aTime_MonoMS() >= deadlineMs)
            break;
        for (const FindAttempt& attempt : attempts) {
            Log::log(DEBUG_Network, "NETWORK: seeking device %08X again, round %d of %d\n", attempt.serial_number,
                     round, rounds);
            err = sAttempt(module, attempt);
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
