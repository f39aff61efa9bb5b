// Recovery of a device whose firmware no longer runs, through its microcontroller's ROM
// bootloader: the chip's fingerprint (-N), and the rewrite of an LPC17xx flash over the ISP
// serial protocol or the start of a loader on an i.MX RT1050 through its serial download
// protocol, after which the firmware goes to the started loader like any update.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "FindAgain.h"
#include "HistoryKeys.h"
#include "HID_SDPLoader.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "UpdaterSteps.h"
#include "Updater_Transfer.h"
#include "aError.h"
#include "aTime.h"

using Vantorix::Strandix::Module;
using Vantorix::Strandix::SystemClass;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

const unsigned int NO_SERIAL_NUMBER = 0xDEADDEAD;
const uint32_t FINGERPRINT_BAUD = 115200;
const uint32_t FIRST_SECTOR = 0, LAST_SECTOR = 29;
const uint8_t CHIP_IMX = 1, CHIP_LPC = 2;
const uint8_t OPTION_IDENTIFIER = 39;
const int CONNECT_TRIES = 15;
const uint32_t CONNECT_PAUSE_MS = 1000;

uint32_t sBE32(const uint8_t* p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }

// Connects to a loader started from the ROM over USB: up to 15 rounds a second apart (and
// within the restart wait when one is set), each trying the placeholder serial number first and
// then the device's own. Failure: the reason.
StepResult sConnectLoader(Module& module, unsigned int serial_number, uint32_t restart_wait_s)
{
    const aErr err = FindDeviceAgain(module, FindAgainRound(FindHow::CONNECT, USB, {NO_SERIAL_NUMBER, serial_number}),
                                     CONNECT_TRIES, CONNECT_PAUSE_MS, RestartDeadline(restart_wait_s));
    if (err == aErrNone)
        return StepResult::Ok();
    const std::string wait = restart_wait_s != 0
                                 ? StepText("within %u s (%s)", restart_wait_s, kRestartWaitVariable)
                                 : StepText("in %d tries %u ms apart", CONNECT_TRIES, (unsigned)CONNECT_PAUSE_MS);
    return StepResult::Fail("find again", StepText("The started loader did not appear on USB as DEADDEAD or %08X %s",
                                                   serial_number, wait.c_str()));
}

}  // namespace

bool _get_fingerprint_lpc(std::string serial_port, unsigned int baud_rate, Fingerprint& fingerprint)
{
    NXPSerialClass isp;
    aErr err = isp.Connect(serial_port.c_str(), baud_rate);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", (int)err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", (int)err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; i++)
        fingerprint.words[i] = isp.DeviceSerialNumber()[i];
    return true;
}

// Writes the loader blocks through the i.MX ROM and jumps to the loader. 0, aErrNotReady (the
// transport could not be opened) or aErrConnection (a block could not be written); failure
// carries the reason in *why: empty when nothing on the port ever answered as a ROM.
aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& bird, std::string serial_port,
                               std::string* why = nullptr)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader loader;
    if (serial_port == "USB")
        loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    else
        loader.setLoader(new Serial_SDPLoader(serial_port));
    if (loader.init() != SDPLoader::SDP_OK) {
        if (why)
            *why = StepText("The i.MX ROM's port %s could not be opened", serial_port.c_str());
        return aErrNotReady;
    }
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    size_t index = 0;
    for (const BirdBlock& block : blocks) {
        uint32_t address = 0;
        std::vector<uint8_t> data;
        if (block.length >= 4) {
            address = sBE32(block.data);
            data.assign(block.data + 4, block.data + block.length);
        } else {
            data.assign(block.data, block.data + block.length);
        }
        Log::log(DEBUG_Updater, "Writting Block: %zu, size %zu, address: %d\b", index, data.size(), (int)address);
        const int result = loader.writeLoader(data, address);
        if (result != SDPLoader::SDP_OK) {
            if (why)
                *why = ImxLoaderFailure(result, index + 1, blocks.size(), data.size(), address, serial_port);
            return aErrConnection;
        }
        index++;
    }
    uint32_t entry = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_RECOVERY_START))
        if (block.length >= 4) {
            entry = sBE32(block.data);
            break;
        }
    loader.startLoader(entry);
    return aErrNone;
}

// Steps: check the request, choose the loader file, send it through the ROM and start it, find
// the started loader on USB, read its identifier, reset it when asked. Failure: the reason,
// empty when nothing answered as an i.MX ROM (or no loader could be had to try one).
StepResult _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string serial_port,
                                unsigned int serial_number, std::string bird_file, Fingerprint& fingerprint, bool reset)
{
    if (serial_number == 0)
        serial_number = NO_SERIAL_NUMBER;
    if (!bird_file.empty() && serial_number == NO_SERIAL_NUMBER)
        return StepResult::Fail("check",
                                "Add serial number or remove the bird filename to use a default recovery image.");
    BirdFile bird;
    bool stored = false;  // the loader is the device's latest download in the store
    try {
        UpdaterStore store(updater.Directory().c_str());
        UpdaterStoreItem item;
        bool known = store.FindDevice(serial_number, &item) && item.IsValid();
        if (!bird_file.empty()) {
            // A file that does not load says why (cut short, does not decompress, ...).
            const std::vector<std::string> problems =
                BirdCheck::FileProblems(bird_file.c_str(), BirdCheck::ForSending(false, true), &bird);
            if (!problems.empty())
                throw std::runtime_error(BirdCheck::Summary(problems));
        } else if (known) {
            stored = true;
            std::string latest = item.Settings().GetString(HistoryKeys::LATEST_DOWNLOAD, "");
            bird = item.ReadBirdFile(latest.c_str());
        } else {
            display.mute_messages(true);
            Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
            unsigned int build = updater.Download_Firmware(serial_number, "", false, false);
            display.mute_messages(false);
            if (!store.FindDevice(serial_number, &item))
                throw std::runtime_error("No loader for the device in the store");
            bird = item.ReadBirdFile((std::to_string(build) + ".bird").c_str());
        }
        // Only the loader blocks go to the ROM here.
        _require_sendable(display, bird, BirdCheck::ForSending(false, true));
    } catch (const std::exception& e) {
        display.mute_messages(false);
        Log::log(DEBUG_APP, "%s\n", e.what());
        if (!bird_file.empty())
            return StepResult::Fail("load", StepText("No loader for the i.MX ROM in %s: %s", bird_file.c_str(), e.what()));
        if (stored)
            return StepResult::Fail("load", StepText("No loader for the i.MX ROM in the store of %08X: %s",
                                                     serial_number, e.what()));
        return StepResult::Fail("load", "");
    }
    std::string why;
    if (_transfer_recovery_loader(display, bird, serial_port, &why) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return StepResult::Fail("loader", why);
    }
    // A started loader shows up under the placeholder serial number unless it carries the
    // device's own: both are tried, as the recovery's firmware transfer does.
    Module module(0, (uint8_t)0);
    const StepResult found = sConnectLoader(module, serial_number, updater.RestartWait());
    if (!found) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return found;
    }
    SystemClass system;
    system.init(&module, 0);
    for (uint8_t sub = 0; sub < 4; sub++) {
        uint32_t value = 0;
        const aErr err = system.getUEI32(OPTION_IDENTIFIER, sub, &value);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", (int)sub);
            return StepResult::Fail("identifier", StepText("The started loader did not give identifier word %d [%d, %s]",
                                                           (int)sub, (int)err, aError_GetErrorText(err)));
        }
        fingerprint.words[3 - sub] = value;
    }
    if (reset)
        system.reset();
    return StepResult::Ok();
}

namespace {

std::string sSectors(uint32_t first, uint32_t last)
{
    return "sectors " + std::to_string(first) + " to " + std::to_string(last);
}

// The LPC flash rewrite, step by step. Each failure names the port, the step (with its
// sectors or address) and what the chip answered.
class LpcRewrite {
  public:
    LpcRewrite(UpdaterDisplayInterface& display, const std::string& port, unsigned int serial_number)
        : display(display), port(port), device(serial_number != 0 ? StepText(" of %08X", serial_number) : "")
    {
    }

    StepResult Connect(unsigned int baud_rate)
    {
        const aErr err = isp.Connect(port.c_str(), baud_rate);
        if (err != aErrNone) {
            Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
            return Failed(err, "connect");
        }
        return StepResult::Ok();
    }

    StepResult Unlock()
    {
        Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
        const aErr err = isp.Unlock();
        if (err != aErrNone) {
            Log::log(DEBUG_Network, "Could not unlock\n");
            return Failed(err, "unlock");
        }
        return StepResult::Ok();
    }

    // Prepares and erases every sector.
    StepResult EraseAll()
    {
        Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
        aErr err = isp.Prepare(FIRST_SECTOR, LAST_SECTOR);
        if (err != aErrNone) {
            Log::log(DEBUG_Network, "Could not prepare\n");
            return Failed(err, "prepare " + sSectors(FIRST_SECTOR, LAST_SECTOR));
        }
        Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
        erased = true;  // from here on the flash may hold no firmware
        err = isp.Erase(FIRST_SECTOR, LAST_SECTOR);
        if (err != aErrNone) {
            Log::log(DEBUG_Network, "Could not erase\n");
            return Failed(err, "erase " + sSectors(FIRST_SECTOR, LAST_SECTOR));
        }
        return StepResult::Ok();
    }

    // One firmware block (its payload, to its flash address): per piece, write to RAM, prepare
    // its sectors, copy to flash.
    StepResult WriteBlock(const uint8_t* payload, uint32_t length, uint32_t flash, int number, int count)
    {
        display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number, count, (int)length);
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", (int)length, flash);
        const std::string block = "block " + std::to_string(number) + " of " + std::to_string(count);
        StepResult result;
        for (const LpcPiece& piece : LpcPieces(flash, length)) {
            Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", (int)piece.size, piece.flash);
            Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", (int)piece.size,
                     NXPSerialClass::WRITE_ADDRESS);
            // The copy to flash moves whole copy lengths: the staging buffer past the piece is
            // filled with the erased value, so nothing left over in RAM reaches the flash.
            std::vector<uint8_t> staged(piece.copy, 0xFF);
            memcpy(staged.data(), payload + piece.offset, piece.size);
            aErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, piece.copy, staged.data());
            if (err != aErrNone) {
                Log::log(DEBUG_Network, "\t Write to RAM failed\n");
                result = Failed(err, "write of " + block + " to RAM at " + StepText("0x%08X", NXPSerialClass::WRITE_ADDRESS));
                break;
            }
            Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", (int)piece.first_sector,
                     (int)piece.last_sector);
            err = isp.Prepare(piece.first_sector, piece.last_sector);
            if (err != aErrNone) {
                Log::log(DEBUG_Network, "\t Prepare failed\n");
                result = Failed(err, "prepare " + sSectors(piece.first_sector, piece.last_sector) + " for " + block);
                break;
            }
            Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", (int)piece.copy,
                     NXPSerialClass::WRITE_ADDRESS, piece.flash);
            err = isp.CopyToFlash(piece.flash, NXPSerialClass::WRITE_ADDRESS, piece.copy);
            if (err != aErrNone) {
                Log::log(DEBUG_Network, "\t Transfer to flash failed\n");
                result = Failed(err, "copy of " + block + " to flash at " + StepText("0x%08X", piece.flash));
                break;
            }
            display.update_progress((double)(piece.offset + piece.size) / length, "");
        }
        display.display_progress(false);
        return result;
    }

    // Echo back on, then the jump to the new firmware.
    StepResult Go(int count, long total)
    {
        display.message(INFO, "Transferred %d blocks, %d total bytes", count, (int)total);
        const aErr err = isp.SetEcho(true);
        if (err != aErrNone)
            return StepResult::Fail("go", StepText("Recovery Error transfering data to device ==> [%d, %s]", (int)err,
                                                   aError_GetErrorText(err)));
        display.message(INFO, "Rebooting Device");
        isp.ExecuteFrom(0);
        return StepResult::Ok();
    }

    NXPSerialClass isp;

  private:
    UpdaterDisplayInterface& display;
    std::string port;
    std::string device;  // " of SERIAL" when the device is known
    bool erased = false;

    StepResult Failed(aErr err, const std::string& step)
    {
        return StepResult::Fail(step, StepText("LPC recovery%s on %s failed at %s: %s", device.c_str(), port.c_str(), step.c_str(),
                                               LpcFailureReason(isp.LastReturnCode(), aError_GetErrorText(err), erased)
                                                   .c_str()));
    }
};

}  // namespace

// Steps: connect, unlock, prepare and erase every sector, then each firmware block (write to
// RAM, prepare, copy, per piece), then go. Failure: the reason, shown here, naming the device
// (serial_number, when known) and the port.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& serial_port,
                           unsigned int baud_rate, Fingerprint&, unsigned int serial_number = 0)
{
    LpcRewrite rewrite(display, serial_port, serial_number);
    StepResult result = rewrite.Connect(baud_rate);
    if (result)
        result = rewrite.Unlock();
    if (result)
        result = rewrite.EraseAll();
    if (result) {
        rewrite.isp.SetEcho(false);
        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.Filename().c_str());
        const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
        std::vector<uint32_t> lengths;
        for (const BirdBlock& block : blocks)
            lengths.push_back(block.length);
        const int count = LpcBlocksToSend(lengths);
        int number = 1;
        long total = 0;
        for (const BirdBlock& block : blocks) {
            if (block.length < 4)
                continue;
            if (block.length - 4 == 4)
                break;  // the end marker
            result = rewrite.WriteBlock(block.data + 4, block.length - 4, block.address, number, count);
            if (!result)
                break;
            total += block.length - 4;
            number++;
        }
        if (result)
            result = rewrite.Go(count, total);
    }
    _show_failure(display, result);
    return result.ok;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned int serial_number,
                           uint32_t restart_wait_s = 0)
{
    Module module(0, (uint8_t)0);
    const StepResult found = sConnectLoader(module, serial_number, restart_wait_s);
    if (!found) {
        display.message(ERROR, "Could not connect to device");
        _show_failure(display, found);
        return false;
    }
    if (_transfer_firmware(display, module, bird, serial_number) != aErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string serial_port, unsigned int serial_number,
                              std::string bird_file, unsigned int baud_rate, bool reset)
{
    fingerprint_failure.clear();
    if (_get_fingerprint_lpc(serial_port, baud_rate, fingerprint)) {
        chip_type = CHIP_LPC;
        return true;
    }
    chip_type = CHIP_IMX;
    const StepResult result = _get_fingerprint_imx(display, *this, serial_port, serial_number, bird_file, fingerprint,
                                                   reset);
    fingerprint_failure = result.reason;
    _show_failure(display, result);
    return result.ok;
}

std::string Updater::FingerprintHint(const std::string& serial_port) const
{
    if (!fingerprint_failure.empty())
        return std::string();
    return StepText("No fingerprint from a ROM bootloader on %s: is the device in recovery mode on that port?",
                    serial_port.c_str());
}

// Steps: check that the port is named, fingerprint the chip, ask the server which device and
// build it is (unless a file is given), check that nothing is missing, load the file, then the
// chip's own path (LPC flash rewrite or i.MX loader and firmware transfer).
bool Updater::Recover_Firmware(std::string serial_port, unsigned int build, unsigned int baud_rate,
                               unsigned int serial_number, std::string bird_file, bool)
{
    const uint64_t start = aTime_MonoMS();
    std::string missing = RecoveryMissing(serial_port, 1, 1, bird_file);
    if (!missing.empty()) {
        display.message(ERROR, "%s", missing.c_str());
        return false;
    }
    Fingerprint fingerprint;
    if (!Get_Fingerprint(fingerprint, serial_port, serial_number, bird_file, FINGERPRINT_BAUD, false)) {
        display.message(ERROR, "Could not get Device Identifier");
        const std::string hint = FingerprintHint(serial_port);
        if (!hint.empty())
            display.message(ERROR, "%s", hint.c_str());
        return false;
    }
    std::string server_failure;
    if (bird_file.empty()) {
        unsigned int server_build = build;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial_number, &server_build,
                                                  server_url.empty() ? nullptr : server_url.c_str()))
            server_failure = UpdateServerRequest::last_failure();
        if (build == 0)
            build = server_build;
    }
    missing = RecoveryMissing(serial_port, serial_number, build, bird_file);
    if (!missing.empty()) {
        display.message(ERROR, "%s%s%s", missing.c_str(), server_failure.empty() ? "" : ": ", server_failure.c_str());
        return false;
    }
    BirdFile bird;
    try {
        bird = load_bird("Recovering", bird_file, serial_number, build, true);
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    last_build = bird.GetBuild();  // what -V expects the recovered device to run
    if (bird.HasSerialNumberBlock()) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }
    bool result = false;
    switch (ChooseRecoveryPath(chip_type)) {
    case RecoveryPath::IMX:
        result = _recover_firmware_imx(display, bird, serial_number, restart_wait_s);
        break;
    case RecoveryPath::LPC:
        bird.DecodeFirmwareBlocks(fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                                  fingerprint.words[3]);
        result = _recover_firmware_lpc(display, bird, serial_port, baud_rate, fingerprint, serial_number);
        break;
    case RecoveryPath::UNKNOWN:
        display.message(ERROR, "Unknown device");
        return false;
    }
    display.message(INFO, "Update time: %.4f sec", (double)(aTime_MonoMS() - start) / 1000.0);
    return result;
}
