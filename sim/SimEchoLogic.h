// Device logic that answers every packet with the same data from the device's module address.
// Used to measure and check request/reply traffic through the link engine.
#ifndef SIM_SIMECHOLOGIC_H
#define SIM_SIMECHOLOGIC_H

#include "SimDevice.h"

class SimEchoLogic : public SimDeviceLogic {
  public:
    void OnPacket(SimDevice& device, const SimPacket& packet) override;
};

#endif
