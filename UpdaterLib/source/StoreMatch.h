// Finding an entry of a store directory by its exact name: shared by UpdaterStore and
// UpdaterStoreItem.
#ifndef UPDATER_STOREMATCH_H
#define UPDATER_STOREMATCH_H

#include <string>

struct StoreMatch {
    bool found = false;
    std::string path;  // the directory that holds the entry
    std::string name;  // the entry's name
    unsigned int type = 0;  // 1 directory, 0 anything else
};

// Lists the directory and stops at the first entry named exactly name. Logs each entry looked
// at and the outcome under the updater's debug package.
StoreMatch StoreFindEntry(const std::string& directory, const char* name);

// True for a name that stands for one entry of a directory: not empty, not "." or "..", and
// without a path separator.
bool StoreIsPlainName(const char* name);

// A build number named by the server or a settings file: decimal digits only (blanks around
// them allowed), not zero, at most 32 bits. False for anything else ("-1", "../x", "12abc").
bool StoreParseBuild(const std::string& text, unsigned int* build);

#endif
