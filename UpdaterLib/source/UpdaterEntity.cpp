// UpdaterEntity: the upgrade entity exchanges.
#include "UpdaterEntity.h"

#include "FindAgain.h"

#include <cstring>

#include "Log.h"
#include "SystemClass.h"
#include "aError.h"
#include "aTime.h"

using Vantorix::Strandix::Module;

namespace {

uint32_t sBigEndian32(const uint8_t* b)
{
    return ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | (uint32_t)b[3];
}

uint32_t sLittleEndian32(const uint8_t* b)
{
    return ((uint32_t)b[3] << 24) | ((uint32_t)b[2] << 16) | ((uint32_t)b[1] << 8) | (uint32_t)b[0];
}

const uint8_t sMatchInit[] = {cmdUPGRADE, val_UPGRADE_INIT};
const uint8_t sMatchData[] = {cmdUPGRADE, val_UPGRADE_DATA};
const uint8_t sMatchLoad[] = {cmdUPGRADE, val_UPGRADE_LOAD};
const uint8_t sMatchStatus[] = {cmdUPGRADE, val_UPGRADE_STATUS};

// Sends the one-byte upgrade operation `op` (named `name` in the log) for the step `step`.
aErr sSendOperation(UpdaterEntity& entity, const char* step, uint8_t op, const char* name)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: %s {cmdUPGRADE, val_%s}\n", step, name);
    const uint8_t data[] = {op};
    aErr err = entity.sendPacket(cmdUPGRADE, sizeof(data), data);
    if (err != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending %s (%d)\n", name, (int)err);
    return err;
}

}  // namespace

UpdaterEntity::UpdaterEntity() = default;

void UpdaterEntity::init(Module* module, unsigned char index, bool validate)
{
    m_module = module;
    m_validate = validate;
    EntityClass::init(module, cmdUPGRADE, index);
}

// Waits for a status reply (0x5F 0x07 ...); reply has room for a whole packet.
aErr UpdaterEntity::_status_reply(uint8_t* reply, uint8_t& length)
{
    length = sizeof(sMatchStatus);
    return receivePacket(sMatchStatus, &length, reply);
}

aErr UpdaterEntity::LoaderInit()
{
    aErr err = sSendOperation(*this, "Loader Initialization", val_UPGRADE_INIT, "UPGRADE_INIT");
    if (err != aErrNone)
        return err;
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    uint8_t length = sizeof(sMatchInit);
    err = receivePacket(sMatchInit, &length, reply);
    if (err != aErrNone)
        return err;
    if (length < 6)
        return aErrPacket;
    const uint32_t base = sBigEndian32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", (int)base, base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", (int)length, flags, (int)blockSize);
    m_problem.clear();
    if (!data || length < 4)
        return aErrParam;
    const uint32_t address = sBigEndian32(data);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
             data[0], data[1], data[2], data[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", (int)address);
    const uint8_t op[] = {val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
    aErr err = sendPacket(cmdUPGRADE, sizeof(op), op);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", (int)err);
        return err;
    }
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    uint8_t replyLength = 0;
    err = _status_reply(reply, replyLength);
    if (err != aErrNone)
        return err;
    if (replyLength < 5 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        m_problem = replyLength >= 3 ? "the device refused it with status " + std::to_string(reply[2])
                                     : std::string("the device's answer was too short");
        return aErrInvalidOption;
    }
    blockSize = (uint16_t)((reply[3] << 8) | reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", (int)blockSize);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    m_problem.clear();
    uint32_t remaining = length;
    uint32_t sum = 0;
    int repeats = 0;
    aErr err = aErrNone;
    uint8_t op[1 + kDataChunk];
    op[0] = val_UPGRADE_DATA;
    while (remaining > 0 && err == aErrNone) {
        const uint32_t chunk = remaining < kDataChunk ? remaining : kDataChunk;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", (int)chunk);
        memcpy(op + 1, data, chunk);
        err = sendPacket(cmdUPGRADE, (uint8_t)(1 + chunk), op);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", (int)err);
            return err;
        }
        uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
        uint8_t replyLength = sizeof(sMatchData);
        if (receivePacket(sMatchData, &replyLength, reply) != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            m_problem = "no answer to a data packet";
            err = aErrPacket;
            break;
        }
        const int count = replyLength >= 3 ? reply[2] : -1;
        if (count != (int)chunk) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", count,
                     (int)chunk);
            // The same chunk goes again, but a device that never takes it must not keep us here.
            if (++repeats > kMaxDataRepeats) {
                Log::log(0, "NETWORK: Device did not accept %d data bytes after %d attempts.\n", (int)chunk,
                         repeats);
                m_problem = "the device did not take " + std::to_string(chunk) + " data bytes in " +
                            std::to_string(repeats) + " attempts";
                err = aErrPacket;
            }
            continue;
        }
        repeats = 0;
        for (uint32_t i = 0; i < chunk; i++)
            sum += data[i];
        data += chunk;
        remaining -= chunk;
        packets++;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", (int)chunk,
                 (int)remaining, (int)length);
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", (int)(length - remaining), (int)length);
    if (err != aErrNone || !m_validate)
        return err;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t sumOp[] = {val_UPGRADE_SUM};
    (void)sendPacket(cmdUPGRADE, sizeof(sumOp), sumOp);
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    uint8_t replyLength = 0;
    if (_status_reply(reply, replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        m_problem = "no answer to the checksum request";
        return aErrPacket;
    }
    const uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
    const uint32_t deviceSum = replyLength >= 7 ? sBigEndian32(reply + 3) : ~sum;
    if (status == 0 && deviceSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 deviceSum, (int)packets);
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, deviceSum);
    char text[96];
    snprintf(text, sizeof(text), "checksum mismatch: the device summed %08X, %08X was sent (status %u)", deviceSum,
             sum, (unsigned)status);
    m_problem = text;
    return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length)
{
    if (!data || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", sLittleEndian32(data),
             (int)(length - 4));
    uint32_t packets = 0;
    return _block_transfer(data + 4, length - 4, packets);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display)
{
    if (!data || length < 4)
        return aErrParam;
    // A device that names no block size gets the bytes one DATA packet at a time.
    const uint32_t piece = blockSize == 0 ? kDataChunk : blockSize;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", sBigEndian32(data),
             (int)(length - 4));
    uint32_t remaining = length - 4;
    const uint8_t* position = data + 4;
    aErr err = aErrNone;
    uint32_t packets = 0;
    Log::timestamped = false;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        const uint32_t n = remaining < piece ? remaining : piece;
        err = _block_transfer(position, n, packets);
        if (err != aErrNone)
            break;
        remaining -= n;
        position += n;
        display.update_progress((double)(length - remaining) / (double)length, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", (int)n,
                 (int)remaining, (int)length);
        err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", (int)(length - remaining), (int)length);
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", (int)length);
    const uint8_t op[] = {val_UPGRADE_WRITE, (uint8_t)(length >> 8), (uint8_t)length};
    aErr err = sendPacket(cmdUPGRADE, sizeof(op), op);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", (int)err,
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    uint8_t replyLength = 0;
    err = _status_reply(reply, replyLength);
    if (err == aErrNone && replyLength >= 3 && reply[2] == 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    m_problem = err != aErrNone        ? std::string("no answer to the write request")
                : replyLength >= 3 ? "the device did not write " + std::to_string(length) + " bytes (status " +
                                         std::to_string(reply[2]) + ")"
                                   : std::string("the device's answer to the write request was too short");
    return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderStart()
{
    aErr err = sSendOperation(*this, "Loader Start", val_UPGRADE_LOAD, "UPGRADE_LOAD");
    if (err != aErrNone)
        return err;
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    uint8_t length = sizeof(sMatchLoad);
    if (receivePacket(sMatchLoad, &length, reply) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    if (m_module && m_module->isRouted()) {
        // The router's link stays up: the module is seen restarting instead.
        err = _await_restart(kRestartSilentWaitMs, kRestartBackWaitMs, nullptr);
        if (err != aErrNone)
            return aErrTimeout;
        length = sizeof(sMatchLoad);
        if (receivePacket(sMatchLoad, &length, reply) == aErrNone)
            Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (after restart)\n");
        return aErrNone;
    }
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", (int)err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    length = sizeof(sMatchLoad);
    err = receivePacket(sMatchLoad, &length, reply);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", (int)err,
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs)
{
    if (!m_module)
        return aErrInitialization;
    // The device is sought again over the transport it was reached by: first at its known
    // link, then under the loader's default serial number.
    linkSpec spec{};
    linkType transport = USB;
    if (m_module->getLinkSpecifier(&spec) == aErrNone && spec.type != INVALID)
        transport = spec.type;
    const uint32_t serial = spec.serial_number != 0 ? spec.serial_number : kDefaultSerialNumber;
    aErr err = FindDeviceAgain(*m_module, FindAgainRound(FindHow::KNOWN_LINK, transport, {serial}),
                               kReconnectAttempts, delayMs, m_findDeadlineMs);
    if (err == aErrNone)
        return aErrNone;
    return FindDeviceAgain(*m_module, FindAgainRound(FindHow::CONNECT, transport, {kDefaultSerialNumber}),
                           kReconnectAttempts, delayMs, m_findDeadlineMs);
}

bool UpdaterEntity::_answers()
{
    Vantorix::Strandix::SystemClass system;
    system.init(m_module, 0);
    uint32_t serial = 0;
    return system.getSerialNumber(&serial) == aErrNone;
}

aErr UpdaterEntity::_await_restart(uint32_t silentWaitMs, uint32_t backWaitMs, UpdaterDisplayInterface* display)
{
    if (!m_module)
        return aErrInitialization;
    const uint64_t silentBy = aTime_MonoMS() + silentWaitMs;
    while (_answers()) {
        if (aTime_MonoMS() >= silentBy) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: module %02X kept answering\n", m_module->getModuleAddress());
            return aErrTimeout;
        }
        if (display)
            display->update_spinner(true, "Verifying Update");
        aTime_MSSleep(kRebootPollMs);
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: module %02X is restarting\n", m_module->getModuleAddress());
    const uint64_t backBy = aTime_MonoMS() + backWaitMs;
    while (!_answers()) {
        if (aTime_MonoMS() >= backBy) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: module %02X did not come back\n", m_module->getModuleAddress());
            return aErrNotFound;
        }
        if (display)
            display->update_spinner(true, "Verifying Update");
        aTime_MSSleep(kRebootPollMs);
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: module %02X answers again\n", m_module->getModuleAddress());
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t op[] = {val_UPGRADE_REBOOT};
    aErr err = sendPacket(cmdUPGRADE, sizeof(op), op);
    if (err != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    if (err == aErrNone && m_module && m_module->isRouted()) {
        // Through a router the link stays up: the module must go silent and answer again.
        err = _await_restart(kRestartSilentWaitMs, m_rebootWaitMs, &display);
        display.update_spinner(false, "Verifying Update");
        if (err == aErrTimeout)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Module %02X did not restart: it kept answering %.1f s after the reboot request",
                            m_module->getModuleAddress(), kRestartSilentWaitMs / 1000.0);
        else if (err != aErrNone)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Module %02X did not answer again within %.1f s after the reboot request",
                            m_module->getModuleAddress(), m_rebootWaitMs / 1000.0);
        return err;
    }
    const uint64_t deadline = aTime_MonoMS() + m_rebootWaitMs;
    while (err == aErrNone && m_module && m_module->isConnected()) {
        if (aTime_MonoMS() >= deadline) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Device did not restart: its link stayed up %.1f s after the reboot request",
                            m_rebootWaitMs / 1000.0);
            err = aErrTimeout;
            break;
        }
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    }
    display.update_spinner(false, "Verifying Update");
    return err;
}
