// The probe of a router's module network (-D -r): which even addresses 2 to 252 answer a
// serial-number query through the router's link. Probes go out in address order, several at
// once (a bounded window, so the replies never overrun the link's input), and each is given a
// bounded multiple of the router's learned reply time: an address the router reports absent
// costs its reply, a silent one at most WaitMs.
#ifndef UPDATER_NETWORKPROBE_H
#define UPDATER_NETWORKPROBE_H

#include <cstdint>
#include <vector>

#include "Link.h"
#include "UpdaterDisplayInterface.h"

namespace NetworkProbe {

const uint8_t FIRST_ADDRESS = 2;
const uint8_t LAST_ADDRESS = 252;
// Probes waiting for their answers at one time.
const unsigned WINDOW = 12;
// The wait for one address: REPLY_MULTIPLE times the slowest reply seen, never below
// MIN_WAIT_MS (a module answering within 400 ms is found) nor above MAX_WAIT_MS.
const uint32_t REPLY_MULTIPLE = 4;
const uint32_t MIN_WAIT_MS = 500;
const uint32_t MAX_WAIT_MS = 1000;

// How long a probe waits, given the slowest reply time seen so far.
uint32_t WaitMs(uint32_t slowest_reply_ms);

// Probes the module network behind the router on link. slowest_reply_ms starts as the router's
// own reply time. The addresses that answered, in order; progress goes to the display's bar.
std::vector<uint8_t> Probe(Vantorix::Strandix::Link& link, uint32_t slowest_reply_ms,
                           UpdaterDisplayInterface& display);

}  // namespace NetworkProbe

#endif
