// Loads arbitrary bytes as a settings file, saves what was read and checks that it loads back
// the same (keys that begin with "#" read back as comments and are left out of the check).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "KeyValueStore.h"

namespace {

std::string scratch_dir;

void sRemoveScratch()
{
    for (const char* name : {"/input", "/output"})
        unlink((scratch_dir + name).c_str());
    rmdir(scratch_dir.c_str());
}

std::string sScratch(const char* name)
{
    std::string& dir = scratch_dir;
    if (dir.empty()) {
        // A memory file system keeps the flush to disk of every save cheap.
        char pattern[] = "/dev/shm/fuzz-settings.XXXXXX";
        if (access("/dev/shm", W_OK) != 0)
            snprintf(pattern, sizeof(pattern), "%s", "/tmp/fuzz-settings.XXXXXX");
        const char* made = mkdtemp(pattern);
        if (!made)
            abort();
        dir = made;
        atexit(sRemoveScratch);
    }
    return dir + "/" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string input = sScratch("input");
    static const std::string output = sScratch("output");
    FILE* f = fopen(input.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);

    KeyValueStore store(input.c_str());
    store.GetInt("LATEST_DOWNLOAD", 0);
    store.GetHex("H", 0);
    store.GetDouble("D", 0);
    store.Save(output.c_str());

    KeyValueStore again(output.c_str());
    for (const auto& entry : store.Entries()) {
        if (entry.first[0] == '#')
            continue;
        const char* value = again[entry.first.c_str()];
        if (value == nullptr || entry.second != value)
            abort();
    }
    unlink(output.c_str());
    return 0;
}
