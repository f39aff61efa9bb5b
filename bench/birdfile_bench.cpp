// Figures for firmware files and the local store: loading BIRD files of growing size, decoding
// and patching the loaded image, and saving a device's settings file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "KeyValueStore.h"
#include "aDirectory.h"

namespace {

double sSeconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/birdfile-bench.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = made;
    const uint32_t key[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};

    printf("%-12s %10s %12s %12s %12s\n", "image", "file", "load MB/s", "decode MB/s", "patch us");
    for (size_t kib : {64u, 512u, 4096u}) {
        size_t size = kib * 1024;
        BirdWriter writer;
        writer.AddInformation(1000, "1.0.0", 0x1A2B, "Juniper");
        writer.AddSerialNumberLocations(0x100, 0x200);
        writer.AddLoader(0x20000000, BirdWriter::MakeCode(16 * 1024, 1));
        // Blocks of 4 KiB, as firmware images are usually cut.
        std::vector<uint8_t> image = BirdWriter::MakeCode(size, 2);
        for (size_t offset = 0; offset < size; offset += 4096)
            writer.AddEncodedFirmware((uint32_t)offset,
                                      std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + 4096), key);
        std::string path = dir + "/" + std::to_string(kib) + ".bird";
        if (writer.Write(path) != aErrNone) {
            fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        FILE* f = fopen(path.c_str(), "rb");
        fseek(f, 0, SEEK_END);
        long file_size = ftell(f);
        fclose(f);

        const int rounds = kib >= 4096 ? 5 : 20;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < rounds; i++)
            BirdFile loaded(path.c_str());
        double load = sSeconds(start) / rounds;

        BirdFile file(path.c_str());
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < rounds; i++)
            file.DecodeFirmwareBlocks(key[0], key[1], key[2], key[3]);
        double decode = sSeconds(start) / rounds;

        start = std::chrono::steady_clock::now();
        for (int i = 0; i < 100; i++)
            file.ReplaceSerialNumber(0x1A2B + (unsigned)i);
        double patch = sSeconds(start) / 100;

        printf("%-12s %10ld %12.1f %12.1f %12.2f\n", (std::to_string(kib) + " KiB").c_str(), file_size,
               size / 1e6 / load, size / 1e6 / decode, patch * 1e6);
    }

    std::string settings = dir + "/.settings";
    KeyValueStore store(settings.c_str());
    const int saves = 50;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < saves; i++) {
        store.Add("LATEST_DOWNLOAD", std::to_string(1000 + i) + ".bird");
        store.Save();
    }
    printf("settings save (written in one step, flushed to disk): %.2f ms each\n", sSeconds(start) / saves * 1e3);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < saves; i++)
        KeyValueStore loaded(settings.c_str());
    printf("settings load: %.1f us each\n", sSeconds(start) / saves * 1e6);

    aDirectory_DeleteTree(dir.c_str());
    return 0;
}
