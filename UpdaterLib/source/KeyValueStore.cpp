#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

#include "Log.h"
#include "aFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

bool sIsBlank(char c)
{
    return isspace((unsigned char)c) != 0;
}

// True when nothing at all exists at the path (or a component of it is not a directory), so
// creating a new file there cannot replace anything.
bool sNothingThere(const char* path)
{
    struct stat st;
    if (stat(path, &st) == 0)
        return false;
    return errno == ENOENT || errno == ENOTDIR;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path)
{
    if (path)
        Load(path);
}

std::string KeyValueStore::TimeStamp()
{
    time_t now = time(nullptr);
    char text[64];
    if (ctime_r(&now, text) == nullptr)
        return std::string();
    std::string stamp(text);
    while (!stamp.empty() && (stamp.back() == '\n' || stamp.back() == '\r'))
        stamp.pop_back();
    return stamp;
}

const char* KeyValueStore::operator[](const char* key) const
{
    if (key == nullptr)
        return nullptr;
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

int KeyValueStore::GetInt(const char* key, int default_value)
{
    if (key == nullptr)
        return default_value;
    const std::string& value = entries[key];
    if (value.empty())
        return default_value;
    long number = strtol(value.c_str(), nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return (int)number;
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t default_value)
{
    if (key == nullptr)
        return default_value;
    const std::string& value = entries[key];
    if (value.empty())
        return default_value;
    return (uint32_t)strtoul(value.c_str(), nullptr, 16);
}

bool KeyValueStore::GetBOOL(const char* key, bool default_value)
{
    if (key == nullptr)
        return default_value;
    const std::string& value = entries[key];
    if (value.empty())
        return default_value;
    return strtol(value.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const char* key, double default_value)
{
    if (key == nullptr)
        return default_value;
    const std::string& value = entries[key];
    if (value.empty())
        return default_value;
    return strtod(value.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const char* key, const char* default_value) const
{
    const char* value = (*this)[key];
    if (value)
        return value;
    return default_value ? default_value : "";
}

bool KeyValueStore::Store(const char* key, const std::string& value, bool mark_dirty)
{
    if (key == nullptr)
        return false;
    auto it = entries.find(key);
    if (it != entries.end() && it->second == value)
        return true;
    entries[key] = value;
    if (mark_dirty)
        dirty = true;
    return true;
}

bool KeyValueStore::Add(const char* key, int value)
{
    char text[32];
    snprintf(text, sizeof(text), "%d", value);
    return Store(key, text, true);
}

bool KeyValueStore::Add(const char* key, double value)
{
    // "%f" of a large double can be long; size the text for the largest.
    char text[512];
    snprintf(text, sizeof(text), "%f", value);
    return Store(key, text, true);
}

bool KeyValueStore::Add(const char* key, const char* value)
{
    return Store(key, value ? value : "", true);
}

bool KeyValueStore::Add(const char* key, const std::string& value)
{
    return Store(key, value, true);
}

bool KeyValueStore::AddHex(const char* key, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return Store(key, text, true);
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    if (&other == this)
        return true;
    for (const auto& entry : other.entries)
        Store(entry.first.c_str(), entry.second, true);
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    dirty = true;
    return true;
}

void KeyValueStore::ParseLine(char* line)
{
    size_t length = strlen(line);
    if (length < 3 || line[0] == '#')
        return;
    char* equals = strchr(line, '=');
    // A line without "=" has no value to store, and one whose key is empty has no key.
    if (equals == nullptr)
        return;
    char* key = line;
    while (key < equals && sIsBlank(*key))
        key++;
    char* key_end = equals;
    while (key_end > key && sIsBlank(key_end[-1]))
        key_end--;
    if (key_end == key)
        return;
    char* value = equals + 1;
    char* value_end = line + length;
    while (value < value_end && sIsBlank(*value))
        value++;
    while (value_end > value && sIsBlank(value_end[-1]))
        value_end--;
    Store(std::string(key, key_end).c_str(), std::string(value, value_end), false);
}

void KeyValueStore::Load(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return;
    aFileRef file = aFile_Open(path, aFileModeRead);
    if (!file) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
        Store(KEY_CREATED_TIME, TimeStamp(), true);
        if (sNothingThere(path)) {
            Save(path);
        } else {
            // The file is there but unreadable: replacing it would lose what it holds.
            filename = path;
            Store(KEY_UPDATED_TIME, TimeStamp(), false);
        }
        return;
    }
    filename = path;
    dirty = false;
    char line[MAX_LINE + 1];
    for (;;) {
        size_t length = 0;
        aErr err = aFile_ReadLine(file, line, sizeof(line), &length);
        if (err == aErrOverrun) {
            Log::log(DEBUG_Attributes, "Attibutes: line too long in '%s', reading stopped\n", path);
            break;
        }
        if (err != aErrNone)
            break;
        ParseLine(line);
    }
    aFile_Close(&file);
}

void KeyValueStore::Save(const char* path)
{
    if (path && path[0] != '\0') {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (dirty)
        Store(KEY_UPDATED_TIME, TimeStamp(), false);
    std::string text;
    for (const auto& entry : entries) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }
    errno = 0;
    aErr err = aFile_WriteAtomic(filename.c_str(), text.data(), text.size());
    if (err != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), errno);
        return;
    }
    dirty = false;
}
