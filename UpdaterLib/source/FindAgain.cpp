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

aErr FindDeviceAgain(Module& module, const std::vector<FindAttempt>& attempts, int rounds, uint32_t pauseMs)
{
    aErr err = aErrNotFound;
    module.disconnect();
    for (int round = 1; round <= rounds; round++) {
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
        if (round < rounds)
            aTime_MSSleep(pauseMs);
    }
    return err;
}
