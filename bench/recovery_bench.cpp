// Flashes a 128 KiB image into the simulated LPC17xx ROM bootloader at 115200 baud (the
// simulator paces its pseudo-terminal at that rate, as a real line would) twice in one run: with
// the updater's recovery flow (fingerprint, unlock, erase of all 30 sectors, uuencoded writes,
// copies, start) and with lpc21isp, and prints the times and their ratio.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "BenchSupport.h"
#include "BirdWriter.h"
#include "LpcRomSim.h"
#include "Updater.h"

namespace {

double sSeconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool sFlashHolds(LpcRomSim& sim, const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> flash = sim.Flash();
    return memcmp(flash.data(), image.data(), image.size()) == 0;
}

}  // namespace

int main()
{
    const uint32_t baud = 115200;
    const uint32_t key[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    std::vector<uint8_t> image = BirdWriter::MakeCode(128 * 1024, 42);
    // A valid vector checksum, so that neither client has a reason to change the image.
    uint32_t words[8], total = 0;
    memcpy(words, image.data(), sizeof(words));
    for (int i = 0; i < 7; i++)
        total += words[i];
    words[7] = 0u - total;
    memcpy(image.data(), words, sizeof(words));

    char dir[] = "/tmp/recovery_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string bird = std::string(dir) + "/image.bird", bin = std::string(dir) + "/image.bin";
    BirdWriter writer;
    writer.AddInformation(1, "1.0.0", 0x00C0FFEE, "Bench");
    writer.AddEncodedFirmware(0, image, key);
    writer.AddFirmware(0x40000, {0xFF, 0xFF, 0xFF, 0xFF});
    if (writer.Write(bird) != aErrNone) {
        fprintf(stderr, "cannot write %s\n", bird.c_str());
        return 1;
    }
    FILE* f = fopen(bin.c_str(), "wb");
    if (!f || fwrite(image.data(), 1, image.size(), f) != image.size()) {
        fprintf(stderr, "cannot write %s\n", bin.c_str());
        return 1;
    }
    fclose(f);

    LpcRomConfig config;
    config.baud = baud;
    memcpy(config.serial, key, sizeof(key));

    // The recovery flow.
    double ours = 0;
    bool oursOk = false;
    {
        LpcRomSim sim(config);
        if (!sim.Start())
            return 1;
        QuietDisplay display("error: ");
        Updater updater("", dir, display);
        auto start = std::chrono::steady_clock::now();
        oursOk = updater.Recover_Firmware(sim.Port(), 0, baud, 0x00C0FFEE, bird, false);
        ours = sSeconds(start);
        oursOk = oursOk && sFlashHolds(sim, image);
    }

    // lpc21isp on the same image and the same simulator.
    double theirs = 0;
    bool theirsOk = false;
    {
        LpcRomSim sim(config);
        if (!sim.Start())
            return 1;
        auto start = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout))
                _exit(126);
            execlp("lpc21isp", "lpc21isp", "-bin", bin.c_str(), sim.Port().c_str(), std::to_string(baud).c_str(),
                   "14746", (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        theirs = sSeconds(start);
        theirsOk = WIFEXITED(status) && WEXITSTATUS(status) == 0 && sFlashHolds(sim, image);
    }
    unlink(bird.c_str());
    unlink(bin.c_str());
    rmdir(dir);

    // Each data byte travels as 4/3 characters plus a count character and CR LF per 45 bytes.
    const double chars = image.size() / 45.0 * 63.0;
    const double wire = chars * 10.0 / baud;
    printf("image                 %zu bytes at %u baud\n", image.size(), baud);
    printf("wire time of the data %.2f s (uuencoded lines alone)\n", wire);
    printf("recovery flow         %.2f s%s (includes sync and the erase of all 30 sectors, 3.0 s)\n", ours,
           oursOk ? "" : "  FAILED");
    printf("lpc21isp              %.2f s%s (erases only the sectors the image needs)\n", theirs,
           theirsOk ? "" : "  FAILED");
    printf("ratio recovery/lpc21isp %.3f\n", theirs > 0 ? ours / theirs : 0.0);
    return oursOk && theirsOk ? 0 : 1;
}
