// Firmware update of a running device: choosing the BIRD file, patching the serial number,
// connecting (directly or through a router), checking the file against the device, sending the
// loader and the firmware to the device's upgrade entity, reboot, and the device's history.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "BirdCheck.h"
#include "BirdFile.h"
#include "FindAgain.h"
#include "HistoryKeys.h"
#include "LoaderPhase.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "StoreMatch.h"
#include "UpdaterStore.h"
#include "Updater_Transfer.h"
#include "aDefs.h"
#include "aError.h"
#include "aFile.h"
#include "aTime.h"

using Vantorix::Strandix::Module;
using Vantorix::Strandix::SystemClass;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// How often, and how far apart, a device that restarted into its loader is sought again.
const int kReconnectTries = 15;
const uint32_t kReconnectPauseMs = 1000;


std::string sBirdName(unsigned int build)
{
    return std::to_string(build) + ".bird";
}

// The build number the server named; 0 (logged) when the text is not one.
unsigned int sServerBuild(const std::string& text)
{
    unsigned int value = 0;
    if (!StoreParseBuild(text, &value)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return value;
}

// A build number from the device's history: the value's leading decimal number, 0 when absent.
unsigned int sHistoryBuild(UpdaterStoreItem& item, const char* key)
{
    int value = item.Settings().GetInt(key, 0);
    return value > 0 ? (unsigned int)value : 0;
}

// Checks the file against the connected device: the file's serial number (unless it patches
// it), the serial number the device answers, its model. Failure: the reason.
StepResult sValidate(BirdFile& bird, Module& module, unsigned int serial_number)
{
    if (bird.BlockCount() == 0 || bird.Blocks().empty())
        return StepResult::Fail("validate", "The file holds no blocks");
    if (!bird.HasSerialNumberBlock() && !bird.ValidateSerialNumber(serial_number))
        return StepResult::Fail("validate", StepText("The file is for device %08X, not %08X, and has no serial number "
                                                   "to patch",
                                                   bird.GetSerialNumber(), serial_number));
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t device_serial = 0;
    if (system.getSerialNumber(&device_serial) != aErrNone)
        device_serial = 0;
    if (device_serial != serial_number) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
        return StepResult::Fail("validate", StepText("The connected device answered serial number %08X, not %08X",
                                                   device_serial, serial_number));
    }
    uint8_t model = 0;
    if (system.getModel(&model) != aErrNone)
        model = 0;
    const char* name = aDefs_GetModelName(model);
    if (!bird.ValidateModel(name ? name : ""))
        return StepResult::Fail("validate",
                                StepText("Connected device model and Bird file model do not match [%s]", name ? name : ""));
    return StepResult::Ok();
}

// Sends every loader block and starts the loader. The first block that fails ends the
// transfer: the rest is not sent and the loader is not started. before_load runs just before
// LOAD; when it fails, LOAD is not sent. find_deadline: from LOAD on, how long the device is
// sought when it drops its link (0: the rounds alone). Failure: the reason, naming the device.
StepResult sTransferLoader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird, unsigned int serial_number,
                           const std::function<StepResult()>& before_load, uint32_t restart_wait_s,
                           uint64_t& find_deadline)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", (int)err, aError_GetErrorText(err));
        return StepResult::Fail("loader", StepText("Error starting loader [%d, %s]", (int)err, aError_GetErrorText(err)));
    }
    display.message(INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    const int count = (int)blocks.size();
    int k = 1;
    long total = 0;
    StepResult result;
    display.display_progress(true);
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", k, count, (int)block.length);
        uint16_t block_size = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
        if (!LoaderPrepareGoesOn(err)) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", (int)err, aError_GetErrorText(err));
            result = StepResult::Fail("loader", BlockFailure("prepare", "loader", k, count, serial_number, (int)err,
                                                             aError_GetErrorText(err), entity.lastProblem()));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", (int)err, aError_GetErrorText(err));
            result = StepResult::Fail("loader", BlockFailure("transfer", "loader", k, count, serial_number, (int)err,
                                                             aError_GetErrorText(err), entity.lastProblem()));
            break;
        }
        total += block.length;
        display.update_progress((double)k / (double)count, nullptr);
        k++;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", k - 1, (int)total);
    display.display_progress(false);
    if (!result)
        return result;

    result = before_load();
    if (!result)
        return result;
    display.message(INFO, "Starting Load on Device");
    find_deadline = RestartDeadline(restart_wait_s);
    entity.setFindDeadline(find_deadline);
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        err = aErrNone;
    } else if (err != aErrNone) {
        return StepResult::Fail("loader", StepText("Error starting loader [%d, %s]", (int)err, aError_GetErrorText(err)));
    }
    return StepResult::Ok();
}

}  // namespace

void _require_sendable(UpdaterDisplayInterface& display, const BirdFile& bird, const BirdCheck::Options& options)
{
    const std::vector<std::string> problems = BirdCheck::Problems(bird, options);
    if (problems.empty())
        return;
    for (const std::string& problem : problems)
        display.message(ERROR, "Bird file %s: %s", bird.Filename().c_str(), problem.c_str());
    throw std::runtime_error("Bird file check failed: " + BirdCheck::Summary(problems));
}

// Sends every firmware block, each prepared, sent in pieces and written, then reboots the
// device. The first block that fails ends the transfer and the device is not rebooted.
// Failure: the reason, naming the device (empty when the entity showed it already: a device
// that did not restart after REBOOT). Also used by the recovery of a device whose loader was
// started from its ROM, and by the end of an unfinished loader phase.
StepResult _send_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird, unsigned int serial_number)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.Filename().c_str());
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const int count = (int)blocks.size();
    int k = 1;
    long total = 0;
    StepResult result;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring firmware block %u of %u, %d bytes", (unsigned)k, (unsigned)count,
                        (int)block.length);
        uint16_t block_size = 0;
        aErr err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", (int)err, aError_GetErrorText(err));
            result = StepResult::Fail("firmware", BlockFailure("prepare", "firmware", k, count, serial_number,
                                                               (int)err, aError_GetErrorText(err), entity.lastProblem()));
            break;
        }
        err = entity.FirmwareTransfer(block.data, block.length, block_size, display);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", (int)err, aError_GetErrorText(err));
            result = StepResult::Fail("firmware", BlockFailure("transfer", "firmware", k, count, serial_number,
                                                               (int)err, aError_GetErrorText(err), entity.lastProblem()));
            break;
        }
        total += block.length;
        k++;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", k - 1, (int)total);
    if (!result)
        return result;
    const aErr err = entity.LoaderReboot(display);
    if (err == aErrTimeout)  // the entity said how long the device kept its link
        return StepResult::Fail("reboot", "");
    if (err != aErrNone)
        return StepResult::Fail("reboot", StepText("Failed to send the reboot request to device %08X [%d, %s]",
                                                 serial_number, (int)err, aError_GetErrorText(err)));
    return StepResult::Ok();
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird, unsigned int serial_number)
{
    const StepResult result = _send_firmware(display, module, bird, serial_number);
    if (result)
        return aErrNone;
    _show_failure(display, result);
    return result.step == "reboot" && result.reason.empty() ? aErrTimeout : aErrIO;
}

void _show_failure(UpdaterDisplayInterface& display, const StepResult& result)
{
    if (!result.ok && !result.reason.empty())
        display.message(ERROR, "%s", result.reason.c_str());
}

namespace {

// Room the store must have for what an update records (the device's settings, its loader
// phase and a history line) before anything is sent to the device.
const size_t kRecordRoom = 16384;

// An update is refused before it reaches the device when the store could not record it: a
// device left in its loader with no record of it could not be finished by the next run.
StepResult sCheckStore(const std::string& store_root, const UpdaterStoreItem& item, unsigned int serial_number)
{
    const std::string directory = item.Kind() == STORE_ITEM_DIRECTORY ? item.FullPath() : store_root;
    errno = 0;
    if (aFile_CheckRoom(directory.c_str(), kRecordRoom) == aErrNone)
        return StepResult::Ok();
    const int error = errno;
    return StepResult::Fail("store", StepText("The store cannot record an update of %08X: cannot write in %s%s%s; "
                                              "nothing was sent to the device",
                                              serial_number, directory.c_str(), error ? ": " : "",
                                              error ? strerror(error) : ""));
}

}  // namespace

aErr _connect_direct(Module& target, unsigned int serial_number, const std::map<unsigned int, linkSpec>& known)
{
    const auto found = known.find(serial_number);
    if (found != known.end()) {
        if (target.connectFromSpec(found->second) == aErrNone)
            return aErrNone;
        target.disconnect();
    }
    aErr err = aErrNotFound;
    for (linkType transport : DirectTransportOrder()) {
        err = target.connect(transport, serial_number);
        if (!TryNextTransport(err))
            break;
        target.disconnect();
    }
    return err;
}

aErr _connect_routed(Module& target, unsigned int router_serial_number, const std::map<unsigned int, linkSpec>& known,
                     uint32_t* answered)
{
    Module router(0, (uint8_t)0);
    aErr err = _connect_direct(router, router_serial_number, known);
    if (err != aErrNone)
        return err;
    err = target.connectThroughLinkModule(&router);
    if (err != aErrNone || answered == nullptr)
        return err;
    SystemClass system;
    system.init(&target, 0);
    return system.getSerialNumber(answered);
}

namespace {

// Seeks a device that dropped its link again, over the transport it was reached by, until
// the deadline when there is one. Failure: the reason, naming the device and the wait.
StepResult sFindAgain(Module& target, const SeekAgain& seek, uint32_t restart_wait_s, uint64_t deadline)
{
    const aErr err = FindDeviceAgain(target, FindAgainRound(FindHow::DISCOVER, seek.transport, {seek.serial_number}),
                                     kReconnectTries, kReconnectPauseMs, deadline);
    if (err == aErrNone)
        return StepResult::Ok();
    const std::string wait = restart_wait_s != 0
                                 ? StepText("within %u s (%s)", restart_wait_s, kRestartWaitVariable)
                                 : StepText("in %d tries %u ms apart", kReconnectTries, (unsigned)kReconnectPauseMs);
    return StepResult::Fail("find again",
                            StepText("Device %08X did not come back after starting its loader: not found again over "
                                   "%s %s [%d, %s]",
                                   seek.serial_number, LoaderPhaseTransportName(seek.transport), wait.c_str(),
                                   (int)err, aError_GetErrorText(err)));
}

}  // namespace

// Records a successful transfer in the device's history. A device that had no directory in
// the store yet gets one, so the history never lands anywhere else.
// Empty when recorded, else why not.
std::string _record_transfer(const std::string& directory, UpdaterStoreItem& item, unsigned int serial_number,
                            const std::string& bird_file, unsigned int build)
{
    try {
        if (!item.IsValid()) {
            UpdaterStore store(directory.c_str());
            item = store.AddDevice(serial_number);
        }
        for (const auto& entry : TransferHistory(bird_file, build, KeyValueStore::TimeStamp()))
            if (!item.Settings().Add(entry.first.c_str(), entry.second))
                return "the file name cannot be stored in a settings file";
        if (!item.Settings().Save())
            return item.Settings().LastError();
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "Could not record the transfer for %08X: %s\n", serial_number, e.what());
        return e.what();
    }
    return std::string();
}

namespace {

// The build an update installs when no file is given: asks the server for its latest build
// and reads the history, then lets ChooseUpdateBuild decide. Prints what it chose. Failure:
// nothing to install.
StepResult sChooseBuild(UpdaterDisplayInterface& display, const std::string& server_url, UpdaterStoreItem& item,
                        unsigned int serial_number, unsigned int requested, unsigned int& build)
{
    BuildChoiceInput input;
    input.requested = requested;
    if (requested == 0) {
        std::string build_text, fw;
        if (UpdateServerRequest::QueryBuild(serial_number, build_text, fw, server_url.empty() ? nullptr : server_url.c_str()))
            input.server_latest = sServerBuild(build_text);
        if (input.server_latest != 0 && item.IsValid()) {
            try {
                item.ReadBirdFile(sBirdName(input.server_latest).c_str());
                input.server_latest_stored = true;
            } catch (const std::runtime_error& e) {
                Log::log(DEBUG_Updater, "Latest build %u is not stored: %s\n", input.server_latest, e.what());
            }
        }
        input.latest_download = sHistoryBuild(item, HistoryKeys::LATEST_DOWNLOAD);
        input.latest_transfer = sHistoryBuild(item, HistoryKeys::LATEST_TRANSFER);
    }
    const BuildChoice choice = ChooseUpdateBuild(input);
    if (choice.newer_not_stored)
        display.message(INFO, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    if (choice.source == BuildSource::LATEST_DOWNLOAD)
        display.message(INFO, "Updating with the Latest Download");
    else if (choice.source == BuildSource::LATEST_TRANSFER)
        display.message(INFO, "Updating with the Latest Transfer");
    else if (choice.source == BuildSource::NONE)
        return StepResult::Fail("choose", "Could not find valid build for this device.");
    build = choice.build;
    return StepResult::Ok();
}

// Writes the device's serial number into a file that asks for it. Failure: the reason.
StepResult sPatch(BirdFile& bird, unsigned int serial_number, const std::string& file)
{
    if (!bird.HasSerialNumberBlock())
        return StepResult::Ok();
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird.ReplaceSerialNumber(serial_number)) {
        Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
        return StepResult::Fail("patch", StepText("Could not write serial number %08X into the firmware of %s: its "
                                                  "serial number locations lie outside the firmware",
                                                  serial_number, file.c_str()));
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return StepResult::Ok();
}

// Connects the target: directly (USB, then TCP/IP), or through its router. Shows the line the
// flow has always shown for a connection that failed; the result carries the reason.
StepResult sConnect(UpdaterDisplayInterface& display, Module& target, unsigned int serial_number,
                    unsigned char module_address, unsigned int router_serial_number,
                    const std::map<unsigned int, linkSpec>& known)
{
    aErr err = aErrNone;
    if (router_serial_number != 0) {
        if (module_address == 0)
            return StepResult::Fail("connect", "Module address required for indirect firmware update");
        Module router(0, (uint8_t)0);
        aErr routerErr = _connect_direct(router, router_serial_number, known);
        if (routerErr != aErrNone) {
            display.message(ERROR, "Failed to connect to link module [%08X]", router_serial_number);
            return StepResult::Fail("connect", StepText("Connect to router %08X failed: %s", router_serial_number,
                                                        aError_GetErrorText(routerErr)));
        }
        err = target.connectThroughLinkModule(&router);
    } else {
        err = _connect_direct(target, serial_number, known);
    }
    if (err != aErrNone) {
        display.message(ERROR, "Failed to connect to module [%08X]", serial_number);
        return StepResult::Fail("connect", StepText("Connect to device %08X failed over USB and TCP/IP: %s", serial_number,
                                                    err == aErrNotFound ? "no such device found"
                                                                        : aError_GetErrorText(err)));
    }
    return StepResult::Ok();
}

// Finds a device again by its serial number over the given transports, until the deadline.
Updater::FindRunning sFindDirect(unsigned int serial_number, const std::vector<linkType>& transports)
{
    std::vector<FindAttempt> round;
    for (linkType transport : transports) {
        const std::vector<FindAttempt> more = FindAgainRound(FindHow::DISCOVER, transport, {serial_number});
        round.insert(round.end(), more.begin(), more.end());
    }
    return [round](Module& target, uint64_t deadline) {
        return round.empty() ? aErrNotFound : FindDeviceAgain(target, round, 1 << 30, kReconnectPauseMs, deadline);
    };
}

// Finds a module behind a router again: the router is reached directly and the module at its
// address there must answer with the serial number sought, until the deadline.
Updater::FindRunning sFindRouted(unsigned int serial_number, unsigned int router_serial_number,
                                 unsigned char module_address, const std::map<unsigned int, linkSpec>& known)
{
    return [=, &known](Module& target, uint64_t deadline) {
        aErr err = aErrTimeout;
        while (aTime_MonoMS() < deadline) {
            target.setModuleAddress(module_address);
            uint32_t answered = 0;
            err = _connect_routed(target, router_serial_number, known, &answered);
            if (err == aErrNone && answered == serial_number)
                return aErrNone;
            if (err == aErrNone)
                err = aErrNotFound;
            target.disconnect();
            const uint64_t now = aTime_MonoMS();
            if (now < deadline)
                aTime_MSSleep((uint32_t)std::min<uint64_t>(kReconnectPauseMs, deadline - now));
        }
        return err;
    };
}

}  // namespace

bool Updater::Verify_Update(unsigned int serial_number, unsigned int wait_seconds, DeviceInfo& running)
{
    if (last_router_serial_number != 0)
        return verify_running(serial_number, wait_seconds,
                              sFindRouted(serial_number, last_router_serial_number, last_module_address, known_devices),
                              running);
    return verify_running(serial_number, wait_seconds, sFindDirect(serial_number, {last_transport}), running);
}

bool Updater::Verify_Recovery(unsigned int serial_number, unsigned int wait_seconds, DeviceInfo& running)
{
    if (serial_number == 0 || serial_number == 0xDEADDEAD) {
        display.message(ERROR, "The recovered device cannot be checked: its serial number is not known (give it with -d)");
        return false;
    }
    return verify_running(serial_number, wait_seconds,
                          sFindDirect(serial_number, RecoveredDeviceTransports(ChooseRecoveryPath(chip_type))), running);
}

bool Updater::verify_running(unsigned int serial_number, unsigned int wait_seconds, const FindRunning& find,
                             DeviceInfo& running)
{
    display.message(INFO, "Waiting up to %u seconds for device %08X to come back", wait_seconds, serial_number);
    const uint64_t deadline = aTime_MonoMS() + (uint64_t)wait_seconds * 1000;
    Module target(0, (uint8_t)0);
    // A device still on its way down may answer once more: read it only after it was found anew.
    bool read = false;
    while (!read && aTime_MonoMS() < deadline) {
        if (find(target, deadline) != aErrNone)
            break;
        running = DeviceInfo();
        read = _read_running_firmware(target, running) == aErrNone;
        target.disconnect();
        if (!read)
            aTime_MSSleep(kReconnectPauseMs);
    }
    if (!read) {
        display.message(ERROR, "Device %08X did not come back within %u seconds", serial_number, wait_seconds);
        return false;
    }
    // What it runs is kept, whether or not it is the file's build.
    const bool recorded = record_running(serial_number, running);
    if (running.build != last_build) {
        display.message(ERROR, "Device %08X came back running %d.%d.%d (%u), not the file's build %u", serial_number,
                        running.version_major, running.version_minor, (int)running.version_patch, running.build,
                        last_build);
        return false;
    }
    display.message(INFO, "Device %08X now runs %d.%d.%d (%u)", serial_number, running.version_major,
                    running.version_minor, (int)running.version_patch, running.build);
    return recorded;
}

BirdFile Updater::load_bird(const char* action, std::string bird_file, unsigned int serial_number, unsigned int build,
                            bool download)
{
    last_firmware = bird_file.empty() ? sBirdName(build) : bird_file;
    last_serial_number = serial_number;
    BirdFile bird;
    if (!bird_file.empty()) {
        display.message(INFO, "%s from Birdfile: %s", action, bird_file.c_str());
        if (!bird.LoadFile(bird_file.c_str())) {
            display.message(ERROR, "Bird file %s: %s", bird_file.c_str(), BirdCheck::LoadProblem(bird.Failure()).c_str());
            throw std::runtime_error("Failed to load bird data");
        }
        _require_sendable(display, bird);
        return bird;
    }
    // Reading makes no directory: only a kept download or a recorded transfer does.
    UpdaterStore store(updater_directory.c_str());
    UpdaterStoreItem item;
    const bool known = store.FindDevice(serial_number, &item) && item.IsValid();
    display.message(INFO, "%s firmware with build: %u", action, build);
    const std::string name = sBirdName(build);
    try {
        if (!known)
            throw std::runtime_error("the store has no directory for " + UpdaterStore::DeviceName(serial_number));
        bird = item.ReadBirdFile(name.c_str());
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "Reading %s: %s\n", name.c_str(), e.what());
        if (!download) {
            if (known && item.FileExists(name.c_str()))
                display.message(ERROR, "Stored file %s/%s does not load as a BIRD file", item.FullPath().c_str(),
                                name.c_str());
            else
                display.message(ERROR, "Build %u is not in the store for %08X", build, serial_number);
            throw std::runtime_error("Error reading birdfile");
        }
        display.message(INFO, "Downloading firmware build %u", build);
        if (Download_Firmware(serial_number, std::to_string(build), false, false) == 0)
            throw std::runtime_error("Download of build " + std::to_string(build) + " failed");
        if (!store.FindDevice(serial_number, &item))
            throw std::runtime_error("Error reading birdfile");
        bird = item.ReadBirdFile(name.c_str());
    }
    _require_sendable(display, bird);
    return bird;
}

// Steps: open the store, choose the build, load and check the file, patch the serial number,
// connect, validate against the device, send the loader, find the device again, send the
// firmware and reboot, record the history. Each step's result carries the reason it failed,
// which is shown once.
bool Updater::Update_Firmware(unsigned int serial_number, unsigned int build, std::string bird_file,
                              unsigned char module_address, unsigned int router_serial_number, bool override)
{
    if (serial_number == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    if (serial_number == UpdaterEntity::kDefaultSerialNumber) {
        display.message(ERROR, "Refused: %s", LoaderSerialRefusal(LoaderPhaseStore::All(updater_directory)).c_str());
        return false;
    }
    UpdaterStoreItem item;
    try {
        UpdaterStore store(updater_directory.c_str());
        store.FindDevice(serial_number, &item);
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Cannot open the updater store %s: %s", updater_directory.c_str(), e.what());
        return false;
    }
    // An update that stopped in the loader phase is finished when the device does not answer
    // under its own serial number (it runs its loader, perhaps under the default one).
    // A module behind a router is sought where the record says, through the same router.
    LoaderPhase unfinished;
    if (item.IsValid() && LoaderPhaseFromSettings(item.Settings().Entries(), serial_number, &unfinished) &&
        (router_serial_number == 0 || router_serial_number == unfinished.router_serial_number)) {
        display.message(INFO, "An update of %08X with %s did not finish its loader phase", serial_number,
                        unfinished.file.c_str());
        Module probe(module_address, (uint8_t)0);
        bool own = false;
        if (unfinished.router_serial_number != 0) {
            router_serial_number = unfinished.router_serial_number;
            if (module_address == 0)
                module_address = unfinished.module_address;
            probe.setModuleAddress(module_address);
            uint32_t answered = 0;
            own = _connect_routed(probe, router_serial_number, known_devices, &answered) == aErrNone &&
                  answered == serial_number;
        } else {
            own = _connect_direct(probe, serial_number, known_devices) == aErrNone;
        }
        probe.disconnect();
        if (!own)
            return Finish_Loader_Phase(item, unfinished, build, bird_file, module_address, override);
        display.message(INFO, "Device %08X answers under its own serial number: updating it afresh", serial_number);
    }
    const uint64_t start = aTime_MonoMS();

    if (bird_file.empty()) {
        const StepResult chosen = sChooseBuild(display, server_url, item, serial_number, build, build);
        if (!chosen) {
            _show_failure(display, chosen);
            return false;
        }
    }

    BirdFile bird;
    try {
        bird = load_bird("Updating", bird_file, serial_number, build, false);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "load_bird: %s\n", e.what());
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    last_build = bird.GetBuild();
    last_version = bird.GetVersion();

    const StepResult patched = sPatch(bird, serial_number, last_firmware);
    if (!patched) {
        _show_failure(display, patched);
        return false;
    }

    const StepResult writable = sCheckStore(updater_directory, item, serial_number);
    if (!writable) {
        _show_failure(display, writable);
        return false;
    }

    Module target(module_address, (uint8_t)0);
    StepResult result = sConnect(display, target, serial_number, module_address, router_serial_number, known_devices);
    if (result && !override) {
        const StepResult valid = sValidate(bird, target, serial_number);
        if (!valid) {
            _show_failure(display, valid);
            display.message(ERROR, "Birdfile failed validation");
            return false;
        }
    }
    if (result) {
        linkSpec reached{};
        linkType transport = USB;
        if (target.getLinkSpecifier(&reached) == aErrNone && reached.type != INVALID)
            transport = reached.type;
        last_transport = transport;
        last_router_serial_number = router_serial_number;
        last_module_address = router_serial_number != 0 ? module_address : 0;

        // From LOAD until REBOOT the device runs only its loader: the phase is recorded first, so
        // an update that stops there can be finished later. A module behind a router is recorded
        // with the router (whose transport and address these are) and its module address.
        LoaderPhase phase;
        bool recorded = false;
        auto record_phase = [&]() -> StepResult {
            phase.serial_number = serial_number;
            phase.router_serial_number = router_serial_number;
            phase.module_address = router_serial_number != 0 ? module_address : 0;
            phase.stored = bird_file.empty();
            phase.file = phase.stored ? sBirdName(build) : bird_file;
            phase.build = phase.stored ? build : bird.GetBuild();
            phase.transport = transport;
            phase.address = transport == TCPIP ? reached.t.ip.ip_address : 0;
            phase.date = KeyValueStore::TimeStamp();
            const std::string problem =
                _write_loader_phase(updater_directory, item, serial_number, LoaderPhaseValues(phase));
            if (!problem.empty())
                return StepResult::Fail("loader", StepText("Could not record the loader phase of %08X: %s; the loader "
                                                           "is not started",
                                                           serial_number, problem.c_str()));
            recorded = true;
            return StepResult::Ok();
        };
        ReasonDisplay steps(display);  // keeps a line the device layer showed itself
        uint64_t find_deadline = 0;
        result = sTransferLoader(steps, target, bird, serial_number, record_phase, restart_wait_s, find_deadline);
        const SeekAgain seek = SeekAfterLoad(target.isConnected(), serial_number, router_serial_number, transport);
        if (result && seek.needed)
            result = sFindAgain(target, seek, restart_wait_s, find_deadline);
        if (result)
            result = _send_firmware(steps, target, bird, serial_number);
        _show_failure(display, result);
        if (recorded) {
            const aErr ended = _end_loader_phase(display, updater_directory, item, phase, result ? aErrNone : aErrIO,
                                                 result.reason.empty() ? steps.LastError() : result.reason);
            if (ended != aErrNone && result)
                result = StepResult::Fail("record", "the loader phase could not be cleared");
        }
        if (result) {
            const std::string unrecorded = _record_transfer(updater_directory, item, serial_number, bird_file, build);
            if (!unrecorded.empty()) {
                result = StepResult::Fail("record", StepText("Could not record the update in the history of %08X: %s",
                                                             serial_number, unrecorded.c_str()));
                _show_failure(display, result);
            }
        }
    } else {
        _show_failure(display, result);
        if (router_serial_number != 0 && module_address == 0)
            return false;
    }

    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec", (double)(aTime_MonoMS() - start) / 1000.0);
    return result.ok;
}
