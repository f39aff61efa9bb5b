// The loader phase of an update: from LOAD until REBOOT a device runs only its loader. An
// update records in the device's settings that it entered this phase (which file and build,
// and how the device was reached) before LOAD, clears it once REBOOT was sent and leaves it with
// the reason when it stops. A later -D explains a device found in its loader by the record, and
// a later -U of the recorded device finishes the firmware transfer from the record.
//
// The decisions are pure functions over records; LoaderPhaseStore does the reading and writing.
#ifndef UPDATER_LOADERPHASE_H
#define UPDATER_LOADERPHASE_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "aLinkSpec.h"

class UpdaterStoreItem;

// The settings keys of the record, all in one place. An empty LOADER_PHASE means none.
namespace LoaderPhaseKey {
const char* const STATE = "LOADER_PHASE";  // "entered" or "failed"
const char* const FIRMWARE_FILE = "LOADER_PHASE_FILE";
const char* const BUILD = "LOADER_PHASE_BUILD";
const char* const STORED = "LOADER_PHASE_STORED";  // "1" when FIRMWARE_FILE is a build of the store
const char* const TRANSPORT = "LOADER_PHASE_TRANSPORT";  // "USB" or "TCPIP"
const char* const ADDRESS = "LOADER_PHASE_ADDRESS";  // dotted IPv4 address over TCP/IP
const char* const ROUTER = "LOADER_PHASE_ROUTER";  // a module behind a router: the router's serial number
const char* const MODULE = "LOADER_PHASE_MODULE";  // and the module's address on its network (hex)
const char* const REASON = "LOADER_PHASE_REASON";
const char* const DATE = "LOADER_PHASE_DATE";
}  // namespace LoaderPhaseKey

struct LoaderPhase {
    unsigned int serial_number = 0;
    std::string file;      // the path given, or "BUILD.bird" of the store
    bool stored = false;   // file names a build in the device's store directory
    unsigned int build = 0;
    linkType transport = INVALID;
    uint32_t address = 0;  // IPv4, network byte order (TCP/IP only)
    // A module reached through a router (transport and address are the router's): the router's
    // serial number and the module's address; 0 for a device reached directly.
    uint32_t router_serial_number = 0;
    uint8_t module_address = 0;
    bool failed = false;   // the update stopped and said why
    std::string reason;    // empty when the run that entered the phase never said (killed)
    std::string date;
};

// The key/value pairs that record the phase (state "entered", or "failed" with the reason).
std::vector<std::pair<std::string, std::string>> LoaderPhaseValues(const LoaderPhase& phase);
// The pairs that clear it: every key with an empty value.
std::vector<std::pair<std::string, std::string>> LoaderPhaseClearedValues();
// Reads the record of a device from its settings; false when none is recorded or it is
// unusable (no transport, no file, TCP/IP without an address, a router without a module
// address).
bool LoaderPhaseFromSettings(const std::map<std::string, std::string>& settings, unsigned int serial_number,
                             LoaderPhase* phase);

// "USB", "TCPIP"; the address as dotted text; the two read back (false for anything else).
const char* LoaderPhaseTransportName(linkType transport);
std::string LoaderPhaseAddressText(uint32_t address);
bool LoaderPhaseParseTransport(const std::string& text, linkType* transport);
bool LoaderPhaseParseAddress(const std::string& text, uint32_t* address);

// The recorded phases a loader found over the transport (at the address, for TCP/IP) may
// belong to: never a module behind a router, which discovery does not find.
std::vector<LoaderPhase> LoaderPhasesReachedAt(const std::vector<LoaderPhase>& phases, linkType transport,
                                               uint32_t address);
// Whether a device found at spec is reached the way the phase was recorded: over its transport
// and, for TCP/IP, at its address (never for a module behind a router).
bool LoaderPhaseReachedBy(const LoaderPhase& phase, const linkSpec& spec);
// The command that finishes the phase.
std::string LoaderPhaseFinishCommand(const LoaderPhase& phase);

// Why the firmware given for finishing the phase may not be sent: another build than the
// recorded one, unless overridden. Empty when it may.
std::string LoaderPhaseBuildProblem(const LoaderPhase& phase, unsigned int given_build, bool override);

// Why a loader found under the default serial number must not be taken for the phase being
// finished: another device's phase was recorded over the same transport and address. Empty
// when it may be taken.
std::string LoaderPhaseAmbiguity(const LoaderPhase& finishing, const std::vector<LoaderPhase>& phases);

// The refusal of an update addressed to the default serial number: it points at the recorded
// phases (or says there are none).
std::string LoaderSerialRefusal(const std::vector<LoaderPhase>& phases);

// What -D says of a device that answers in its loader (the default serial number, or a serial
// number with a recorded phase): one or more lines. Empty when the device is not in its loader.
// A module behind a router (router_serial_number not 0) is explained by the phases recorded at
// its module address behind that router.
std::vector<std::string> LoaderExplanation(unsigned int serial_number, linkType transport, uint32_t address,
                                           const std::vector<LoaderPhase>& phases, uint32_t router_serial_number = 0,
                                           uint8_t module_address = 0);

// The history reason of a phase that a killed run left without one.
std::string LoaderPhaseInterruption(const LoaderPhase& phase);

// Reading and writing the records in the store.
class LoaderPhaseStore {
  public:
    // Every device of the store rooted at root with a recorded phase, in serial-number order.
    static std::vector<LoaderPhase> All(const std::string& root);
    // Writes the values into the item's settings and saves them under the store lock. Empty
    // when written, else why not.
    static std::string Write(UpdaterStoreItem& item, const std::vector<std::pair<std::string, std::string>>& values);
};

#endif
