// An update that stopped in its loader phase: writing and ending the record, finishing the
// firmware transfer on the device's loader, and explaining a loader that discovery found.
#include <stdexcept>
#include <string>

#include "BirdFile.h"
#include "DeviceHistory.h"
#include "FindAgain.h"
#include "KeyValueStore.h"
#include "LoaderPhase.h"
#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "Updater_Transfer.h"
#include "aError.h"
#include "aTime.h"

using Vantorix::Strandix::Module;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// How often, and how far apart, the loader of a recorded phase is sought: it may still be on its
// way back from the restart into it.
const int kLoaderSearchRounds = 3;
const uint32_t kLoaderSearchPauseMs = 1000;

}  // namespace

std::string _write_loader_phase(const std::string& directory, UpdaterStoreItem& item, unsigned int serial_number,
                                const std::vector<std::pair<std::string, std::string>>& values)
{
    try {
        if (!item.IsValid()) {
            UpdaterStore store(directory.c_str());
            item = store.AddDevice(serial_number);
        }
        return LoaderPhaseStore::Write(item, values);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

aErr _end_loader_phase(UpdaterDisplayInterface& display, const std::string& directory, UpdaterStoreItem& item,
                       LoaderPhase& phase, aErr transfer, const std::string& reason)
{
    std::string problem;
    if (transfer == aErrNone) {
        problem = _write_loader_phase(directory, item, phase.serial_number, LoaderPhaseClearedValues());
    } else {
        phase.failed = true;
        phase.reason = reason.empty() ? std::string(aError_GetErrorText(transfer)) : reason;
        problem = _write_loader_phase(directory, item, phase.serial_number, LoaderPhaseValues(phase));
        display.message(ERROR, "Device %08X is left in its loader; finish the update with %s", phase.serial_number,
                        LoaderPhaseFinishCommand(phase).c_str());
    }
    if (problem.empty())
        return transfer;
    display.message(ERROR, "Could not record the end of the loader phase of %08X: %s", phase.serial_number,
                    problem.c_str());
    return aErrIO;
}

bool Updater::Finish_Loader_Phase(UpdaterStoreItem& item, LoaderPhase& phase, unsigned int build,
                                  std::string bird_file, unsigned char module_address, bool override)
{
    const uint64_t start = aTime_MonoMS();
    const unsigned int serial_number = phase.serial_number;
    // A run that was killed left no line of its own: the history says it stopped.
    if (!phase.failed) {
        HistoryEntry entry;
        entry.action = "update";
        entry.target = phase.file;
        entry.reason = LoaderPhaseInterruption(phase);
        if (!DeviceHistory::Append(item.FullPath(), entry))
            display.message(ERROR, "Could not record the interruption in the history of %08X", serial_number);
        phase.failed = true;
        phase.reason = entry.reason;
    }

    // The recorded firmware, or the one given when it is the same build (or overridden).
    std::string sent_file = bird_file;
    unsigned int sent_build = 0;
    if (sent_file.empty()) {
        if (build != 0)
            sent_build = build;
        else if (phase.stored)
            sent_build = phase.build;
        else
            sent_file = phase.file;
    }
    BirdFile bird;
    try {
        bird = load_bird("Finishing", sent_file, serial_number, sent_build, false);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "load_bird: %s\n", e.what());
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    // What -V compares the running build with, and where it seeks the device after REBOOT.
    last_build = bird.GetBuild();
    last_version = bird.GetVersion();
    last_transport = phase.transport;
    const bool chosen = !bird_file.empty() || build != 0;
    const std::string wrong =
        chosen ? LoaderPhaseBuildProblem(phase, bird_file.empty() ? build : bird.GetBuild(), override) : std::string();
    if (!wrong.empty()) {
        display.message(ERROR, "Refused: %s", wrong.c_str());
        return false;
    }
    // The image carries the recorded device's serial number, whatever its loader answers under.
    if (bird.HasSerialNumberBlock() && !bird.ReplaceSerialNumber(serial_number)) {
        display.message(ERROR, "Unable to set serial number %08X into the firmware", serial_number);
        return false;
    }

    // A module behind a router answers at its address there; a device reached directly is
    // sought by its own serial number first, then the default one, only where the phase was
    // recorded.
    if (phase.router_serial_number != 0 && module_address == 0)
        module_address = phase.module_address;
    last_router_serial_number = phase.router_serial_number;
    last_module_address = phase.router_serial_number != 0 ? module_address : 0;
    Module target(module_address, (uint8_t)0);
    uint32_t found = 0;
    if (phase.router_serial_number != 0) {
        display.message(INFO, "Looking for the loader of %08X behind router %08X at module %02X", serial_number,
                        phase.router_serial_number, module_address);
        const aErr err = _connect_routed(target, phase.router_serial_number, known_devices, &found);
        if (err != aErrNone || (found != serial_number && found != UpdaterEntity::kDefaultSerialNumber)) {
            target.disconnect();
            display.message(ERROR, "Failed to find the loader of %08X behind router %08X at module %02X%s",
                            serial_number, phase.router_serial_number, module_address,
                            err != aErrNone ? "" : ": another device answers there");
            return false;
        }
    } else {
        display.message(INFO, "Looking for the loader of %08X over %s", serial_number,
                        LoaderPhaseTransportName(phase.transport));
        aErr err = FindDeviceAgain(
            target,
            FindAgainRound(FindHow::DISCOVER, phase.transport, {serial_number, UpdaterEntity::kDefaultSerialNumber}),
            kLoaderSearchRounds, kLoaderSearchPauseMs, 0,
            [&phase](const linkSpec& spec) { return LoaderPhaseReachedBy(phase, spec); });
        linkSpec spec{};
        if (err == aErrNone)
            err = target.getLinkSpecifier(&spec);
        if (err != aErrNone) {
            target.disconnect();
            display.message(ERROR, "Failed to find the loader of %08X over %s%s%s", serial_number,
                            LoaderPhaseTransportName(phase.transport), phase.transport == TCPIP ? " at " : "",
                            phase.transport == TCPIP ? LoaderPhaseAddressText(phase.address).c_str() : "");
            return false;
        }
        found = spec.serial_number;
        if (found != serial_number) {
            const std::string ambiguous = LoaderPhaseAmbiguity(phase, LoaderPhaseStore::All(updater_directory));
            if (!ambiguous.empty()) {
                target.disconnect();
                display.message(ERROR, "Refused: %s", ambiguous.c_str());
                return false;
            }
        }
    }
    display.message(INFO, "Found the loader of %08X under %08X", serial_number, found);

    ReasonDisplay steps(display);
    aErr err = _transfer_firmware(steps, target, bird, serial_number);
    target.disconnect();
    err = _end_loader_phase(display, updater_directory, item, phase, err, steps.LastError());
    if (err == aErrNone) {
        const std::string unrecorded = _record_transfer(updater_directory, item, serial_number, sent_file, sent_build);
        if (!unrecorded.empty()) {
            display.message(ERROR, "Could not record the update in the history of %08X: %s", serial_number,
                            unrecorded.c_str());
            err = aErrIO;
        }
    }
    display.message(INFO, "Update time: %.4f sec", (double)(aTime_MonoMS() - start) / 1000.0);
    return err == aErrNone;
}

std::vector<std::string> Updater::Explain_Loaders(const std::vector<DeviceInfo>& devices)
{
    const std::vector<LoaderPhase> phases = LoaderPhaseStore::All(updater_directory);
    std::vector<std::string> lines;
    for (const DeviceInfo& device : devices) {
        const bool routed =
            device.spec.router_serial_number != 0 && device.spec.router_serial_number != device.spec.serial_number;
        const std::vector<std::string> more = LoaderExplanation(
            device.spec.serial_number, device.spec.type, device.spec.type == TCPIP ? device.spec.t.ip.ip_address : 0,
            phases, routed ? device.spec.router_serial_number : 0, routed ? (uint8_t)device.spec.module : 0);
        lines.insert(lines.end(), more.begin(), more.end());
    }
    return lines;
}
