// The names of the keys a device's settings file keeps its download and transfer history under.
// Every reader and writer of that history takes the names from here.
#ifndef UPDATER_HISTORY_KEYS_H
#define UPDATER_HISTORY_KEYS_H

namespace HistoryKeys {

// The file name ("BUILD.bird") of the last build downloaded into the store, and when.
constexpr const char* LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
constexpr const char* LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";
// The file (a stored "BUILD.bird" or the path given with -f) last transferred to the device, and when.
constexpr const char* LATEST_TRANSFER = "LATEST_TRANSFER";
constexpr const char* LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";

}  // namespace HistoryKeys

#endif
