// Build lists and firmware downloads: the Updater's conversation with the update server about
// one device, and storing a fetched build in the device's directory of the local store.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <system_error>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "StoreMatch.h"
#include "UpdaterStore.h"
#include "UpdaterSteps.h"
#include "aError.h"
#include "base64.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Slice of the wait for the download worker: the spinner's pace.
const std::chrono::milliseconds sSpinnerSlice(100);

const char* sUrl(const std::string& url)
{
    return url.empty() ? nullptr : url.c_str();
}

// Reads a whole decimal text (leading white space allowed, trailing characters ignored) into a
// 32-bit number. False when it does not start with a digit or is too large.
bool sLeadingNumber(const std::string& text, unsigned int* value)
{
    size_t i = 0;
    while (i < text.size() && isspace((unsigned char)text[i]))
        i++;
    if (i == text.size() || !isdigit((unsigned char)text[i]))
        return false;
    unsigned long long n = 0;
    for (; i < text.size() && isdigit((unsigned char)text[i]); i++) {
        n = n * 10 + (unsigned)(text[i] - '0');
        if (n > 0xFFFFFFFFull)
            return false;
    }
    *value = (unsigned int)n;
    return true;
}

// A build number text from the server or the user; one that is not a number logs and gives 0.
unsigned int sBuildOrZero(const std::string& text)
{
    unsigned int value = 0;
    if (!text.empty() && !sLeadingNumber(text, &value)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return value;
}

// After a failed request: why it failed (no connection, time-out, HTTP status, a reply that was
// not "ok").
void sReportServerFailure(UpdaterDisplayInterface& display)
{
    const std::string reason = UpdateServerRequest::last_failure();
    if (!reason.empty())
        display.message(ERROR, "%s", reason.c_str());
}

// True when the server lists the build for the device.
bool _valid_build(unsigned int serial_number, unsigned int build, const char* server_url)
{
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial_number, builds, server_url))
        return false;
    for (const auto& entry : builds) {
        unsigned int number = 0;
        const std::string& key = entry.first;
        size_t digits = 0;
        while (digits < key.size() && isdigit((unsigned char)key[digits]))
            digits++;
        if (digits == 0) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", key.c_str());
            number = 0;
        } else if (!sLeadingNumber(key, &number)) {
            continue;  // too large to be any build
        }
        if (number == build)
            return true;
    }
    return false;
}

// What the download worker hands back: its result and, on a transfer failure, why.
struct sDownloadResult {
    bool ok = false;
    std::string reason;
};

}  // namespace

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial_number)
{
    std::map<std::string, std::string> builds;
    Get_BuildList(serial_number, builds);
    return builds;
}

bool Updater::Get_BuildList(unsigned int serial_number, std::map<std::string, std::string>& builds)
{
    builds.clear();
    if (!UpdateServerRequest::ping(sUrl(server_url))) {
        display.message(ERROR, "Server request failed for %s", server_url.c_str());
        sReportServerFailure(display);
        return false;
    }
    if (!UpdateServerRequest::GetBuildList(serial_number, builds, sUrl(server_url))) {
        display.message(ERROR, "Failed to retrieve builds for %08X", serial_number);
        sReportServerFailure(display);
        return false;
    }
    return true;
}

namespace {

// Fetches one build on a worker thread while this thread keeps the spinner turning. The worker
// touches only its copies, the data string and the channel; the data string is read here only
// after the worker has been joined. Failure: the reason, already shown.
StepResult sFetch(UpdaterDisplayInterface& display, const std::string& url, unsigned int serial_number,
                  const std::string& fw, const std::string& build, bool no_cal, std::string& data)
{
    std::promise<sDownloadResult> channel;
    std::future<sDownloadResult> result = channel.get_future();
    std::thread worker;
    try {
        worker = std::thread([serial_number, fw, build, url, no_cal, &data, &channel]() {
            sDownloadResult r;
            try {
                r.ok = UpdateServerRequest::GetBuild(serial_number, fw, build, data, sUrl(url), no_cal);
                r.reason = UpdateServerRequest::last_failure();
            } catch (const std::exception& e) {
                r.ok = false;
                r.reason = e.what();
            }
            channel.set_value(r);
        });
    } catch (const std::system_error& e) {
        Log::log(DEBUG_Updater, "Download thread: %s\n", e.what());
        display.message(ERROR, "Download failed");
        return StepResult::Fail("download", e.what());
    }
    display.update_spinner(true, "Downloading");
    while (result.wait_for(sSpinnerSlice) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    const sDownloadResult outcome = result.get();
    worker.join();
    if (!outcome.ok) {
        display.message(ERROR, "Download failed");
        if (!outcome.reason.empty())
            display.message(ERROR, "%s", outcome.reason.c_str());
    }
    if (data.empty()) {
        display.message(ERROR, "Failed to retreive a valid BIRD file");
        return StepResult::Fail("download", outcome.reason.empty() ? "no data" : outcome.reason);
    }
    return StepResult::Ok();
}

// The fetched data must decode, load as a BIRD file and carry the build asked for before any of
// it is kept. Failure: the reason, already shown; the store is not touched.
StepResult sCheckDownload(UpdaterDisplayInterface& display, const std::string& data, unsigned int build_number,
                          std::vector<uint8_t>& bytes)
{
    size_t length = 0;
    unsigned char* decoded = base64_decode(data.data(), data.size(), &length);
    if (decoded == nullptr) {
        display.message(ERROR, "Build %u from the server is not valid Base64; nothing was stored", build_number);
        return StepResult::Fail("check", "not valid Base64");
    }
    bytes.assign(decoded, decoded + length);
    free(decoded);
    const std::string file_name = std::to_string(build_number) + ".bird";
    const std::string problem = UpdaterStoreItem::BuildProblem(file_name.c_str(), bytes.data(), bytes.size());
    if (!problem.empty()) {
        display.message(ERROR, "Build %u from the server is not a valid BIRD file (%s); nothing was stored",
                        build_number, problem.c_str());
        return StepResult::Fail("check", problem);
    }
    return StepResult::Ok();
}

// Writes the checked build into the device's directory (made for it now when there is none)
// and records it in the device's history.
StepResult sKeepDownload(UpdaterDisplayInterface& display, const std::string& directory, unsigned int serial_number,
                         unsigned int build_number, const std::vector<uint8_t>& bytes)
{
    UpdaterStoreItem device;
    try {
        UpdaterStore store(directory.c_str());
        if (!store.FindDevice(serial_number, &device)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            device = store.AddDevice(serial_number);
        }
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Could not create directory for storing BIRD file");
        return StepResult::Fail("store", e.what());
    }
    const std::string file_name = std::to_string(build_number) + ".bird";
    std::string reason;
    aErr err = device.WriteFile(file_name.c_str(), bytes.data(), bytes.size(), &reason);
    if (err != aErrNone) {
        display.message(ERROR, "Failed to write file with %d", (int)err);
        display.message(ERROR, "Could not store build %u: %s", build_number, reason.c_str());
        return StepResult::Fail("store", reason);
    }
    for (const auto& entry : DownloadHistory(build_number, KeyValueStore::TimeStamp()))
        device.Settings().Add(entry.first.c_str(), entry.second);
    if (!device.Settings().Save()) {
        display.message(ERROR, "Could not record the download of build %u: %s", build_number,
                        device.Settings().LastError().c_str());
        return StepResult::Fail("record", device.Settings().LastError());
    }
    return StepResult::Ok();
}

}  // namespace

// Steps: check the request, reach the server, ask for the device's firmware and latest build,
// choose the build, check that the server lists it, fetch it, check the data, keep it. Nothing
// is written to the store before the data has passed its check.
unsigned int Updater::Download_Firmware(unsigned int serial_number, std::string build, bool override, bool no_cal)
{
    unsigned int build_number = 0;
    if (!build.empty() && !sLeadingNumber(build, &build_number)) {
        display.message(ERROR, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serial_number == 0) {
        display.message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(sUrl(server_url))) {
        display.message(ERROR, "Server request failed for %s", server_url.c_str());
        sReportServerFailure(display);
        return 0;
    }

    std::string latest, fw;
    if (!UpdateServerRequest::QueryBuild(serial_number, latest, fw, sUrl(server_url))) {
        display.message(ERROR, "No build information for device");
        sReportServerFailure(display);
        return 0;
    }
    if (build_number == 0 && !StoreParseBuild(latest, &build_number)) {
        Log::log(DEBUG_Updater, "Error: the server named no build number [%s].\n", latest.c_str());
        display.message(ERROR, "The server named no valid build for %08X", serial_number);
        return 0;
    }

    display.message(INFO, "Retrieving build %u", build_number);
    if (!override) {
        display.message(INFO, "Validating build %u with server", build_number);
        if (!_valid_build(serial_number, build_number, sUrl(server_url))) {
            display.message(ERROR, "No valid build %u", build_number);
            return 0;
        }
        display.message(INFO, "Build %u is valid", build_number);
    } else {
        display.message(INFO, "Override specified, skipping validation of build %u", build_number);
    }

    std::string data;
    if (!sFetch(display, server_url, serial_number, fw, std::to_string(build_number), no_cal, data))
        return 0;
    std::vector<uint8_t> bytes;
    if (!sCheckDownload(display, data, build_number, bytes))
        return 0;
    if (!sKeepDownload(display, updater_directory, serial_number, build_number, bytes))
        return 0;
    return build_number;
}

unsigned int Updater::Download_Firmware(Fingerprint fingerprint, std::string build, bool override)
{
    unsigned int build_number = sBuildOrZero(build);
    unsigned int serial_number = 0, latest = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial_number, &latest, sUrl(server_url))) {
        display.message(ERROR, "Failed to retreive recovery information from Vantorix update server");
        sReportServerFailure(display);
        return 0;
    }
    if (build_number == 0)
        build_number = latest;
    return Download_Firmware(serial_number, std::to_string(build_number), override, false);
}
