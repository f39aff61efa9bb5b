// What the update, download and recovery flows decide, apart from any input or output: each
// decision is a pure function of what the flow has learned so far. The flows (Updater_*.cpp) run
// named steps whose results carry the reason for a failure, and ask these functions what to do.
#ifndef UPDATER_UPDATER_STEPS_H
#define UPDATER_UPDATER_STEPS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "aLinkSpec.h"

// The result of one named step of a flow: success, or the step and why it failed.
struct StepResult {
    bool ok = true;
    std::string step;    // "connect", "validate", "loader", "download", ...
    std::string reason;  // in the user's terms

    static StepResult Ok() { return StepResult(); }
    static StepResult Fail(const std::string& step, const std::string& reason)
    {
        StepResult r;
        r.ok = false;
        r.step = step;
        r.reason = reason;
        return r;
    }
    explicit operator bool() const { return ok; }
};

// printf-style text for a step's reason.
std::string StepText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- the build an update installs ----

enum class BuildSource { FILE, REQUESTED, SERVER_LATEST, LATEST_DOWNLOAD, LATEST_TRANSFER, NONE };

struct BuildChoiceInput {
    bool file_given = false;             // -f
    unsigned int requested = 0;          // -b (or the build -G just stored), 0 for none
    unsigned int server_latest = 0;      // the server's latest build, 0 when it named none
    bool server_latest_stored = false;   // that build is in the device's store directory
    unsigned int latest_download = 0;    // from the history, 0 when none
    unsigned int latest_transfer = 0;    // from the history, 0 when none
};

struct BuildChoice {
    BuildSource source = BuildSource::NONE;
    unsigned int build = 0;
    bool newer_not_stored = false;  // the server has a newer build that is not stored
};

// The order: the file, the requested build, the server's latest when it is stored, the latest
// download, the latest transfer.
BuildChoice ChooseUpdateBuild(const BuildChoiceInput& input);

// ---- connecting, and finding a device again ----

// The transports a direct update tries, in order: USB, then TCP/IP.
std::vector<linkType> DirectTransportOrder();
// Whether a failed attempt over one transport lets the next be tried: only when the device was
// not found there (any other failure is the device's answer and ends the connect step).
bool TryNextTransport(int connect_error);

// One attempt to find a device again: by the link it was reached by (its known specifier), by
// connecting to a serial number over a transport, or by discovering it there first.
enum class FindHow { KNOWN_LINK, CONNECT, DISCOVER };
struct FindAttempt {
    FindHow how;
    linkType transport;
    uint32_t serial_number;
};
// The attempts of one round of finding a device that restarted (after LOAD or REBOOT, or a
// loader started from a ROM): the serial numbers in the order given, each once, over the
// transport. Serial number 0 is no device and is left out.
std::vector<FindAttempt> FindAgainRound(FindHow how, linkType transport, const std::vector<uint32_t>& serial_numbers);

// After LOAD: whether the device is sought again (it dropped its link), and which serial
// number over which transport: behind a router the router's, whose link the module shares.
struct SeekAgain {
    bool needed = false;
    uint32_t serial_number = 0;
    linkType transport = USB;
};
SeekAgain SeekAfterLoad(bool still_connected, uint32_t serial_number, uint32_t router_serial_number,
                        linkType reached_by);

// ---- sending the loader and the firmware ----

// Whether the loader transfer goes on after a loader block's PREPARE gave this result: a
// time-out is taken as given (a device may answer it late); any other error ends it.
bool LoaderPrepareGoesOn(int prepare_error);
// The line for a block that failed: verb "prepare" or "transfer", kind "loader" or
// "firmware", the block's number of count, the device, the error's code and text, and what the
// device answered (may be empty).
std::string BlockFailure(const char* verb, const char* kind, int number, int count, uint32_t serial_number,
                         int error, const char* error_text, const std::string& answer);

// ---- recovery ----

enum class RecoveryPath { LPC, IMX, UNKNOWN };
// The recovery path for the chip the fingerprint found (2 LPC, 1 i.MX).
RecoveryPath ChooseRecoveryPath(uint8_t chip_type);
// Where the recovered firmware comes up as a device, for -V: an i.MX's on USB, where its loader
// took the firmware; an LPC's ROM speaks only on its serial line, so its firmware is looked for
// over USB and TCP/IP. None for an unknown chip.
std::vector<linkType> RecoveredDeviceTransports(RecoveryPath path);

// What recovery is missing before it may touch the chip: empty when it can go on.
// serial_port: -s; serial_number: the device's (given or from the server); build and file: what
// the firmware comes from.
std::string RecoveryMissing(const std::string& serial_port, unsigned int serial_number, unsigned int build,
                            const std::string& bird_file);

// ---- history ----

// The keys and values a successful update records (the file's path as given, or the stored
// build's name), at the time text given.
std::vector<std::pair<std::string, std::string>> TransferHistory(const std::string& bird_file, unsigned int build,
                                                                 const std::string& time_text);
// The keys and values a kept download records.
std::vector<std::pair<std::string, std::string>> DownloadHistory(unsigned int build, const std::string& time_text);

// Why a loader block sent through an i.MX ROM failed (an SDPLoader result, the block's number of
// count, its bytes and load address, the port). Empty when the first block found nothing that
// answers: then nothing on the port is an i.MX ROM, and there is no step to name.
std::string ImxLoaderFailure(int sdp_result, size_t number, size_t count, size_t bytes, uint32_t address,
                             const std::string& port);

// ---- LPC flash rewrite ----

// One piece of a firmware block on its way to flash: staged in RAM, prepared, copied.
struct LpcPiece {
    uint32_t offset;        // into the block's payload
    uint32_t size;          // payload bytes in this piece
    uint32_t copy;          // bytes copied to flash (a length the chip can copy)
    uint32_t flash;         // flash address
    uint32_t first_sector, last_sector;  // sectors the copy touches
};
// A payload of length bytes written from flash_address in pieces of at most 4096 bytes.
std::vector<LpcPiece> LpcPieces(uint32_t flash_address, uint32_t length);
// How many firmware blocks (by their lengths: 4 bytes of address, then the payload) are sent:
// those before the end marker (a payload of 4 bytes); blocks shorter than 4 bytes are skipped.
int LpcBlocksToSend(const std::vector<uint32_t>& block_lengths);
// Why a step of the rewrite failed: the chip's return code and its name, or that it did not
// answer; once the erase has begun, that the chip is erased and the recovery must run again.
std::string LpcFailureReason(int return_code, const char* error_text, bool erased);

// The names of an LPC ISP return code ("SECTOR_NOT_BLANK", ...); "UNKNOWN" for others.
const char* LpcReturnCodeName(int code);

#endif
