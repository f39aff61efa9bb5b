// Recovery through the ROM bootloaders at 115200 baud on the paced simulators (a pseudo-terminal
// carries 10 bits a byte in each direction, as a real line would), each against an independent
// client on the same simulator, in one run:
// - i.MX RT1050: a 128 KiB loader written through the serial download protocol and started.
//   The recovery flow (the LPC probe first, then the i.MX ROM) against imx_uart, timed from the
//   start of each to the processor's jump.
// - LPC17xx: a 128 KiB image flashed. The recovery flow (fingerprint, unlock, erase of all 30
//   sectors, uuencoded writes, copies, start) against lpc21isp, timed to the end.
// Each is printed with the wire floor: the time the bytes the recovery flow exchanged need on
// the line one after the other (for the LPC, echoes overlap what is sent and are left out, and
// the chip's erase time is added).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "BenchSupport.h"
#include "BirdWriter.h"
#include "ImxRomSim.h"
#include "LpcRomSim.h"
#include "Updater.h"

namespace {

const uint32_t BAUD = 115200;
const size_t IMAGE_SIZE = 128 * 1024;
const uint32_t IMX_LOAD = 0x20000000;
const uint32_t BENCH_SERIAL = 0x00C0FFEE;

double sSeconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double sWireSeconds(uint64_t bytes) { return (double)bytes * 10.0 / BAUD; }

bool sWriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f)
        fclose(f);
    if (!ok)
        fprintf(stderr, "cannot write %s\n", path.c_str());
    return ok;
}

void sPutLE32(std::vector<uint8_t>& v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v[at + i] = (uint8_t)(x >> (8 * i));
}

// Waits for the child, ending it first when `kill` is set; true when it exited with 0.
bool sReap(pid_t pid, bool end)
{
    if (end)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs `child` in a child process and returns the seconds until the simulated processor jumped
// (0 when it did not within two minutes), with the bytes on the wire until then. The child is
// ended at the jump: what the recovery does after it (finding the started loader on USB) is not
// part of this comparison.
template <typename Child>
double sTimeToJump(ImxRomSim& sim, uint64_t* wireBytes, Child child)
{
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0)
        return 0;
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout))
            _exit(126);
        child();
        _exit(127);
    }
    double took = 0;
    while (sSeconds(start) < 120) {
        if (sim.device().Jumped()) {
            took = std::chrono::duration<double>(sim.device().JumpTime() - start).count();
            // Once the processor's last words are out: its security state and the started
            // program's banner come after the jump and are not counted.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            *wireBytes = sim.WireBytes() - 4 - sim.banner.size();
            break;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pid > 0)
        sReap(pid, true);
    return took;
}

bool sLoaderHolds(ImxRomSim& sim, const std::vector<uint8_t>& loader)
{
    std::vector<ImxSdpDevice::Write> writes = sim.device().Writes();
    return writes.size() == 1 && writes[0].address == IMX_LOAD && writes[0].data == loader;
}

// The loader: an image vector table at its start (entry 0x100 in, boot data right behind the
// table naming the whole image), so that imx_uart loads all of it where the recovery flow does.
std::vector<uint8_t> sImxLoader()
{
    std::vector<uint8_t> image = BirdWriter::MakeCode(IMAGE_SIZE, 7);
    std::fill(image.begin(), image.begin() + 0x40, 0);
    image[0] = 0xD1;  // IVT tag, length 0x0020 (big-endian), version 0x41
    image[1] = 0x00;
    image[2] = 0x20;
    image[3] = 0x41;
    sPutLE32(image, 4, IMX_LOAD + 0x100);
    sPutLE32(image, 16, IMX_LOAD + 0x20);
    sPutLE32(image, 20, IMX_LOAD);
    sPutLE32(image, 0x20, IMX_LOAD);
    sPutLE32(image, 0x24, (uint32_t)IMAGE_SIZE);
    return image;
}

bool sBenchImx(const std::string& dir)
{
    const std::vector<uint8_t> loader = sImxLoader();
    const std::string bird = dir + "/loader.bird", bin = dir + "/loader.bin", conf = dir + "/rt1050.conf";
    BirdWriter writer;
    writer.AddInformation(1, "1.0.0", BENCH_SERIAL, "Bench");
    writer.AddLoader(IMX_LOAD, loader);
    writer.AddRecoveryStart(IMX_LOAD);
    if (writer.Write(bird) != aErrNone || !sWriteFile(bin, loader))
        return false;
    const std::string table = "mx1050\nhid,1024,0x20000000,0x20000000,128K,0x20200000,256K\n";
    if (!sWriteFile(conf, std::vector<uint8_t>(table.begin(), table.end())))
        return false;

    double ours = 0, floor = 0;
    bool oursOk = false;
    {
        ImxRomSim sim(BAUD);
        if (!sim.Start())
            return false;
        uint64_t bytes = 0;
        ours = sTimeToJump(sim, &bytes, [&] {
            QuietDisplay display("error: ");
            Updater updater("", dir.c_str(), display);
            updater.Recover_Firmware(sim.Port(), 0, BAUD, BENCH_SERIAL, bird, false);
        });
        floor = sWireSeconds(bytes);
        oursOk = ours > 0 && sLoaderHolds(sim, loader);
    }
    double theirs = 0;
    bool theirsOk = false;
    {
        ImxRomSim sim(BAUD);
        if (!sim.Start())
            return false;
        uint64_t bytes = 0;
        theirs = sTimeToJump(sim, &bytes, [&] {
            // -n: a pseudo-terminal has no RTS/CTS lines.
            if (!freopen("/dev/null", "w", stderr))
                _exit(126);
            execlp("imx_uart", "imx_uart", "-n", sim.Port().c_str(), conf.c_str(), bin.c_str(), (char*)nullptr);
        });
        theirsOk = theirs > 0 && sLoaderHolds(sim, loader);
    }
    printf("i.MX RT1050: %zu-byte loader written and started at %u baud, time to the jump\n", loader.size(), BAUD);
    printf("  wire floor            %.3f s (the bytes the recovery flow exchanged)\n", floor);
    printf("  recovery flow         %.3f s%s (LPC probe first)\n", ours, oursOk ? "" : "  FAILED");
    printf("  imx_uart              %.3f s%s\n", theirs, theirsOk ? "" : "  FAILED");
    printf("  ratio recovery/imx_uart %.3f, recovery/wire floor %.3f\n", theirs > 0 ? ours / theirs : 0.0,
           floor > 0 ? ours / floor : 0.0);
    return oursOk && theirsOk;
}

bool sFlashHolds(LpcRomSim& sim, const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> flash = sim.Flash();
    return memcmp(flash.data(), image.data(), image.size()) == 0;
}

bool sBenchLpc(const std::string& dir)
{
    const uint32_t key[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    std::vector<uint8_t> image = BirdWriter::MakeCode(IMAGE_SIZE, 42);
    // A valid vector checksum, so that neither client has a reason to change the image.
    uint32_t words[8], total = 0;
    memcpy(words, image.data(), sizeof(words));
    for (int i = 0; i < 7; i++)
        total += words[i];
    words[7] = 0u - total;
    memcpy(image.data(), words, sizeof(words));

    const std::string bird = dir + "/image.bird", bin = dir + "/image.bin";
    BirdWriter writer;
    writer.AddInformation(1, "1.0.0", BENCH_SERIAL, "Bench");
    writer.AddEncodedFirmware(0, image, key);
    writer.AddFirmware(0x40000, {0xFF, 0xFF, 0xFF, 0xFF});
    if (writer.Write(bird) != aErrNone || !sWriteFile(bin, image))
        return false;

    LpcRomConfig config;
    config.baud = BAUD;
    memcpy(config.serial, key, sizeof(key));

    double ours = 0, floor = 0;
    bool oursOk = false;
    {
        LpcRomSim sim(config);
        if (!sim.Start())
            return false;
        QuietDisplay display("error: ");
        Updater updater("", dir.c_str(), display);
        auto start = std::chrono::steady_clock::now();
        oursOk = updater.Recover_Firmware(sim.Port(), 0, BAUD, BENCH_SERIAL, bird, false);
        ours = sSeconds(start);
        oursOk = oursOk && sFlashHolds(sim, image);
        floor = sWireSeconds(sim.WireBytes() - sim.EchoedBytes()) +
                LpcRomSim::SECTORS * config.eraseMsPerSector / 1000.0;
    }

    // lpc21isp on the same image and the same simulator.
    double theirs = 0;
    bool theirsOk = false;
    {
        LpcRomSim sim(config);
        if (!sim.Start())
            return false;
        auto start = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout))
                _exit(126);
            execlp("lpc21isp", "lpc21isp", "-bin", bin.c_str(), sim.Port().c_str(), std::to_string(BAUD).c_str(),
                   "14746", (char*)nullptr);
            _exit(127);
        }
        theirsOk = pid > 0 && sReap(pid, false);
        theirs = sSeconds(start);
        theirsOk = theirsOk && sFlashHolds(sim, image);
    }
    printf("LPC17xx: %zu-byte image flashed at %u baud\n", image.size(), BAUD);
    printf("  wire floor            %.3f s (bytes exchanged without echoes, plus the erase of all 30 sectors)\n",
           floor);
    printf("  recovery flow         %.3f s%s (fingerprint, erase of all 30 sectors, writes, start)\n", ours,
           oursOk ? "" : "  FAILED");
    printf("  lpc21isp              %.3f s%s (erases only the sectors the image needs)\n", theirs,
           theirsOk ? "" : "  FAILED");
    printf("  ratio recovery/lpc21isp %.3f, recovery/wire floor %.3f\n", theirs > 0 ? ours / theirs : 0.0,
           floor > 0 ? ours / floor : 0.0);
    return oursOk && theirsOk;
}

}  // namespace

// With "imx" or "lpc" as the argument, runs only that part.
int main(int argc, char** argv)
{
    const std::string only = argc > 1 ? argv[1] : "";
    char dir[] = "/tmp/recovery_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    fflush(stdout);
    bool imx = only == "lpc" || sBenchImx(dir);
    fflush(stdout);
    bool lpc = only == "imx" || sBenchLpc(dir);
    for (const char* name : {"loader.bird", "loader.bin", "rt1050.conf", "image.bird", "image.bin"})
        unlink((std::string(dir) + "/" + name).c_str());
    std::string rest = std::string("rm -rf ") + dir;  // the store the flows may have made
    if (system(rest.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", dir);
    return imx && lpc ? 0 : 1;
}
