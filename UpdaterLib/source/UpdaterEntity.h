// The upgrade entity of a running device (command cmdUPGRADE): initialises the device's loader,
// prepares each image block, streams its bytes in DATA packets of at most 26 bytes with an
// additive checksum check, has firmware pieces written, starts a transferred loader
// (reconnecting when the device drops off) and reboots the device.
//
// Image blocks are handed in as stored in a BIRD file: 4 bytes of load address (big-endian)
// followed by the bytes to transfer. The address travels only in PREPARE.
//
// Each operation is usable on its own, so a device that was started some other way (a loader
// brought up through a ROM bootloader) can receive its firmware through the same steps.
#ifndef UPDATER_UPDATERENTITY_H
#define UPDATER_UPDATERENTITY_H

#include <cstdint>
#include <string>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"

constexpr uint8_t cmdUPGRADE = 0x5F;

enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
};

class UpdaterEntity : public Vantorix::Strandix::EntityClass {
  public:
    // Most image bytes in one DATA packet.
    static constexpr uint32_t kDataChunk = 26;
    // A DATA reply with a wrong count makes the same chunk go again, at most this many times.
    static constexpr int kMaxDataRepeats = 16;
    // LoaderReboot waits at most this long for the link to drop.
    static constexpr uint32_t kRebootWaitMs = 30000;
    static constexpr uint32_t kRebootPollMs = 250;
    // _reconnect: attempts at the known serial number, then at the default one.
    static constexpr int kReconnectAttempts = 5;
    static constexpr uint32_t kDefaultSerialNumber = 0xDEADDEAD;
    // Through a router: how long a module restarting into its loader may take to go silent,
    // and to answer again.
    static constexpr uint32_t kRestartSilentWaitMs = 5000;
    static constexpr uint32_t kRestartBackWaitMs = 30000;

    UpdaterEntity();

    void init(Vantorix::Strandix::Module* module, unsigned char index, bool validate);
    Vantorix::Strandix::Module* module() const { return m_module; }
    bool validating() const { return m_validate; }

    aErr LoaderInit();
    aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize);
    aErr LoaderTransfer(const uint8_t* data, uint32_t length);
    aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint32_t length);
    aErr LoaderStart();
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    // The time LoaderReboot waits for the link to drop (tests shorten it).
    void setRebootWait(uint32_t ms) { m_rebootWaitMs = ms; }
    // A monotonic deadline (milliseconds, 0 for none) after which LoaderStart stops seeking a
    // device that dropped its link; its rounds bound the wait as well.
    void setFindDeadline(uint64_t deadlineMs) { m_findDeadlineMs = deadlineMs; }
    // What the device answered when the last PREPARE or block transfer failed, in the user's
    // terms (a refusal, a checksum that differs, no answer); empty when it said nothing more.
    const std::string& lastProblem() const { return m_problem; }

  private:
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets);
    aErr _reconnect(uint32_t delayMs);
    // A module behind a router restarts without its link going down: waits (each bounded) for
    // it to stop answering, then to answer again. aErrTimeout when it kept answering,
    // aErrNotFound when it did not come back.
    aErr _await_restart(uint32_t silentWaitMs, uint32_t backWaitMs, UpdaterDisplayInterface* display);
    bool _answers();
    aErr _status_reply(uint8_t* reply, uint8_t& length);

    Vantorix::Strandix::Module* m_module = nullptr;
    bool m_validate = true;
    uint32_t m_rebootWaitMs = kRebootWaitMs;
    uint64_t m_findDeadlineMs = 0;
    std::string m_problem;
};

#endif
