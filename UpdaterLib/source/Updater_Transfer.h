// The firmware transfer through a device's upgrade entity, shared by the update of a running
// device and the recovery of a device whose loader was started from its ROM.
#ifndef UPDATER_UPDATER_TRANSFER_H
#define UPDATER_UPDATER_TRANSFER_H

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aDefs.h"

aErr _transfer_firmware(UpdaterDisplayInterface& display, Vantorix::Strandix::Module& module, BirdFile& bird);

#endif
