// The system entity's options.
#include "SystemClass.h"

namespace Vantorix {
namespace Strandix {

void SystemClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, kCmdSystem, index);
}

aErr SystemClass::getSigned(uint8_t option, int32_t* value)
{
    if (!value)
        return aErrParam;
    uint32_t raw = 0;
    aErr err = getUEI32(option, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *value = (int32_t)raw;
    return err;
}

aErr SystemClass::getModule(uint8_t* address) { return getUEI8(sysModule, address); }
aErr SystemClass::setRouter(uint8_t address) { return setUEI8(sysRouter, address); }
aErr SystemClass::getRouter(uint8_t* address) { return getUEI8(sysRouter, address); }
aErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(sysHBInterval, interval); }
aErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(sysHBInterval, interval); }
aErr SystemClass::setLED(uint8_t on) { return setUEI8(sysLED, (uint8_t)(on ? 1 : 0)); }
aErr SystemClass::getLED(uint8_t* on) { return getUEI8(sysLED, on); }
aErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(sysBootSlot, slot); }
aErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(sysBootSlot, slot); }
aErr SystemClass::getVersion(uint32_t* version) { return getUEI32(sysVersion, version); }
aErr SystemClass::getModel(uint8_t* model) { return getUEI8(sysModel, model); }
aErr SystemClass::getSerialNumber(uint32_t* serial) { return getUEI32(sysSerialNumber, serial); }
aErr SystemClass::save() { return callUEI(sysSave); }
aErr SystemClass::reset() { return callUEI(sysReset); }
aErr SystemClass::getInputVoltage(uint32_t* microvolts) { return getUEI32(sysInputVoltage, microvolts); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(sysModuleHardwareOffset, offset); }
aErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(sysModuleBaseAddress, address); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(sysModuleSoftwareOffset, offset); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(sysModuleSoftwareOffset, offset); }
aErr SystemClass::getRouterAddressSetting(uint8_t* address) { return getUEI8(sysRouterAddressSetting, address); }
aErr SystemClass::routeToMe(uint8_t enable) { return setUEI8(sysRouteToMe, enable); }
aErr SystemClass::getInputCurrent(uint32_t* microamps) { return getUEI32(sysInputCurrent, microamps); }
aErr SystemClass::getUptime(uint32_t* minutes) { return getUEI32(sysUptime, minutes); }
aErr SystemClass::getMaximumTemperature(int32_t* temperature) { return getSigned(sysMaximumTemperature, temperature); }
aErr SystemClass::logEvents() { return callUEI(sysLogEvents); }
aErr SystemClass::getUnregulatedVoltage(int32_t* microvolts) { return getSigned(sysUnregulatedVoltage, microvolts); }
aErr SystemClass::getUnregulatedCurrent(int32_t* microamps) { return getSigned(sysUnregulatedCurrent, microamps); }
aErr SystemClass::getTemperature(int32_t* temperature) { return getSigned(sysTemperature, temperature); }
aErr SystemClass::getMinimumTemperature(int32_t* temperature) { return getSigned(sysMinimumTemperature, temperature); }
aErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(sysInputPowerSource, source); }
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(sysInputPowerBehavior, behavior); }
aErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(sysInputPowerBehavior, behavior); }

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t wordCount, size_t* wordsReceived)
{
    if (!words || !wordsReceived || wordCount == 0)
        return aErrParam;
    *wordsReceived = 0;
    size_t bytes = 0;
    aErr err = getUEIBytes(sysInputPowerBehavior, reinterpret_cast<uint8_t*>(words), wordCount * 4, &bytes);
    if (err != aErrNone)
        return err;
    err = getUEIBytesCheck(&bytes, 4);
    if (err == aErrNone)
        *wordsReceived = bytes;
    return err;
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t wordCount)
{
    if (wordCount > 0 && !words)
        return aErrParam;
    return setUEIBytes(sysInputPowerBehavior, reinterpret_cast<const uint8_t*>(words), wordCount * 4);
}

aErr SystemClass::getName(uint8_t* buffer, size_t size, size_t* length) { return getUEIBytes(sysName, buffer, size, length); }
aErr SystemClass::setName(const uint8_t* name, size_t length) { return setUEIBytes(sysName, name, length); }
aErr SystemClass::getPowerLimit(uint32_t* milliwatts) { return getUEI32(sysPowerLimit, milliwatts); }
aErr SystemClass::getPowerLimitMax(uint32_t* milliwatts) { return getUEI32(sysPowerLimitMax, milliwatts); }
aErr SystemClass::setPowerLimitMax(uint32_t milliwatts) { return setUEI32(sysPowerLimitMax, milliwatts); }
aErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(sysPowerLimitState, state); }
aErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(sysResetEntityToFactoryDefaults); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(sysResetDeviceToFactoryDefaults); }
aErr SystemClass::getLinkInterface(uint8_t* linkInterface) { return getUEI8(sysLinkInterface, linkInterface); }
aErr SystemClass::setLinkInterface(uint8_t linkInterface) { return setUEI8(sysLinkInterface, linkInterface); }
aErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(sysHardwareVersion, version); }
aErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(sysErrors, errors); }

}  // namespace Strandix
}  // namespace Vantorix
