// An update of several devices in one run (-U with -d A,B,C or -d ALL): one discovery, then
// every device on its own thread and link, at most -j at once, each failure its own; a summary
// table at the end.
#ifndef UPDATER_UPDATE_RUN_H
#define UPDATER_UPDATE_RUN_H

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "aDefs.h"
#include "History.h"
#include "JsonReport.h"
#include "Parameters.h"

// What became of one device of the run.
struct DeviceOutcome {
    uint32_t serial = 0;
    bool found = false;  // discovery of this run found it (spec, before-version and model known)
    linkSpec spec{};
    std::string model = "-";
    std::string version_before = "-";
    std::string version_after = "-";  // what it runs after a verified update
    bool ok = false;
    bool skipped = false;  // -d ALL: a device of another model, never touched
    std::string reason;
    double seconds = 0.0;
    unsigned int file_build = 0;
    bool verified = false;
    DeviceInfo running;  // -V: what the device ran when it came back
};

// "major.minor.patch" of a device's record.
std::string _version_text(const DeviceInfo& device);

// The devices of the run. names: the serial numbers given (empty for ALL, then every device
// found); model_fits(model number) says whether the file fits a device's model (ALL only; a
// device of another model is skipped with the reason). Devices named but not found are still
// tried (their update says why it fails).
template <typename Fits>
std::vector<DeviceOutcome> _plan_update(const std::vector<uint32_t>& names, const std::vector<DeviceInfo>& found,
                                        Fits model_fits, const std::string& file_model);

// The summary table: a heading and one line per device.
std::vector<std::string> _summary_table(const std::vector<DeviceOutcome>& outcomes);

// The whole run; returns the exit status (0 only when every device that was not skipped was
// updated, and at least one was).
int _update_devices(CommandDisplay& display, const Parameters& params, const std::string& directory,
                    JsonReport& report);

// Appends the history line of one device's update; false when it could not be written.
bool _record_update(UpdaterDisplayInterface& display, const std::string& directory, unsigned int serial,
                    const std::string& firmware, const Parameters& params, const char* action, bool succeeded,
                    const std::string& reason);

template <typename Fits>
std::vector<DeviceOutcome> _plan_update(const std::vector<uint32_t>& names, const std::vector<DeviceInfo>& found,
                                        Fits model_fits, const std::string& file_model)
{
    std::vector<DeviceOutcome> plan;
    auto describe = [](DeviceOutcome& outcome, const DeviceInfo& device) {
        outcome.found = true;
        outcome.spec = device.spec;
        const char* name = aDefs_GetModelName((int32_t)device.spec.model);
        outcome.model = name && name[0] ? name : "-";
        if (device.error == aErrNone)
            outcome.version_before = _version_text(device);
    };
    if (names.empty()) {
        for (const DeviceInfo& device : found) {
            bool seen = false;
            for (const DeviceOutcome& outcome : plan)
                seen = seen || outcome.serial == device.spec.serial_number;
            if (seen)
                continue;  // the same device over both transports: the first (USB) is used
            DeviceOutcome outcome;
            outcome.serial = device.spec.serial_number;
            describe(outcome, device);
            if (!model_fits(device.spec.model)) {
                outcome.skipped = true;
                outcome.reason = "model " + outcome.model + ", the file is for " + file_model;
            }
            plan.push_back(outcome);
        }
        return plan;
    }
    for (uint32_t serial : names) {
        DeviceOutcome outcome;
        outcome.serial = serial;
        for (const DeviceInfo& device : found) {
            if (device.spec.serial_number == serial) {
                describe(outcome, device);
                break;
            }
        }
        plan.push_back(outcome);
    }
    return plan;
}

#endif
