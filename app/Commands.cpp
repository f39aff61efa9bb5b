#include "Commands.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "BirdCheck.h"
#include "BirdFile.h"
#include "FindAgain.h"
#include "History.h"
#include "JsonReport.h"
#include "Log.h"
#include "Reports.h"
#include "UpdateRun.h"
#include "RomEcho.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include <stdexcept>
#include "aDirectory.h"
#include "aTime.h"
#include "path.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// -N: fingerprint of a chip in its ROM bootloader. Returns the status (0 or 1); exits through
// *stop when the command line cannot be carried out.
int sFingerprint(CommandDisplay& display, Updater& updater, const Parameters& params, JsonReport& report, bool& stop)
{
    report.SetCommand("fingerprint");
    if (params.serial_port.empty()) {
        display.message(ERROR, "Must specify the serial port used for connecting");
        stop = true;
        return 1;
    }
    // The chip in its ROM answers as device DEADDEAD unless -d names it.
    const uint32_t serial = params.serial_number != 0 ? params.serial_number : 0xDEADDEAD;
    display.StartCommand();
    Fingerprint fingerprint;
    if (!updater.Get_Fingerprint(fingerprint, params.serial_port, 0xDEADDEAD, params.bird_file, params.baud_rate,
                                 true)) {
        display.message(ERROR, "Got no response from chip");
        const std::string hint = updater.FingerprintHint(params.serial_port);
        if (!hint.empty())
            display.message(ERROR, "%s", hint.c_str());
        report.Fail(serial, display.Reason());
        return 1;
    }
    _display_fingerprint(display, fingerprint);
    report.Set(serial, "fingerprint", _json_fingerprint(fingerprint));
    return 0;
}

// -G: download a build into the store. On success params.build becomes the stored build.
int sGetOne(CommandDisplay& display, Updater& updater, Parameters& params, JsonReport& report);

// Where a downloaded build is stored.
std::string sStoredFile(const std::string& directory, uint32_t serial, unsigned int build)
{
    try {
        UpdaterStore store(directory.c_str());
        return store.AddDevice(serial).FullPath() + "/" + std::to_string(build) + ".bird";
    } catch (const std::runtime_error&) {
        return std::to_string(build) + ".bird";
    }
}

int sGet(CommandDisplay& display, Updater& updater, Parameters& params, JsonReport& report, bool& stop)
{
    report.SetCommand("download");
    if (params.serial_numbers.size() > 1) {
        // Each device in turn; the build given (or the latest) for every one of them.
        const std::string build = params.build;
        int status = 0;
        for (uint32_t serial : params.serial_numbers) {
            params.serial_number = serial;
            params.build = build;
            status |= sGetOne(display, updater, params, report);
        }
        params.serial_number = params.serial_numbers.front();
        params.build = build;  // a following -U takes each device's own latest
        return status;
    }
    if (params.serial_number == 0) {
        display.message(ERROR, "-G must specify a specific device via -d");
        display.message(ERROR, "--help for usage information");
        stop = true;
        return 1;
    }
    return sGetOne(display, updater, params, report);
}

int sGetOne(CommandDisplay& display, Updater& updater, Parameters& params, JsonReport& report)
{
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
    if (!_record_history(display, updater.Directory(), params.serial_number, entry))
        stored = 0;
    if (stored == 0) {
        report.Fail(params.serial_number, display.Reason());
        return 1;
    }
    report.Set(params.serial_number, "build", stored);
    report.Set(params.serial_number, "file", sStoredFile(updater.Directory(), params.serial_number, stored));
    params.build = std::to_string(stored);  // a following -U updates to exactly this build
    return 0;
}

// -D: discovery and the device list. Always exits 0.
void sReportDiscovered(JsonReport& report, const std::vector<DeviceInfo>& devices)
{
    for (const DeviceInfo& device : devices) {
        if (device.error != aErrNone) {
            report.Fail(device.spec.serial_number, std::string("Error (") + std::to_string((int)device.error) +
                                                       "): Is someone else connected to this device?");
            continue;
        }
        JsonValue fields = _json_discovered(device);
        for (const char* key : {"model", "module", "router", "version", "build", "transport", "ip"})
            if (const JsonValue* value = fields.Find(key))
                report.Set(device.spec.serial_number, key, *value);
    }
}

// -I: the stored information of one device; 1 with a message when the store holds nothing.
int sShowStored(UpdaterDisplayInterface& display, Updater& updater, unsigned int serial_number, JsonReport& report)
{
    StoredDevice stored;
    if (!updater.Get_Stored_Device(serial_number, stored)) {
        display.message(ERROR, "No stored information for device %08X", serial_number);
        report.Fail(serial_number, "No stored information for device " + _json_serial(serial_number));
        return 1;
    }
    _display_stored_device(display, stored);
    const JsonValue fields = _json_stored(stored);
    for (const char* key : {"settings", "stored_builds", "history"})
        report.Set(serial_number, key, *fields.Find(key));
    return 0;
}

// -D: discovery and the device list; what was found is recorded in the store, and with -I
// each found device's stored information follows. 1 only when recording or -I failed.
int sDiscover(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params, JsonReport& report)
{
    report.SetCommand("discover");
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
    sReportDiscovered(report, devices);
    // A device found in its loader is explained by the store's record of unfinished updates.
    for (const std::string& line : updater.Explain_Loaders(devices))
        display.message(INFO, "%s", line.c_str());
    int status = updater.Record_Devices(devices) ? 0 : 1;
    if (params.commands.IsSet(CMD_INFO))
        for (const DeviceInfo& device : devices)
            status |= sShowStored(display, updater, device.spec.serial_number, report);
    return status;
}

// -I without -D: the devices given by -d.
int sInfo(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params, JsonReport& report)
{
    report.SetCommand("info");
    if (params.serial_number == 0) {
        display.message(ERROR, "-I must either use DISCOVER command [\"-D\"] or specify a specific device [\"-d\" option]");
        report.FailRun("-I must either use DISCOVER command [\"-D\"] or specify a specific device [\"-d\" option]");
        return 1;
    }
    if (params.serial_numbers.size() <= 1)
        return sShowStored(display, updater, params.serial_number, report);
    int status = 0;
    for (uint32_t serial : params.serial_numbers)
        status |= sShowStored(display, updater, serial, report);
    return status;
}

// -C: checks a BIRD file without a device (with -d also against the device's model in the
// store). 0 when an update would accept it, 1 with every problem otherwise.
int sCheck(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params, JsonReport& report)
{
    report.SetCommand("check");
    if (params.bird_file.empty()) {
        display.message(ERROR, "-C must specify the BIRD file to check with -f");
        report.FailRun("-C must specify the BIRD file to check with -f");
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
    // The file's fields (null when it does not load) and every problem, for --json.
    report.SetRun("file", bird.Failure() == BirdFile::LOAD_OK ? _json_bird(params.bird_file, bird) : JsonValue());
    JsonValue listed = JsonValue::Array();
    for (const std::string& problem : problems) {
        display.message(ERROR, "Problem: %s", problem.c_str());
        listed.Push(problem);
    }
    report.SetRun("problems", listed);
    if (!problems.empty()) {
        display.message(ERROR, "BIRD file %s would be refused for an update: %s", params.bird_file.c_str(),
                        BirdCheck::Summary(problems).c_str());
        const std::string reason = "BIRD file " + params.bird_file + " would be refused for an update: " +
                                   BirdCheck::Summary(problems);
        if (params.serial_number != 0)
            report.Fail(params.serial_number, reason);
        else
            report.FailRun(reason);
        return 1;
    }
    if (params.serial_number != 0) {
        display.message(INFO, "BIRD file %s would be accepted for an update of device %08X", params.bird_file.c_str(),
                        params.serial_number);
        report.Set(params.serial_number, "ok", true);
    } else {
        display.message(INFO, "BIRD file %s would be accepted for an update", params.bird_file.c_str());
    }
    return 0;
}

uint32_t sBuildNumber(const std::string& build)
{
    const char* end = nullptr;
    return build.empty() ? 0 : _get_int_arg(build.c_str(), &end);
}

// The history line of an update or recovery that ran; false when it could not be written.
bool sRecordUpdate(CommandDisplay& display, Updater& updater, const Parameters& params, const char* action,
                   bool succeeded)
{
    const unsigned int serial = updater.LastSerialNumber() != 0 ? updater.LastSerialNumber() : params.serial_number;
    return _record_update(display, updater.Directory(), serial, updater.LastFirmware(), params, action, succeeded,
                          display.Reason());
}

// -V: what the device runs after it came back (nothing when it did not).
void sReportRunning(JsonReport& report, uint32_t serial, const DeviceInfo& running)
{
    if (running.build == 0 && running.version_major == 0)
        return;
    JsonValue version = JsonValue::Object();
    version.Set("version", _version_text(running));
    version.Set("build", running.build);
    report.Set(serial, "running", version);
}

// -U: update, or recovery with -t RECOVER; several devices at once with a list or ALL.
int sUpdate(CommandDisplay& display, Updater& updater, const Parameters& params, JsonReport& report)
{
    if (params.all_devices || params.serial_numbers.size() > 1)
        return _update_devices(display, params, updater.Directory(), report);
    const uint32_t build = sBuildNumber(params.build);
    display.StartCommand();
    const uint64_t start = aTime_MonoMS();
    if (params.transport == TRANSPORT_RECOVER) {
        report.SetCommand("recover");
        bool recovered = updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_number,
                                                  params.bird_file, params.override_model_checks);
        const unsigned int serial = updater.LastSerialNumber() != 0 ? updater.LastSerialNumber() : params.serial_number;
        DeviceInfo running;
        if (recovered && params.verify)
            recovered = updater.Verify_Recovery(serial, params.wait_seconds, running);
        if (!sRecordUpdate(display, updater, params, "recovery", recovered))
            recovered = false;
        if (serial != 0) {
            if (updater.LastBuild() != 0)
                report.Set(serial, "build", updater.LastBuild());
            else if (build != 0)
                report.Set(serial, "build", build);
            report.Set(serial, "seconds", (double)(aTime_MonoMS() - start) / 1000.0);
            sReportRunning(report, serial, running);
            if (!recovered)
                report.Fail(serial, display.Reason());
        } else if (!recovered) {
            report.FailRun(display.Reason());
        }
        return recovered ? 0 : 1;
    }
    report.SetCommand("update");
    if (params.serial_number == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        report.FailRun("Must specify the specific device to be updated");
        return 1;
    }
    bool updated = updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                           params.router_serial_number, params.override_model_checks);
    DeviceInfo running;
    if (updated && params.verify)
        updated = updater.Verify_Update(params.serial_number, params.wait_seconds, running);
    if (!sRecordUpdate(display, updater, params, "update", updated))
        updated = false;
    if (updater.LastBuild() != 0)
        report.Set(params.serial_number, "build", updater.LastBuild());
    report.Set(params.serial_number, "seconds", (double)(aTime_MonoMS() - start) / 1000.0);
    report.Set(params.serial_number, "skipped", false);
    sReportRunning(report, params.serial_number, running);
    if (!updated)
        report.Fail(params.serial_number, display.Reason());
    return updated ? 0 : 1;
}

// -B: the build list.
int sBuilds(CommandDisplay& display, Updater& updater, const Parameters& params, JsonReport& report)
{
    report.SetCommand("builds");
    if (params.serial_number == 0) {
        display.message(ERROR, "Error must supply a serial number for the List Builds command");
        _display_usage(false, false);
        return 1;
    }
    std::map<std::string, std::string> builds;
    display.StartCommand();
    // An empty list the server gave is an answer; no list at all is a failure, not "no builds".
    if (!updater.Get_BuildList(params.serial_number, builds)) {
        report.Fail(params.serial_number, display.Reason());
        return 1;
    }
    _display_builds(display, builds, params.serial_number);
    report.Set(params.serial_number, "builds", _json_builds(builds));
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

namespace {

// Everything after the command line was read; the results also go into report.
int sRun(CommandDisplay& display, Parameters& params, JsonReport& report)
{
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
        report.FailRun("Could not find updater directory at " + directory);
        _release_params(params);
        return 1;
    }

    // How long a restarted device is sought: whole seconds or nothing at all.
    const char* restart_wait = getenv(kRestartWaitVariable);
    uint32_t restart_wait_s = 0;
    if (restart_wait != nullptr && !ParseRestartWait(restart_wait, &restart_wait_s)) {
        display.message(ERROR, "Invalid %s obtained from the environment [%s]: must be 1 to 3600 seconds",
                        kRestartWaitVariable, restart_wait);
        report.FailRun(std::string("Invalid ") + kRestartWaitVariable);
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
        status |= sFingerprint(display, updater, params, report, stop);
        if (stop)
            return 1;
    }
    if (params.commands.IsSet(CMD_GET)) {
        status |= sGet(display, updater, params, report, stop);
        if (stop)
            return 1;
    }
    if (params.commands.IsSet(CMD_CHECK)) {
        status = sCheck(display, updater, params, report);
        if (status != 0 || !params.commands.IsSet(CMD_DISCOVER | CMD_INFO | CMD_UPDATE | CMD_BUILDS))
            return status;
    }
    if (params.commands.IsSet(CMD_DISCOVER))
        return status | sDiscover(display, updater, params, report);
    if (params.commands.IsSet(CMD_INFO)) {
        status |= sInfo(display, updater, params, report);
        if (status != 0 || !params.commands.IsSet(CMD_UPDATE | CMD_BUILDS))
            return status;
    }
    if (params.commands.IsSet(CMD_UPDATE))
        return status | sUpdate(display, updater, params, report);
    if (params.commands.IsSet(CMD_BUILDS))
        return status | sBuilds(display, updater, params, report);
    _release_params(params);
    return status;
}

}  // namespace

int RunUpdater(UpdaterDisplayInterface& console, int argc, const char* const* argv)
{
    CommandDisplay display(console);
    Parameters params;
    JsonReport report;
    Log::SetOutput(stderr);
    int status;
    if (_get_params(display, argc, argv, params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(params);
        report.FailRun(display.Reason().empty() ? std::string("Invalid command line") : display.Reason());
        status = 1;
    } else {
        status = sRun(display, params, report);
    }
    if (params.json) {
        // A failure that no device's entry explains is the run's own.
        if (status != 0 && !display.Reason().empty() && !report.AnyDeviceFailed())
            report.FailRun(display.Reason());
        // The one document, alone on standard output.
        const std::string document = report.Document(status == 0) + "\n";
        fwrite(document.data(), 1, document.size(), stdout);
        fflush(stdout);
    }
    return status;
}
