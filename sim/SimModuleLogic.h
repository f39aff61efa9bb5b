// Device logic of a simulated module: the system entity with all of its options, the
// information queries (build number, UEI existence, class and sub-class counts, entity groups),
// store slots, factory data, the echo command, value streams of the system entity's options
// (SimStreamLogic) and error replies for anything it does not know.
// In router mode further modules at other addresses of the module network answer through the
// same connection.
#ifndef SIM_SIMMODULELOGIC_H
#define SIM_SIMMODULELOGIC_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SimDevice.h"
#include "SimStreamLogic.h"
#include "SimUpgradeLogic.h"

struct SimModuleConfig {
    uint8_t address = 2;
    uint32_t serialNumber = 0x0000002A;
    uint8_t model = 16;
    uint32_t version = (2u << 28) | (1u << 24) | 7u;  // packed: major 4 bits, minor 4 bits, patch 24
    uint32_t build = 1234;
    uint8_t router = 2;
    std::string name = "sim module";
    // Length of the build reply's data: 6 is right; anything else is a faulty firmware.
    int buildReplyLength = 6;
};

class SimModuleLogic : public SimDeviceLogic {
  public:
    explicit SimModuleLogic(const SimModuleConfig& self);
    ~SimModuleLogic() override;

    // Router mode: a module on the module network behind this one.
    void AddNetworkModule(const SimModuleConfig& module);
    // Addresses with no module get an error reply (aErrConnection) instead of silence, as a
    // router that knows its network does.
    void SetAnswerAbsent(bool answer);
    void SetBuildReplyLength(uint8_t address, int length);
    // The firmware a module runs from now on (after an update): build and packed version.
    void SetFirmware(uint8_t address, uint32_t build, uint32_t version);
    // Router mode: the module at this address (not the router itself) gets an upgrade entity.
    // While it restarts (after LOAD with a time away, or REBOOT) it is silent for the time away,
    // as a module on the module network is, and the router's link stays up; a started loader
    // announces itself with the LOAD answer when it is back, answering under the loader's serial
    // number when one is configured. Null for another address.
    SimUpgradeLogic* AddNetworkUpgrade(uint8_t address, const SimUpgradeConfig& config);
    SimUpgradeLogic* NetworkUpgrade(uint8_t address);
    // Packets of command codes this logic does not know go here first (for entities added by
    // other simulations); the handler returns true when it took the packet.
    void SetExtraHandler(std::function<bool(SimDevice&, const SimPacket&)> handler);

    void OnPacket(SimDevice& device, const SimPacket& packet) override;
    void OnTick(SimDevice& device) override;
    void OnLinkClose(SimDevice& device) override;
    void OnDisconnect(SimDevice& device) override;

    // Changes an option of a module's system entity as the firmware itself would (a reading that
    // moved); a streamed option sends a sample on the next tick.
    void SetSystemValue(uint8_t address, uint8_t option, uint32_t value);
    SimStreamLogic& Streams() { return streams_; }

    // What the host did, for tests.
    uint8_t RouteToMe();
    int Resets(uint8_t address);
    // The addresses of UEI and information packets received, in order.
    std::vector<uint8_t> AddressesSeen();

    // Store slot capacity in bytes.
    static constexpr size_t kSlotCapacity = 1024;

  private:
    struct SystemState;
    struct Module;

    Module* Find(uint8_t address);
    void HandleUEI(SimDevice& device, Module& module, const SimPacket& packet);
    void HandleInformation(SimDevice& device, Module& module, const SimPacket& packet);
    void HandleStoreSlot(SimDevice& device, Module& module, const SimPacket& packet);
    void HandleFactoryData(SimDevice& device, Module& module, const SimPacket& packet);
    void SystemGet(SimDevice& device, Module& module, const SimPacket& packet, uint8_t option);
    void SystemSet(SimDevice& device, Module& module, const SimPacket& packet, uint8_t option);
    void SendUEIError(SimDevice& device, const Module& module, const SimPacket& request, uint8_t code);
    void SendByteRun(SimDevice& device, const Module& module, const SimPacket& request, const std::vector<uint8_t>& run);

    std::mutex mutex_;
    std::map<uint8_t, Module*> modules_;
    std::vector<std::unique_ptr<Module>> owned_;
    std::function<bool(SimDevice&, const SimPacket&)> extra_;
    bool answerAbsent_ = false;
    uint8_t routeToMe_ = 0;
    std::vector<uint8_t> seen_;
    std::vector<SimStreamSource> changed_;
    // Upgrade entities of network modules, and until when each restarting one stays silent
    // (monotonic ms; -1 for good).
    std::map<uint8_t, std::unique_ptr<SimUpgradeLogic>> upgrades_;
    std::map<uint8_t, int64_t> silentUntil_;  // values changed by SetSystemValue, not yet streamed
    SimStreamLogic streams_;
};

#endif
