// The history log of a device: one line per download, update and recovery, success or failure,
// in "history.log" of the device's store directory. A line is appended in one write to a file
// opened for appending, so a crash never leaves half a line and two programs never interleave
// within one.
#ifndef UPDATER_DEVICEHISTORY_H
#define UPDATER_DEVICEHISTORY_H

#include <ctime>
#include <string>
#include <vector>

struct HistoryEntry {
    std::string action;   // "download", "update", "recovery"
    std::string target;   // the build file or the file given
    bool succeeded = false;
    std::string reason;   // why it failed (empty on success)
    std::string message;  // the user's -l message, when given
};

class DeviceHistory {
  public:
    static const char* const FILE_NAME;

    // The line for an entry at a local time, newline included: date and time, action, target,
    // "ok" or "failed: reason", and the message. Line breaks inside a field become spaces.
    static std::string FormatLine(const HistoryEntry& entry, time_t when);

    // Appends the entry's line to directory/history.log. False (errno kept) when the file
    // cannot be opened or the line was not written whole.
    static bool Append(const std::string& device_directory, const HistoryEntry& entry);

    // The lines of directory/history.log without their line ends; empty when there is none.
    static std::vector<std::string> Read(const std::string& device_directory);
};

#endif
