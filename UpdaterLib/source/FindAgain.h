// The one loop that finds a device again after it restarted (the LOAD of its loader, a REBOOT,
// or a loader started from a ROM bootloader).
#ifndef UPDATER_FIND_AGAIN_H
#define UPDATER_FIND_AGAIN_H

#include <cstdint>
#include <functional>
#include <vector>

#include "Module.h"
#include "UpdaterSteps.h"
#include "aLinkSpec.h"

// Which of the devices an attempt reaches it may take, by the device's link specifier (for
// example only one found at a given address). Empty: any.
using FindFilter = std::function<bool(const linkSpec&)>;

// Runs the attempts in order, up to rounds times, pausing pauseMs after each round that found
// nothing. Every failed attempt leaves the module disconnected, so the next starts afresh.
// With deadlineMs (monotonic milliseconds, 0 for none) no round starts after it and no pause
// reaches past it. With a filter, a discovering attempt connects the first device with the
// attempt's serial number that the filter accepts, and a device another attempt connected is
// let go (aErrNotFound) unless the filter accepts it. aErrNone with the module connected, else
// the last attempt's error (aErrTimeout when the deadline came before any attempt).
aErr FindDeviceAgain(Vantorix::Strandix::Module& module, const std::vector<FindAttempt>& attempts, int rounds,
                     uint32_t pauseMs, uint64_t deadlineMs = 0, const FindFilter& accept = FindFilter());

// How long a device that restarted (after LOAD, or a loader started from a ROM) is sought at
// most, in seconds, from the environment variable UPDATER_RESTART_WAIT; unset, the rounds
// alone bound the wait. A production line that knows its devices come back fast sets it lower.
extern const char* const kRestartWaitVariable;
// Whole seconds from 1 to 3600, nothing else (no sign, no space, no unit).
bool ParseRestartWait(const char* text, uint32_t* seconds);
// The variable's value; 0 when it is unset or not valid (the program refuses that at its start).
uint32_t RestartWaitFromEnvironment();
// The monotonic deadline of a wait of that many seconds from now; 0 (no deadline) for 0.
uint64_t RestartDeadline(uint32_t seconds);

#endif
