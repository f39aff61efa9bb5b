// The scenario of an update that stops in the loader phase, through the program, the same over
// every transport: the update is stopped after LOAD (a refused firmware block, or kill -9 between
// two blocks) with the simulated device left in its loader under serial number 0xDEADDEAD; the
// store keeps the record, -D explains the loader, -U -d DEADDEAD and another build are refused,
// and the next -U of the device finishes it (only the firmware blocks, patched with the device's
// own serial number, then REBOOT; with -V the device is seen running the file's build), with
// both the stop and the end in the device's history.
#ifndef TEST_LOADER_SCENARIO_H
#define TEST_LOADER_SCENARIO_H

#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "IsolatedHome.h"
#include "Process.h"
#include "SimUpgradeLogic.h"

// The simulated device of the scenario and the surroundings the program runs in.
class LoaderScenarioTarget {
  public:
    virtual ~LoaderScenarioTarget() = default;
    virtual const char* Transport() const = 0;  // as the store records it: "TCPIP", "USB"
    virtual uint32_t SerialNumber() const = 0;
    virtual IsolatedHome& Home() = 0;
    // Starts the device (model 16) with upgrade-entity options in the words of sxsim_device.
    virtual void Start(const std::vector<std::string>& options) = 0;
    // Stops it; the firmware blocks written, LOAD and REBOOT requests it received.
    virtual void Stop(std::vector<SimUpgradeBlock>& firmware, int* loads, int* reboots) = 0;
    // The words that start the program, and a run of any command where the program runs.
    virtual std::vector<std::string> UpdaterCommand() = 0;
    virtual ProcessResult RunCommand(const std::vector<std::string>& argv) = 0;
};

// A BIRD file for a Ginkgo (model 16) made for another device: one loader block, two firmware
// blocks (the first saying which build it is, so the simulated device runs that build after
// REBOOT) and the serial number patched at 0x4010.
void WriteRunnableBird(const std::string& path, uint32_t build);

// The last firmware blocks a simulated device received are the file's firmware blocks, in order
// (an earlier, interrupted run may have written some before them).
void ExpectLastFirmwareIs(const BirdFile& bird, const std::vector<SimUpgradeBlock>& firmware);

// Runs both ways of stopping (files for the BIRD files and the killed run's output).
void RunStoppedInLoaderScenario(LoaderScenarioTarget& target, const TempDir& files);

#endif
