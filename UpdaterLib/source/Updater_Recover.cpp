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
const uint32_t PIECE_SIZE = 4096;
const uint32_t FIRST_SECTOR = 0, LAST_SECTOR = 29;
const uint8_t CHIP_IMX = 1, CHIP_LPC = 2;
const uint8_t OPTION_IDENTIFIER = 39;
const int CONNECT_TRIES = 15;
const uint32_t CONNECT_PAUSE_MS = 1000;

uint32_t sBE32(const uint8_t* p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }

// Connects to a loader started from the ROM over USB: up to 15 rounds a second apart, each
// trying the placeholder serial number first and then the device's own.
bool sConnectLoader(Module& module, unsigned int serial_number)
{
    return FindDeviceAgain(module, FindAgainRound(FindHow::CONNECT, USB, {NO_SERIAL_NUMBER, serial_number}),
                           CONNECT_TRIES, CONNECT_PAUSE_MS) == aErrNone;
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

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& bird, std::string serial_port)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader loader;
    if (serial_port == "USB")
        loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    else
        loader.setLoader(new Serial_SDPLoader(serial_port));
    if (loader.init() != SDPLoader::SDP_OK)
        return aErrNotReady;
    size_t index = 0;
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER)) {
        uint32_t address = 0;
        std::vector<uint8_t> data;
        if (block.length >= 4) {
            address = sBE32(block.data);
            data.assign(block.data + 4, block.data + block.length);
        } else {
            data.assign(block.data, block.data + block.length);
        }
        Log::log(DEBUG_Updater, "Writting Block: %zu, size %zu, address: %d\b", index, data.size(), (int)address);
        if (loader.writeLoader(data, address) != SDPLoader::SDP_OK)
            return aErrConnection;
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

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string serial_port,
                          unsigned int serial_number, std::string bird_file, Fingerprint& fingerprint, bool reset)
{
    if (serial_number == 0)
        serial_number = NO_SERIAL_NUMBER;
    if (!bird_file.empty() && serial_number == NO_SERIAL_NUMBER) {
        display.message(ERROR, "Add serial number or remove the bird filename to use a default recovery image.");
        return false;
    }
    BirdFile bird;
    try {
        UpdaterStore store(updater.Directory().c_str());
        UpdaterStoreItem item;
        bool known = store.FindDevice(serial_number, &item) && item.IsValid();
        if (!bird_file.empty()) {
            bird = BirdFile(bird_file.c_str());
        } else if (known) {
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
        return false;
    }
    if (_transfer_recovery_loader(display, bird, serial_port) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }
    // A started loader shows up under the placeholder serial number unless it carries the
    // device's own: both are tried, as the recovery's firmware transfer does.
    Module module(0, (uint8_t)0);
    if (!sConnectLoader(module, serial_number)) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    for (uint8_t sub = 0; sub < 4; sub++) {
        uint32_t value = 0;
        if (system.getUEI32(OPTION_IDENTIFIER, sub, &value) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", (int)sub);
            return false;
        }
        fingerprint.words[3 - sub] = value;
    }
    if (reset)
        system.reset();
    return true;
}

// Says which step of the LPC flash rewrite failed, where, and what the chip answered (its
// return code and the code's name, or that it did not answer); once the erase has begun the
// flash holds no firmware, and the user is told to run the recovery again. Returns false.
static bool sLpcFailed(UpdaterDisplayInterface& display, const NXPSerialClass& isp, aErr err, const std::string& step,
                bool erased)
{
    const int code = isp.LastReturnCode();
    std::string answer;
    if (code >= 0)
        answer = "the chip answered return code " + std::to_string(code) + " " + LpcReturnCodeName(code);
    else
        answer = std::string("no answer from the chip (") + aError_GetErrorText(err) + ")";
    display.message(ERROR, "LPC recovery failed at %s: %s%s", step.c_str(), answer.c_str(),
                    erased ? "; the chip is erased; run the recovery again" : "");
    return false;
}

static std::string sSectors(uint32_t first, uint32_t last)
{
    return "sectors " + std::to_string(first) + " to " + std::to_string(last);
}

static std::string sHex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// Steps: connect, unlock, prepare and erase every sector, then for each piece of each firmware
// block: write to RAM, prepare its sectors, copy to flash; then go.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& serial_port,
                           unsigned int baud_rate, Fingerprint&)
{
    NXPSerialClass isp;
    aErr err = isp.Connect(serial_port.c_str(), baud_rate);
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", serial_port.c_str());
        return sLpcFailed(display, isp, err, "connect to " + serial_port, false);
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if ((err = isp.Unlock()) != aErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return sLpcFailed(display, isp, err, "unlock", false);
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if ((err = isp.Prepare(FIRST_SECTOR, LAST_SECTOR)) != aErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return sLpcFailed(display, isp, err, "prepare " + sSectors(FIRST_SECTOR, LAST_SECTOR), false);
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if ((err = isp.Erase(FIRST_SECTOR, LAST_SECTOR)) != aErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return sLpcFailed(display, isp, err, "erase " + sSectors(FIRST_SECTOR, LAST_SECTOR), true);
    }
    isp.SetEcho(false);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.Filename().c_str());
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    // The blocks sent are those before the end marker (a 4-byte payload). With the marker as
    // the file's last block that is the block count less one; a file without it, or with blocks
    // behind it, is still counted as what is really sent.
    int count = 0;
    for (const BirdBlock& block : blocks) {
        if (block.length == 8)
            break;
        if (block.length >= 4)
            count++;
    }
    int number = 1;
    long total = 0;
    for (const BirdBlock& block : blocks) {
        if (block.length < 4)
            continue;
        const uint8_t* payload = block.data + 4;
        const uint32_t length = block.length - 4;
        if (length == 4)
            break;  // the end marker
        uint32_t flash = block.address;
        display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number, count, (int)length);
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", (int)length, flash);
        uint32_t offset = 0;
        while (offset < length) {
            const uint32_t size = length - offset < PIECE_SIZE ? length - offset : PIECE_SIZE;
            const uint32_t copy = NXPSerialClass::CopyLength(size);
            Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", (int)size, flash);
            Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", (int)size, NXPSerialClass::WRITE_ADDRESS);
            // The copy to flash moves whole copy lengths: the staging buffer past the piece is
            // filled with the erased value, so nothing left over in RAM reaches the flash.
            std::vector<uint8_t> piece(copy, 0xFF);
            memcpy(piece.data(), payload + offset, size);
            if ((err = isp.Write(NXPSerialClass::WRITE_ADDRESS, copy, piece.data())) != aErrNone) {
                Log::log(DEBUG_Network, "\t Write to RAM failed\n");
                display.display_progress(false);
                return sLpcFailed(display, isp, err,
                                  "write of block " + std::to_string(number) + " of " + std::to_string(count) +
                                      " to RAM at " + sHex(NXPSerialClass::WRITE_ADDRESS),
                                  true);
            }
            const uint32_t first = NXPSerialClass::SectorFromAddress(flash);
            const uint32_t last = NXPSerialClass::SectorFromAddress(flash + copy - 1);
            Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", (int)first, (int)last);
            if ((err = isp.Prepare(first, last)) != aErrNone) {
                Log::log(DEBUG_Network, "\t Prepare failed\n");
                display.display_progress(false);
                return sLpcFailed(display, isp, err, "prepare " + sSectors(first, last) + " for block " +
                                                         std::to_string(number) + " of " + std::to_string(count),
                                  true);
            }
            Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", (int)copy, NXPSerialClass::WRITE_ADDRESS,
                     flash);
            if ((err = isp.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS, copy)) != aErrNone) {
                Log::log(DEBUG_Network, "\t Transfer to flash failed\n");
                display.display_progress(false);
                return sLpcFailed(display, isp, err,
                                  "copy of block " + std::to_string(number) + " of " + std::to_string(count) +
                                      " to flash at " + sHex(flash),
                                  true);
            }
            offset += size;
            flash += size;
            display.update_progress((double)offset / length, "");
        }
        display.display_progress(false);
        total += length;
        number++;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", count, (int)total);
    err = isp.SetEcho(true);
    if (err != aErrNone) {
        display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", (int)err,
                        aError_GetErrorText(err));
        return false;
    }
    display.message(INFO, "Rebooting Device");
    isp.ExecuteFrom(0);
    return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned int serial_number)
{
    Module module(0, (uint8_t)0);
    if (!sConnectLoader(module, serial_number)) {
        display.message(ERROR, "Could not connect to device");
        display.message(ERROR, "The started loader did not appear on USB as DEADDEAD or %08X within %d s",
                        serial_number, CONNECT_TRIES * (int)CONNECT_PAUSE_MS / 1000);
        return false;
    }
    if (_transfer_firmware(display, module, bird) != aErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string serial_port, unsigned int serial_number,
                              std::string bird_file, unsigned int baud_rate, bool reset)
{
    if (_get_fingerprint_lpc(serial_port, baud_rate, fingerprint)) {
        chip_type = CHIP_LPC;
        return true;
    }
    chip_type = CHIP_IMX;
    return _get_fingerprint_imx(display, *this, serial_port, serial_number, bird_file, fingerprint, reset);
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
        display.message(ERROR, "No fingerprint from a ROM bootloader on %s: is the device in recovery mode on that port?",
                        serial_port.c_str());
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
    if (bird.HasSerialNumberBlock()) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }
    bool result = false;
    switch (ChooseRecoveryPath(chip_type)) {
    case RecoveryPath::IMX:
        result = _recover_firmware_imx(display, bird, serial_number);
        break;
    case RecoveryPath::LPC:
        bird.DecodeFirmwareBlocks(fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                                  fingerprint.words[3]);
        result = _recover_firmware_lpc(display, bird, serial_port, baud_rate, fingerprint);
        break;
    case RecoveryPath::UNKNOWN:
        display.message(ERROR, "Unknown device");
        return false;
    }
    display.message(INFO, "Update time: %.4f sec", (double)(aTime_MonoMS() - start) / 1000.0);
    return result;
}
