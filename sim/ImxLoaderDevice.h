// The loader an i.MX RT1050 runs once its ROM has jumped to it, as the host sees it: a device of
// the family with serial number 0xDEADDEAD on the simulated USB bus. It answers the system
// entity (with the chip's four identifier words at option 39, sub-index 0 to 3) and the upgrade
// entity, so the firmware can be sent to it like to any running device.
//
// The device sits on the bus from the start, unplugged (so it is not found); the ROM's jump
// plugs it in: Attach(sim) sets the simulated ROM's jump hook. REBOOT takes it off the bus for
// good, as the chip restarts into its new firmware.
#ifndef SIM_IMXLOADERDEVICE_H
#define SIM_IMXLOADERDEVICE_H

#include <cstdint>
#include <memory>
#include <mutex>

#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "SimUsbAway.h"
#include "SimUsbBus.h"
#include "SimUsbWire.h"

class ImxRomSim;

class ImxLoaderDevice {
  public:
    static const uint32_t SERIAL = 0xDEADDEAD;
    static const uint8_t OPTION_IDENTIFIER = 39;

    // identifier[i] is the value of sub-index i.
    ImxLoaderDevice(SimUsbBus& bus, const uint32_t identifier[4], uint8_t model = 16);
    ~ImxLoaderDevice();
    ImxLoaderDevice(const ImxLoaderDevice&) = delete;
    ImxLoaderDevice& operator=(const ImxLoaderDevice&) = delete;

    // Starts the device when the simulated ROM jumps.
    void Attach(ImxRomSim& rom);
    bool ok() const { return usb_ != nullptr; }
    // Plugs the device in now (again, after a reboot took it off the bus).
    void Start();
    bool started();
    // True once REBOOT took the loader off the bus again.
    bool leftTheBus();
    // From now on REBOOT brings the chip back on the bus after ms as the device the firmware
    // belongs to (USB serial number "%08X" of serial), running the build its firmware carries
    // (SimUpgradeLogic::FirmwareTag). False when the device could not be added.
    bool ComeBackAs(uint32_t serial, int ms);

    SimModuleLogic& module() { return module_; }
    SimUpgradeLogic& upgrade() { return upgrade_; }
    int IdentifierReads();

  private:
    class IdentifierLogic;
    uint32_t identifier_[4];
    uint8_t model_;
    SimModuleLogic module_;
    SimUpgradeLogic upgrade_;
    std::unique_ptr<IdentifierLogic> front_;
    std::unique_ptr<SimDevice> device_;
    std::shared_ptr<SimUsbWireBackend> wire_;
    SimUsbBus& bus_;
    SimUsbDevice* usb_ = nullptr;
    SimUsbDevice* firmware_ = nullptr;  // the device REBOOT brings back (ComeBackAs), or null
    std::unique_ptr<SimUsbAway> away_;
    std::mutex mutex_;
    bool started_ = false;
    int departuresSeen_ = 0;
};

#endif
