#include "NetworkProbe.h"

#include <deque>

#include "Log.h"
#include "SystemClass.h"
#include "aLink.h"
#include "aTime.h"
#include "aUEI.h"

using Vantorix::Strandix::Link;

namespace {

// A reply (answer or error) to the serial-number query of any module address.
bool sProbeReply(const aPacket* packet, void*)
{
    if (!aVALIDPACKET(packet) || packet->address < NetworkProbe::FIRST_ADDRESS ||
        packet->address > NetworkProbe::LAST_ADDRESS || (packet->address & 1))
        return false;
    uei expected{};
    expected.module = packet->address;
    expected.command = Vantorix::Strandix::kCmdSystem;
    expected.option = Vantorix::Strandix::sysSerialNumber;
    expected.specifier = 0;
    return aUEI_Filter(packet, &expected);
}

struct Pending {
    uint8_t address;
    uint64_t sent;
};

}  // namespace

uint32_t NetworkProbe::WaitMs(uint32_t slowest_reply_ms)
{
    const uint64_t wait = (uint64_t)slowest_reply_ms * REPLY_MULTIPLE;
    if (wait < MIN_WAIT_MS)
        return MIN_WAIT_MS;
    return wait > MAX_WAIT_MS ? MAX_WAIT_MS : (uint32_t)wait;
}

std::vector<uint8_t> NetworkProbe::Probe(Link& link, uint32_t slowest_reply_ms, UpdaterDisplayInterface& display)
{
    std::vector<bool> answered(256, false);
    std::deque<Pending> pending;
    const unsigned total = (LAST_ADDRESS - FIRST_ADDRESS) / 2 + 1;
    unsigned settled = 0;
    unsigned next = FIRST_ADDRESS;
    display.display_progress(true);
    while (next <= LAST_ADDRESS || !pending.empty()) {
        // Fill the window, in address order.
        while (next <= LAST_ADDRESS && pending.size() < WINDOW) {
            uei request{};
            request.module = (uint8_t)next;
            request.command = Vantorix::Strandix::kCmdSystem;
            request.option = (uint8_t)(Vantorix::Strandix::sysSerialNumber | aUEI_GET);
            request.specifier = aUEI_INDEX_FLAG;
            request.type = ueiTypeVoid;
            aErr err = link.sendUEI(request);
            if (err != aErrNone)
                Log::log(DEBUG_Network, "NETWORK: probe of %u not sent: %d\n", next, (int)err);
            else
                pending.push_back({(uint8_t)next, aTime_GetMSTicks()});
            if (err != aErrNone)
                settled++;
            next += 2;
        }
        if (pending.empty())
            continue;
        const uint64_t now = aTime_GetMSTicks();
        const uint64_t due = pending.front().sent + WaitMs(slowest_reply_ms);
        aPacket* reply = aLink_AwaitFirst(link.getLinkId(), sProbeReply, nullptr, due > now ? due - now : 0);
        if (reply != nullptr) {
            uei decoded{};
            aUEI_Decode(reply, &decoded);
            const uint8_t address = reply->address;
            aPacket_Destroy(&reply);
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (it->address != address)
                    continue;
                const uint64_t took = aTime_GetMSTicks() - it->sent;
                if (took > slowest_reply_ms)
                    slowest_reply_ms = (uint32_t)took;
                pending.erase(it);
                settled++;
                break;
            }
            // A late answer to a probe given up on still counts: the module is there.
            if (!aUEI_IsError(&decoded))
                answered[address] = true;
            Log::log(DEBUG_Network, "NETWORK: address %u %s\n", address, aUEI_IsError(&decoded) ? "absent" : "answered");
        } else {
            // The oldest probe stayed silent for its whole wait.
            Log::log(DEBUG_Network, "NETWORK: address %u silent\n", pending.front().address);
            pending.pop_front();
            settled++;
        }
        display.update_progress((double)settled / total, nullptr);
    }
    aLink_DrainPackets(link.getLinkId(), sProbeReply, nullptr);
    display.display_progress(false);
    std::vector<uint8_t> found;
    for (unsigned address = FIRST_ADDRESS; address <= LAST_ADDRESS; address += 2)
        if (answered[address])
            found.push_back((uint8_t)address);
    return found;
}
