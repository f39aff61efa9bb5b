// Puts a simulated device (SimDevice) behind a simulated USB device: the bytes of the bulk
// pipes travel over a socket pair whose other end the SimDevice owns, so the same device logic
// answers over USB as over TCP/IP or a serial line.
#ifndef SIM_SIMUSBWIRE_H
#define SIM_SIMUSBWIRE_H

#include <mutex>

#include "SimUsbBus.h"

class SimDevice;

class SimUsbWireBackend : public SimUsbBackend {
  public:
    SimUsbWireBackend();
    ~SimUsbWireBackend() override;
    SimUsbWireBackend(const SimUsbWireBackend&) = delete;
    SimUsbWireBackend& operator=(const SimUsbWireBackend&) = delete;

    // Hands the device its end of the pipe (SimDevice::AttachFd); call before device.Start().
    bool Attach(SimDevice& device);

    void FromHost(const uint8_t* data, size_t count) override;
    size_t ToHost(uint8_t* data, size_t max) override;
    // What the device sent while it was off the bus never reaches the host.
    void Plugged(bool plugged) override;

  private:
    std::mutex mutex_;
    int hostEnd_ = -1;
    int deviceEnd_ = -1;
};

#endif
