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
#include "StoreLock.h"
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

enum sReadResult { READ_OK, READ_MISSING, READ_FAILED };

// Reads the whole file, whatever the length of its lines. Only a regular file is read, and the
// open never blocks (a FIFO standing there is refused).
sReadResult sReadText(const char* path, std::string& text)
{
    text.clear();
    aFileRef file = aFile_OpenRegular(path);
    if (!file)
        return sNothingThere(path) ? READ_MISSING : READ_FAILED;
    char buffer[8192];
    for (;;) {
        size_t got = 0;
        aErr err = aFile_Read(file, buffer, sizeof(buffer), &got);
        text.append(buffer, got);
        if (err != aErrNone || got < sizeof(buffer))
            break;
    }
    aFile_Close(&file);
    return READ_OK;
}

// One "key = value" line into the map: blanks around both are dropped; comments, lines
// without "=" or without a key, and lines shorter than 3 characters (a newline counts) are
// skipped. A NUL ends the line.
void sParseLine(std::string line, bool ended, std::map<std::string, std::string>& into)
{
    size_t nul = line.find('\0');
    if (nul != std::string::npos) {
        line.resize(nul);
        ended = false;
    }
    if (line.size() + (ended ? 1 : 0) < 3 || line[0] == '#')
        return;
    size_t equals = line.find('=');
    if (equals == std::string::npos)
        return;
    size_t key = 0;
    while (key < equals && sIsBlank(line[key]))
        key++;
    size_t key_end = equals;
    while (key_end > key && sIsBlank(line[key_end - 1]))
        key_end--;
    if (key_end == key)
        return;
    size_t value = equals + 1;
    size_t value_end = line.size();
    while (value < value_end && sIsBlank(line[value]))
        value++;
    while (value_end > value && sIsBlank(line[value_end - 1]))
        value_end--;
    into[line.substr(key, key_end - key)] = line.substr(value, value_end - value);
}

void sParseText(const std::string& text, std::map<std::string, std::string>& into)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool ended = end != std::string::npos;
        if (!ended)
            end = text.size();
        sParseLine(text.substr(start, end - start), ended, into);
        start = end + 1;
    }
}

std::string sDirectoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool KeyValueStore::Storable(const std::string& key, const std::string& value)
{
    if (key.empty() || key[0] == '#' || key.find_first_of("=\n\r") != std::string::npos ||
        key.find('\0') != std::string::npos || sIsBlank(key.front()) || sIsBlank(key.back()))
        return false;
    return value.find_first_of("\n\r") == std::string::npos && value.find('\0') == std::string::npos;
}

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
    if (mark_dirty && !Storable(key, value)) {
        Log::log(DEBUG_Attributes, "Attibutes: refusing a value for [%s] that cannot be stored\n", key);
        return false;
    }
    auto it = entries.find(key);
    if (it != entries.end() && it->second == value)
        return true;
    entries[key] = value;
    if (mark_dirty) {
        dirty = true;
        changed.insert(key);
    }
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
    changed.clear();
    cleared = true;
    dirty = true;
    return true;
}

void KeyValueStore::Load(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return;
    std::string text;
    sReadResult read = sReadText(path, text);
    if (read != READ_OK) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
        Store(KEY_CREATED_TIME, TimeStamp(), true);
        if (read == READ_MISSING) {
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
    std::map<std::string, std::string> read_entries;
    sParseText(text, read_entries);
    for (const auto& entry : read_entries)
        Store(entry.first.c_str(), entry.second, false);
}

bool KeyValueStore::Save(const char* path)
{
    if (path && path[0] != '\0') {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    last_error.clear();
    if (dirty)
        Store(KEY_UPDATED_TIME, TimeStamp(), false);
    // Under the directory's lock the file is read again, and only the keys changed here are laid
    // over what it holds now: another run's changes since this one loaded stay.
    StoreLock lock(sDirectoryOf(filename));
    if (!lock.Held()) {
        last_error = lock.Error();
        Log::log(DEBUG_Attributes, "Attibutes: Error - %s\n", last_error.c_str());
        return false;
    }
    std::map<std::string, std::string> merged;
    if (!cleared) {
        std::string text;
        if (sReadText(filename.c_str(), text) == READ_FAILED) {
            last_error = "cannot read " + filename + " to bring it up to date";
            Log::log(DEBUG_Attributes, "Attibutes: Error - %s\n", last_error.c_str());
            return false;
        }
        sParseText(text, merged);
        const auto created = merged.find(KEY_CREATED_TIME);
        const std::string created_time = created == merged.end() ? std::string() : created->second;
        for (const auto& entry : entries)
            merged.insert(entry);
        for (const std::string& key : changed)
            merged[key] = entries[key];
        if (!created_time.empty())
            merged[KEY_CREATED_TIME] = created_time;
    } else {
        merged = entries;
    }
    if (dirty)
        merged[KEY_UPDATED_TIME] = entries[KEY_UPDATED_TIME];
    std::string text;
    for (const auto& entry : merged) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }
    errno = 0;
    aErr err = aFile_WriteAtomic(filename.c_str(), text.data(), text.size());
    if (err != aErrNone) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), error);
        last_error = "cannot write " + filename + (error ? std::string(": ") + strerror(error) : std::string());
        return false;
    }
    entries = merged;
    changed.clear();
    cleared = false;
    dirty = false;
    return true;
}
