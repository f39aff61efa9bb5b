#include "UpdateRun.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "BirdFile.h"
#include "DeviceBoard.h"
#include "Log.h"
#include "Updater.h"
#include "aTime.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// One device's update on the calling thread, through its own Updater and display.
void sUpdateOne(DeviceOutcome& outcome, DeviceDisplay& display, const Parameters& params,
                const std::string& directory, unsigned int build)
{
    const uint64_t start = aTime_MonoMS();
    Updater updater(params.server_url.c_str(), directory.c_str(), display);
    if (outcome.found)
        updater.SetKnownDevice(outcome.spec);
    bool ok = updater.Update_Firmware(outcome.serial, build, params.bird_file, params.module_address, 0,
                                      params.override_model_checks);
    outcome.file_build = updater.LastBuild();
    if (ok && params.verify) {
        outcome.verified = true;
        ok = updater.Verify_Update(outcome.serial, params.wait_seconds, outcome.running);
        if (outcome.running.build != 0 || outcome.running.version_major != 0)
            outcome.version_after = _version_text(outcome.running);
    }
    outcome.ok = ok;
    outcome.reason = ok ? std::string() : display.Reason();
    if (!ok && outcome.reason.empty())
        outcome.reason = "update failed";
    outcome.seconds = (double)(aTime_MonoMS() - start) / 1000.0;
    std::string firmware = updater.LastFirmware();
    if (!_record_update(display, directory, outcome.serial, firmware, params, "update", ok, outcome.reason) && ok) {
        outcome.ok = false;
        outcome.reason = display.Reason();
    }
}

}  // namespace

std::string _version_text(const DeviceInfo& device)
{
    return std::to_string(device.version_major) + "." + std::to_string(device.version_minor) + "." +
           std::to_string(device.version_patch);
}

std::vector<std::string> _summary_table(const std::vector<DeviceOutcome>& outcomes)
{
    std::vector<std::string> lines;
    char line[512];
    snprintf(line, sizeof(line), "%-8s  %-12s %-11s %-11s %-8s %8s  %s", "Serial", "Model", "Before", "After",
             "Result", "Seconds", "Reason");
    lines.push_back(line);
    for (const DeviceOutcome& o : outcomes) {
        const char* result = o.skipped ? "skipped" : o.ok ? "ok" : "failed";
        snprintf(line, sizeof(line), "%08X  %-12.12s %-11.11s %-11.11s %-8s %8.1f  %s", o.serial, o.model.c_str(),
                 o.version_before.c_str(), o.version_after.c_str(), result, o.seconds, o.reason.c_str());
        lines.push_back(line);
    }
    return lines;
}

bool _record_update(UpdaterDisplayInterface& display, const std::string& directory, unsigned int serial,
                    const std::string& firmware, const Parameters& params, const char* action, bool succeeded,
                    const std::string& reason)
{
    HistoryEntry entry;
    entry.action = action;
    entry.target = firmware;
    if (entry.target.empty())
        entry.target = !params.bird_file.empty() ? params.bird_file : !params.build.empty() ? "build " + params.build : "";
    entry.succeeded = succeeded;
    entry.reason = reason;
    entry.message = params.log_message;
    return _record_history(display, directory, serial, entry);
}

int _update_devices(CommandDisplay& display, const Parameters& params, const std::string& directory,
                    JsonReport& report)
{
    report.SetCommand("update");
    // -d ALL: the file decides which devices fit.
    std::string file_model;
    BirdFile bird;
    if (params.all_devices) {
        try {
            bird = BirdFile(params.bird_file.c_str());
        } catch (const std::runtime_error& e) {
            Log::log(DEBUG_Updater, "Loading %s: %s\n", params.bird_file.c_str(), e.what());
            display.message(ERROR, "Failed to load bird file");
            report.FailRun("Failed to load bird file");
            return 1;
        }
        file_model = bird.GetModel();
    }

    display.message(INFO, "Searching for Strandix devices");
    std::vector<DeviceInfo> found;
    {
        Updater finder(params.server_url.c_str(), directory.c_str(), display);
        const linkType transport = params.transport_given ? (linkType)params.transport : 0;
        found = finder.Discover_Devices(transport);
    }
    auto fits = [&bird](uint8_t model) {
        const char* name = aDefs_GetModelName((int32_t)model);
        return name != nullptr && bird.ValidateModel(name);
    };
    std::vector<DeviceOutcome> outcomes = _plan_update(params.all_devices ? std::vector<uint32_t>() : params.serial_numbers,
                                                       found, fits, file_model);
    std::vector<size_t> targets;
    for (size_t i = 0; i < outcomes.size(); i++) {
        if (outcomes[i].skipped)
            display.message(INFO, "Skipping device %08X: %s", outcomes[i].serial, outcomes[i].reason.c_str());
        else
            targets.push_back(i);
    }
    if (targets.empty()) {
        display.message(ERROR, "No device found that the file fits");
        report.FailRun("No device found that the file fits");
    }

    std::vector<uint32_t> serials;
    for (size_t i : targets)
        serials.push_back(outcomes[i].serial);
    FILE* out = params.json ? stderr : stdout;
    DeviceBoard board(out, isatty(fileno(out)) != 0, serials);
    const unsigned int build = params.build.empty() ? 0 : (unsigned int)std::stoul(params.build);
    std::atomic<size_t> next(0);
    auto worker = [&]() {
        for (size_t k = next++; k < targets.size(); k = next++) {
            DeviceDisplay device_display(board, k);
            sUpdateOne(outcomes[targets[k]], device_display, params, directory, build);
        }
    };
    size_t threads = params.jobs == 0 ? targets.size() : std::min<size_t>(params.jobs, targets.size());
    std::vector<std::thread> pool;
    for (size_t t = 0; t < threads; t++)
        pool.emplace_back(worker);
    for (std::thread& thread : pool)
        thread.join();
    board.Finish();

    int status = targets.empty() ? 1 : 0;
    display.message(INFO, "%s", "");
    for (const std::string& line : _summary_table(outcomes))
        display.message(INFO, "%s", line.c_str());
    for (const DeviceOutcome& o : outcomes) {
        report.Set(o.serial, "skipped", o.skipped);
        if (o.skipped)
            continue;
        if (o.file_build != 0)
            report.Set(o.serial, "build", o.file_build);
        report.Set(o.serial, "seconds", o.seconds);
        if (o.verified && o.version_after != "-") {
            JsonValue running = JsonValue::Object();
            running.Set("version", o.version_after);
            running.Set("build", o.running.build);
            report.Set(o.serial, "running", running);
        }
        if (!o.ok) {
            report.Fail(o.serial, o.reason);
            status = 1;
        }
    }
    return status;
}
