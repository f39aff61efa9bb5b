// The system entity (command 3) that every device has: serial number, model, firmware version,
// router settings, power and temperature readings, save and reset.
#ifndef SX_API_SYSTEMCLASS_H
#define SX_API_SYSTEMCLASS_H

#include <cstddef>
#include <cstdint>

#include "Entity.h"

namespace Vantorix {
namespace Strandix {

constexpr uint8_t kCmdSystem = 3;

// Options of the system entity.
enum SystemOption : uint8_t {
    sysModule = 1,
    sysRouter = 2,
    sysHBInterval = 3,
    sysLED = 4,
    sysBootSlot = 6,
    sysVersion = 7,
    sysModel = 8,
    sysSerialNumber = 9,
    sysSave = 0x0A,
    sysReset = 0x0B,
    sysInputVoltage = 0x0C,
    sysModuleHardwareOffset = 0x0D,
    sysModuleBaseAddress = 0x0E,
    sysModuleSoftwareOffset = 0x0F,
    sysRouterAddressSetting = 0x10,
    sysRouteToMe = 0x14,
    sysInputCurrent = 0x15,
    sysUptime = 0x16,
    sysMaximumTemperature = 0x17,
    sysLogEvents = 0x18,
    sysUnregulatedVoltage = 0x19,
    sysUnregulatedCurrent = 0x1A,
    sysTemperature = 0x1B,
    sysMinimumTemperature = 0x1C,
    sysInputPowerSource = 0x1D,
    sysInputPowerBehavior = 0x1F,
    sysName = 0x20,
    sysPowerLimit = 0x21,
    sysPowerLimitMax = 0x22,
    sysPowerLimitState = 0x23,
    sysResetEntityToFactoryDefaults = 0x24,
    sysResetDeviceToFactoryDefaults = 0x25,
    sysLinkInterface = 0x26,
    sysHardwareVersion = 0x28,
    sysErrors = 0x29,
};

class SystemClass : public EntityClass {
  public:
    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t interval);
    aErr getHBInterval(uint8_t* interval);
    aErr setLED(uint8_t on);
    aErr getLED(uint8_t* on);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serial);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* microvolts);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr getRouterAddressSetting(uint8_t* address);
    aErr routeToMe(uint8_t enable);
    aErr getInputCurrent(uint32_t* microamps);
    aErr getUptime(uint32_t* minutes);
    aErr getMaximumTemperature(int32_t* temperature);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* microvolts);
    aErr getUnregulatedCurrent(int32_t* microamps);
    aErr getTemperature(int32_t* temperature);
    aErr getMinimumTemperature(int32_t* temperature);
    aErr getInputPowerSource(uint8_t* source);
    aErr getInputPowerBehavior(uint8_t* behavior);
    aErr setInputPowerBehavior(uint8_t behavior);
    // Byte run of 32-bit words as stored by the device; *wordsReceived counts whole words.
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t wordCount, size_t* wordsReceived);
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t wordCount);
    aErr getName(uint8_t* buffer, size_t size, size_t* length);
    aErr setName(const uint8_t* name, size_t length);
    aErr getPowerLimit(uint32_t* milliwatts);
    aErr getPowerLimitMax(uint32_t* milliwatts);
    aErr setPowerLimitMax(uint32_t milliwatts);
    aErr getPowerLimitState(uint32_t* state);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    aErr getLinkInterface(uint8_t* linkInterface);
    aErr setLinkInterface(uint8_t linkInterface);
    aErr getHardwareVersion(uint32_t* version);
    aErr getErrors(uint32_t* errors);

  private:
    aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
