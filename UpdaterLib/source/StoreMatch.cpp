#include "StoreMatch.h"

#include <cctype>

#include <cstring>

#include "Log.h"
#include "aDirectory.h"

namespace {

struct FindContext {
    const char* searched;
    StoreMatch* match;
};

bool sFindItem(const aDirectoryListData* entry, void* context)
{
    FindContext* find = static_cast<FindContext*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path, (int)entry->type,
             (int)entry->size, find->searched);
    const char* slash = strrchr(entry->path, '/');
    const char* name = slash ? slash + 1 : entry->path;
    if (strcmp(name, find->searched) != 0)
        return true;
    find->match->found = true;
    find->match->path.assign(entry->path, slash ? (size_t)(slash - entry->path) : 0);
    find->match->name = name;
    find->match->type = entry->type;
    return false;
}

}  // namespace

bool StoreIsPlainName(const char* name)
{
    return name != nullptr && name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           strchr(name, '/') == nullptr;
}

StoreMatch StoreFindEntry(const std::string& directory, const char* name)
{
    StoreMatch match;
    if (StoreIsPlainName(name)) {
        FindContext context = {name, &match};
        aDirectory_List(directory.c_str(), sFindItem, &context);
    }
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", match.found ? "Found" : "Not Found",
             name ? name : "");
    return match;
}

bool StoreParseBuild(const std::string& text, unsigned int* build)
{
    size_t start = 0;
    size_t end = text.size();
    while (start < end && isspace((unsigned char)text[start]))
        start++;
    while (end > start && isspace((unsigned char)text[end - 1]))
        end--;
    if (start == end)
        return false;
    unsigned long long value = 0;
    for (size_t i = start; i < end; i++) {
        if (!isdigit((unsigned char)text[i]))
            return false;
        value = value * 10 + (unsigned)(text[i] - '0');
        if (value > 0xFFFFFFFFull)
            return false;
    }
    if (value == 0)
        return false;
    if (build)
        *build = (unsigned int)value;
    return true;
}
