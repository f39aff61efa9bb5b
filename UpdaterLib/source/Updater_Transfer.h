// The whole-file check and the firmware transfer through a device's upgrade entity, shared by the update of a running
// device and the recovery of a device whose loader was started from its ROM.
#ifndef UPDATER_UPDATER_TRANSFER_H
#define UPDATER_UPDATER_TRANSFER_H

#include "BirdCheck.h"
#include "BirdFile.h"
#include "DeviceInfo.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aDefs.h"

// Refuses a file that fails the whole-file check before anything of it is sent: shows each
// problem and throws std::runtime_error. By default the file must carry firmware.
void _require_sendable(UpdaterDisplayInterface& display, const BirdFile& bird,
                       const BirdCheck::Options& options = BirdCheck::ForSending(true, false));

aErr _transfer_firmware(UpdaterDisplayInterface& display, Vantorix::Strandix::Module& module, BirdFile& bird);

// Reads what a connected device runs: firmware build (information query) and version, module
// and router address (system entity) into info.
aErr _read_running_firmware(Vantorix::Strandix::Module& module, DeviceInfo& info);


#endif
