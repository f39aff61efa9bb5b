// A small set of text settings kept in memory and in a plain text file of "key=value" lines.
// Keys are unique and kept in byte order. The store knows two keys of its own: the time stamps
// of the file's creation and of its last changed save.
#ifndef UPDATER_KEYVALUESTORE_H
#define UPDATER_KEYVALUESTORE_H

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
  public:
    static const char* const DEFAULT_FILENAME;  // ".settings"
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

    // Longest line read, its newline included.
    static const size_t MAX_LINE = 2047;

    // An empty store; with a path the file is loaded at once (and created when missing).
    explicit KeyValueStore(const char* path = nullptr);

    // The value, or null when the key is absent (nothing is inserted).
    const char* operator[](const char* key) const;

    // Typed reads: the default when the value is absent or empty. These insert a missing key
    // with an empty value (without marking the store changed), so the next save lists it.
    int GetInt(const char* key, int default_value);
    uint32_t GetHex(const char* key, uint32_t default_value);
    bool GetBOOL(const char* key, bool default_value);
    double GetDouble(const char* key, double default_value);
    // The value, or the default (empty when null) when absent; nothing is inserted.
    std::string GetString(const char* key, const char* default_value) const;

    // Each Add marks the store changed only when the stored text changes.
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, uint32_t value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    // Adds the entries of the file to the store. A file that does not exist is created with
    // its two time stamps.
    void Load(const char* path);
    // Writes the store to the path (or to the file it was loaded from). The file is replaced
    // in one step, so it is never left half-written.
    void Save(const char* path = nullptr);

    const std::string& Filename() const { return filename; }
    bool IsDirty() const { return dirty; }
    const std::map<std::string, std::string>& Entries() const { return entries; }
    size_t Size() const { return entries.size(); }

    // The current local time as a ctime text without its newline.
    static std::string TimeStamp();

  private:
    bool Store(const char* key, const std::string& value, bool mark_dirty);
    void ParseLine(char* line);

    std::string filename;
    std::map<std::string, std::string> entries;
    bool dirty = false;
};

#endif
