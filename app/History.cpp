#include "History.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "UpdaterStore.h"

void CommandDisplay::error_message(const char* text)
{
    out.error_message(text);
    if (text != nullptr && text[0] != '\0')
        errors.push_back(text);
}

std::string CommandDisplay::Reason() const
{
    std::string reason;
    for (const std::string& error : errors)
        reason += (reason.empty() ? "" : "; ") + error;
    return reason;
}

bool _record_history(UpdaterDisplayInterface& display, const std::string& directory, unsigned int serial_number,
                     const HistoryEntry& entry)
{
    if (serial_number == 0)
        return true;
    std::string device;
    try {
        UpdaterStore store(directory.c_str());
        device = store.AddDevice(serial_number).FullPath();
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not record the history of %08X: %s",
                        serial_number, e.what());
        return false;
    }
    if (!DeviceHistory::Append(device, entry)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not record the history of %08X in %s/%s: %s",
                        serial_number, device.c_str(), DeviceHistory::FILE_NAME, strerror(errno));
        return false;
    }
    return true;
}
