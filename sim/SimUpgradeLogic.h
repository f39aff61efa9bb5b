// The upgrade entity of a simulated module (command 0x5F): takes a loader and a firmware image
// block by block, records what it received, answers PREPARE with a configurable block size,
// restarts into its loader after LOAD (optionally going away for a while and coming back,
// possibly under another serial number) and reboots. Fault switches make it misbehave the ways
// real devices do.
//
// It sits in front of another device logic (normally SimModuleLogic, for the system entity and
// the rest): upgrade requests are taken here, every other packet and event goes on to it.
#ifndef SIM_SIMUPGRADELOGIC_H
#define SIM_SIMUPGRADELOGIC_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SimDevice.h"

struct SimUpgradeConfig {
    uint16_t blockSize = 1024;      // answered by PREPARE
    uint32_t loadBase = 0x10000000; // answered by INIT
    // After LOAD: 0 answers LOAD and stays; otherwise the device drops its link without an
    // answer, is away this long (negative: for good) and, once reached again, announces the
    // started loader with the LOAD answer.
    int loadAwayMs = 0;
    // The serial number the loader comes back under (0: unchanged).
    uint32_t loaderSerial = 0;
    // After REBOOT the device drops its link and is away this long (at least 1 ms).
    int rebootAwayMs = 300;

    // Fault switches (occurrences count from 1; 0 is off).
    int wrongCountAt = 0;      // from this DATA request on, answer with a wrong count...
    int wrongCountTimes = 0;   // ...this many times (negative: always)
    uint8_t muteOp = 0xFF;     // this operation...
    int muteAt = 0;            // ...gets no answer at this occurrence
    // When that request arrives, SIGKILL goes to the process whose id this file holds: a test
    // stops the program it started at exactly that point (where it waits for the answer).
    std::string muteKillsPidFile;
    int badSumAt = 0;          // this SUM reports a wrong checksum
    int refusePrepareAt = 0;   // this PREPARE is refused (status 1)
    bool neverReboots = false; // REBOOT is ignored: the link stays up
    // After REBOOT the device comes back still running the build it ran before (an image that
    // did not start); otherwise it runs the build its firmware carries (FirmwareTag).
    bool rebootKeepsBuild = false;
    // The device runs its loader from the start (one started by other means, such as a ROM
    // bootloader): firmware blocks are taken without a loader transfer and LOAD first.
    bool startsInLoader = false;
};

struct SimUpgradeBlock {
    uint32_t address = 0;
    uint8_t flags = 0;
    std::vector<uint8_t> bytes;  // loader: every byte received; firmware: every byte written
};

struct SimUpgradeStats {
    int inits = 0;
    int prepares = 0;
    int dataPackets = 0;
    int sums = 0;
    int writes = 0;
    int loads = 0;
    int reboots = 0;
    std::vector<uint32_t> writeLengths;  // in order
    std::vector<uint8_t> dataLengths;    // image bytes of each DATA request, in order
};

class SimUpgradeLogic : public SimDeviceLogic {
  public:
    // How the device goes away and comes back: called on the device thread with the time away
    // (negative: for good) and the serial number it will answer under.
    using AwayHook = std::function<void(SimDevice&, int awayMs, uint32_t serialNumber)>;
    // What the device runs after a REBOOT that took new firmware: its build and packed version.
    using RunningHook = std::function<void(uint32_t build, uint32_t version)>;

    // inner (not owned, may be null) gets everything that is not an upgrade request.
    SimUpgradeLogic(const SimUpgradeConfig& config, SimDeviceLogic* inner, uint32_t serialNumber = 0);

    // Without a hook the device only goes away (SimDevice::GoAway).
    void SetAwayHook(AwayHook hook);
    void SetConfig(const SimUpgradeConfig& config);
    // Called on the device thread when a REBOOT starts firmware that carries a FirmwareTag.
    void SetRunningHook(RunningHook hook);

    // The bytes a simulated firmware image carries to say which build and version it is:
    // "SXFW", the build and the packed version (major 4 bits, minor 4, patch 24), least
    // significant byte first. FindFirmwareTag finds the first one in the firmware written.
    static std::vector<uint8_t> FirmwareTag(uint32_t build, uint32_t version);
    static bool FindFirmwareTag(const std::vector<SimUpgradeBlock>& firmware, uint32_t* build, uint32_t* version);

    void OnPacket(SimDevice& device, const SimPacket& packet) override;
    // A started loader that was away announces itself when the host opens the link again.
    void OnLinkOpen(SimDevice& device) override;
    void OnLinkClose(SimDevice& device) override;
    void OnConnect(SimDevice& device) override;
    void OnDisconnect(SimDevice& device) override;
    void OnTick(SimDevice& device) override;

    // Command-line options of the simulated device program: ParseOption takes argv[i] (and its
    // value, advancing i) when it is one of them: 1 taken, 0 not an upgrade option, -1 bad
    // value (reported on standard error).
    static const char* Usage();
    static int ParseOption(int argc, char** argv, int& i, SimUpgradeConfig& config);
    // Writes what was received as text: "loader ADDRESS FLAGS HEX" and "firmware ADDRESS FLAGS
    // HEX" lines in order, then "writes N N ...", "reboots N", "inits N" and "loads N".
    // Replaced in one step.
    bool WriteRecord(const std::string& path) const;
    // Reads such a record back (false when it cannot be read).
    static bool ReadRecord(const std::string& path, std::vector<SimUpgradeBlock>& loader,
                           std::vector<SimUpgradeBlock>& firmware, int* reboots = nullptr,
                           int* inits = nullptr, int* loads = nullptr);

    std::vector<SimUpgradeBlock> Loader() const;
    std::vector<SimUpgradeBlock> Firmware() const;
    SimUpgradeStats Stats() const;
    bool InLoader() const;

  private:
    bool Take(SimDevice& device, const SimPacket& packet);
    void Answer(SimDevice& device, uint8_t address, std::initializer_list<uint8_t> bytes, uint8_t op);
    void GoAway(SimDevice& device, int ms, uint32_t serial);

    mutable std::mutex mutex_;
    SimUpgradeConfig config_;
    SimDeviceLogic* inner_;
    uint32_t serialNumber_;
    AwayHook away_;
    RunningHook running_;
    SimUpgradeStats stats_;
    std::vector<SimUpgradeBlock> loader_;
    std::vector<SimUpgradeBlock> firmware_;
    std::vector<uint8_t> pending_;  // bytes since the last SUM or WRITE
    std::vector<uint8_t> unwritten_; // firmware bytes since the last WRITE
    bool inLoader_ = false;
    bool announce_ = false;
    uint8_t announceAddress_ = 0;
    int opCount_[8] = {};
};

#endif
