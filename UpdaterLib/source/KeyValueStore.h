// A small set of text settings kept in memory and in a plain text file of "key=value" lines.
// Keys are unique and kept in byte order. The store knows two keys of its own: the time stamps
// of the file's creation and of its last changed save.
#ifndef UPDATER_KEYVALUESTORE_H
#define UPDATER_KEYVALUESTORE_H

#include <cstdint>
#include <map>
#include <set>
#include <string>

class KeyValueStore {
  public:
    static const char* const DEFAULT_FILENAME;  // ".settings"
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

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

    // Each Add marks the store changed only when the stored text changes. A key or value that
    // the file cannot carry (a line break or NUL, a key with "=" or that reads as a comment or
    // loses its blanks) is refused: false, nothing changes.
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, uint32_t value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    // Adds the entries of the file to the store, lines of any length. Only a regular file is
    // read (a FIFO never blocks). A file that does not exist is created with its two time
    // stamps.
    void Load(const char* path);
    // Writes the store to the path (or to the file it was loaded from) under the directory's
    // lock (`StoreLock`): the file is read again and only the keys changed here since the last
    // save (all of them after `Clear`) are laid over it, so concurrent runs keep each other's
    // keys. The file is replaced in one step, never left half-written. False when it could not
    // be written (`LastError` says why); the store then keeps its changes.
    bool Save(const char* path = nullptr);
    const std::string& LastError() const { return last_error; }

    static bool Storable(const std::string& key, const std::string& value);

    const std::string& Filename() const { return filename; }
    bool IsDirty() const { return dirty; }
    const std::map<std::string, std::string>& Entries() const { return entries; }
    size_t Size() const { return entries.size(); }

    // The current local time as a ctime text without its newline.
    static std::string TimeStamp();

  private:
    bool Store(const char* key, const std::string& value, bool mark_dirty);

    std::string filename;
    std::map<std::string, std::string> entries;
    bool dirty = false;
    std::set<std::string> changed;  // keys set since the last save
    bool cleared = false;
    std::string last_error;
};

#endif
