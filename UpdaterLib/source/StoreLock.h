// The advisory lock of one store directory. Every write into a directory of the store (a
// settings save, a stored build) happens while its holder has it, so two runs on one store
// never lose each other's changes. Taking the lock also removes the temporary files that a
// run killed in the middle of a write left there.
#ifndef UPDATER_STORELOCK_H
#define UPDATER_STORELOCK_H

#include <cstdint>
#include <string>

class StoreLock {
  public:
    // How long a lock held by another run is waited for.
    static const uint32_t DEFAULT_WAIT_MS = 20000;

    // Takes the lock of the directory (flock on the directory itself), waiting at most wait_ms.
    explicit StoreLock(const std::string& directory, uint32_t wait_ms = DEFAULT_WAIT_MS);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    bool Held() const { return fd >= 0; }
    // Why the lock is not held.
    const std::string& Error() const { return error; }

    // True when the name is one a one-step write uses for its temporary file: NAME".tmp" and
    // six more characters.
    static bool IsTemporaryName(const std::string& name);

  private:
    void RemoveLeftovers(const std::string& directory);

    int fd = -1;
    std::string error;
};

#endif
