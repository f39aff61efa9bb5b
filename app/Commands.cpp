#include "Commands.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "BirdCheck.h"
#include "BirdFile.h"
#include "History.h"
#include "Log.h"
#include "Reports.h"
#include "RomEcho.h"
#include "Updater.h"
#include "aDirectory.h"
#include "path.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// -N: fingerprint of a chip in its ROM bootloader. Returns the status (0 or 1); exits through
// *stop when the command line cannot be carried out.
int sFingerprint(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params, bool& stop)
{
    if (params.serial_port.empty()) {
        display.message(ERROR, "Must specify the serial port used for connecting");
        stop = true;
        return 1;
    }
    Fingerprint fingerprint;
    if (!updater.Get_Fingerprint(fingerprint, params.serial_port, 0xDEADDEAD, params.bird_file, params.baud_rate,
                                 true)) {
        display.message(ERROR, "Got no response from chip");
        display.message(ERROR, "No fingerprint from a ROM bootloader on %s: is the device in recovery mode on that port?",
                        params.serial_port.c_str());
        return 1;
    }
    _display_fingerprint(display, fingerprint);
    return 0;
}

// -G: download a build into the store. On success params.build becomes the stored build.
int sGet(CommandDisplay& display, Updater& updater, Parameters& params, bool& stop)
{
    if (params.serial_number == 0) {
        display.message(ERROR, "-G must specify a specific device via -d");
        display.message(ERROR, "--help for usage information");
        stop = true;
        return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", params.serial_number);
    if (params.build.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", params.build.c_str());
    }
    display.StartCommand();
    unsigned int stored = updater.Download_Firmware(params.serial_number, params.build, params.override_model_checks, false);
    HistoryEntry entry;
    entry.action = "download";
    entry.target = stored != 0 ? std::to_string(stored) + ".bird" : params.build.empty() ? "latest build" : "build " + params.build;
    entry.succeeded = stored != 0;
    entry.reason = display.Reason();
    entry.message = params.log_message;
    _record_history(display, updater.Directory(), params.serial_number, entry);
    if (stored == 0)
        return 1;
    params.build = std::to_string(stored);  // a following -U updates to exactly this build
    return 0;
}

// -I: the stored information of one device; 1 with a message when the store holds nothing.
int sShowStored(UpdaterDisplayInterface& display, Updater& updater, unsigned int serial_number)
{
    StoredDevice stored;
    if (!updater.Get_Stored_Device(serial_number, stored)) {
        display.message(ERROR, "No stored information for device %08X", serial_number);
        return 1;
    }
    _display_stored_device(display, stored);
    return 0;
}

// -D: discovery and the device list; what was found is recorded in the store, and with -I
// each found device's stored information follows. 1 only when recording or -I failed.
int sDiscover(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params)
{
    linkType transport = (params.transport_given && params.transport != TRANSPORT_RECOVER) ? params.transport : 0;
    std::vector<DeviceInfo> devices;
    if (params.router_serial_number != 0) {
        display.message(INFO, "Searching for Strandix Network devices connected to %08X",
                        params.router_serial_number);
        devices = updater.Discover_SXNetwork_Devices(params.router_serial_number, transport);
        // The modules behind the router are reached over the router's own transport.
        _display_device_list(display, devices, devices.empty() ? transport : devices.front().spec.type);
    } else {
        display.message(INFO, "Searching for Strandix devices");
        if (transport == 0)
            transport = USB;
        devices = updater.Discover_Devices(transport);
        _display_device_list(display, devices, transport);
    }
    int status = updater.Record_Devices(devices) ? 0 : 1;
    if (params.commands.IsSet(CMD_INFO))
        for (const DeviceInfo& device : devices)
            status |= sShowStored(display, updater, device.spec.serial_number);
    return status;
}

// -I without -D: the device given by -d.
int sInfo(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params)
{
    if (params.serial_number == 0) {
        display.message(ERROR, "-I must either use DISCOVER command [\"-D\"] or specify a specific device [\"-d\" option]");
        return 1;
    }
    return sShowStored(display, updater, params.serial_number);
}

// -C: checks a BIRD file without a device (with -d also against the device's model in the
// store). 0 when an update would accept it, 1 with every problem otherwise.
int sCheck(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params)
{
    if (params.bird_file.empty()) {
        display.message(ERROR, "-C must specify the BIRD file to check with -f");
        return 1;
    }
    BirdFile bird;
    std::vector<std::string> problems = BirdCheck::FileProblems(params.bird_file.c_str(), BirdCheck::Options(), &bird);
    if (bird.Failure() == BirdFile::LOAD_OK) {
        _display_bird_summary(display, params.bird_file, bird);
        if (params.serial_number != 0) {
            std::vector<std::string> more = updater.Check_Against_Store(bird, params.serial_number);
            problems.insert(problems.end(), more.begin(), more.end());
        }
    }
    for (const std::string& problem : problems)
        display.message(ERROR, "Problem: %s", problem.c_str());
    if (!problems.empty()) {
        display.message(ERROR, "BIRD file %s would be refused for an update: %s", params.bird_file.c_str(),
                        BirdCheck::Summary(problems).c_str());
        return 1;
    }
    if (params.serial_number != 0)
        display.message(INFO, "BIRD file %s would be accepted for an update of device %08X", params.bird_file.c_str(),
                        params.serial_number);
    else
        display.message(INFO, "BIRD file %s would be accepted for an update", params.bird_file.c_str());
    return 0;
}

uint32_t sBuildNumber(const std::string& build)
{
    const char* end = nullptr;
    return build.empty() ? 0 : _get_int_arg(build.c_str(), &end);
}

// The history line of an update or recovery that ran.
void sRecordUpdate(CommandDisplay& display, Updater& updater, const Parameters& params, const char* action,
                   bool succeeded)
{
    HistoryEntry entry;
    entry.action = action;
    entry.target = updater.LastFirmware();
    if (entry.target.empty())
        entry.target = !params.bird_file.empty() ? params.bird_file : !params.build.empty() ? "build " + params.build : "";
    entry.succeeded = succeeded;
    entry.reason = display.Reason();
    entry.message = params.log_message;
    const unsigned int serial = updater.LastSerialNumber() != 0 ? updater.LastSerialNumber() : params.serial_number;
    _record_history(display, updater.Directory(), serial, entry);
}

// -U: update, or recovery with -t RECOVER.
int sUpdate(CommandDisplay& display, Updater& updater, const Parameters& params)
{
    const uint32_t build = sBuildNumber(params.build);
    display.StartCommand();
    if (params.transport == TRANSPORT_RECOVER) {
        const bool recovered = updater.Recover_Firmware(params.serial_port, build, params.baud_rate,
                                                        params.serial_number, params.bird_file,
                                                        params.override_model_checks);
        sRecordUpdate(display, updater, params, "recovery", recovered);
        return recovered ? 0 : 1;
    }
    if (params.serial_number == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return 1;
    }
    const bool updated = updater.Update_Firmware(params.serial_number, build, params.bird_file,
                                                 params.module_address, params.router_serial_number,
                                                 params.override_model_checks);
    sRecordUpdate(display, updater, params, "update", updated);
    return updated ? 0 : 1;
}

// -B: the build list.
int sBuilds(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params)
{
    if (params.serial_number == 0) {
        display.message(ERROR, "Error must supply a serial number for the List Builds command");
        _display_usage(false, false);
        return 1;
    }
    std::map<std::string, std::string> builds;
    // An empty list the server gave is an answer; no list at all is a failure, not "no builds".
    if (!updater.Get_BuildList(params.serial_number, builds))
        return 1;
    _display_builds(display, builds, params.serial_number);
    return 0;
}

}  // namespace

std::string _build_updater_directory()
{
    char home[2048];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", (int)err);
        return std::string();
    }
    return BuildPath(home, ".vantorix", "updater", (const char*)nullptr);
}

int RunUpdater(UpdaterDisplayInterface& console, int argc, const char* const* argv)
{
    CommandDisplay display(console);
    Parameters params;
    Log::SetOutput(stderr);
    if (_get_params(display, argc, argv, params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(params);
        return 1;
    }

    _display_app_version(display);
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
        _display_copyright(display);
        _display_sx_version(display);
        _display_usage(params.extended_usage, params.help_requested);
        _release_params(params);
        return 0;
    }

    const std::string directory = _build_updater_directory();
    if (directory.empty() || aDirectory_Ensure(directory.c_str(), 0755) != aErrNone) {
        display.message(ERROR, "Could not find updater directory at %s", directory.c_str());
        _release_params(params);
        return 1;
    }

    Updater updater(params.server_url.c_str(), directory.c_str(), display);
    // The run succeeds only when every command it was asked for succeeded.
    int status = 0;
    bool stop = false;
    // The echo goes to this run's display, and stops with it.
    struct EchoGuard {
        ~EchoGuard() { RomEcho::Enable(nullptr); }
    } echo_guard;
    if (params.echo)
        RomEcho::Enable(&display);

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        status |= sFingerprint(display, updater, params, stop);
        if (stop)
            return 1;
    }
    if (params.commands.IsSet(CMD_GET)) {
        status |= sGet(display, updater, params, stop);
        if (stop)
            return 1;
    }
    if (params.commands.IsSet(CMD_CHECK)) {
        status = sCheck(display, updater, params);
        if (status != 0 || !params.commands.IsSet(CMD_DISCOVER | CMD_INFO | CMD_UPDATE | CMD_BUILDS))
            return status;
    }
    if (params.commands.IsSet(CMD_DISCOVER))
        return status | sDiscover(display, updater, params);
    if (params.commands.IsSet(CMD_INFO)) {
        status |= sInfo(display, updater, params);
        if (status != 0 || !params.commands.IsSet(CMD_UPDATE | CMD_BUILDS))
            return status;
    }
    if (params.commands.IsSet(CMD_UPDATE))
        return status | sUpdate(display, updater, params);
    if (params.commands.IsSet(CMD_BUILDS))
        return status | sBuilds(display, updater, params);
    _release_params(params);
    return status;
}
