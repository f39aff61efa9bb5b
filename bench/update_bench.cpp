// Firmware transfer figures: one firmware block of 256 KiB (by default) sent through the
// upgrade entity to the simulated device on 127.0.0.1, which answers PREPARE with a 4096-byte
// block size. The device runs in a child process, so this process's CPU time is the updater's
// own (the caller and the link's reader and writer threads).
//  - throughput as a share of the protocol's pacing limit: 26 data bytes per packet, one packet
//    per millisecond, 26000 bytes/s;
//  - CPU seconds per MiB transferred;
//  - the same with several links (8 by default) transferring at once, each to its own device.
// Usage: update_bench [KiB] [block-size] [links at once]
#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BenchSupport.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "UpdaterEntity.h"

namespace {

const double kPacingLimit = 26000.0;

}  // namespace

struct Transfer {
    pid_t child = -1;
    uint16_t port = 0;
    bool ok = false;
    double wall = 0;
};

// One update of kib KiB to the simulated device on port, as the updater makes it.
static void sTransfer(Transfer& t, int kib)
{
    Vantorix::Strandix::Module module(2, (uint8_t)0);
    linkSpec spec = BenchLoopbackSpec(0x2A, t.port);
    QuietDisplay display;
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    std::vector<uint8_t> image(4 + (size_t)kib * 1024);
    for (size_t i = 4; i < image.size(); i++)
        image[i] = (uint8_t)(i * 131 + (i >> 9));
    uint16_t size = 0;
    if (module.connectFromSpec(spec) != aErrNone || entity.LoaderInit() != aErrNone ||
        entity.LoaderStart() != aErrNone ||
        entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, size) != aErrNone) {
        fprintf(stderr, "update_bench: the simulated device did not take the update\n");
    } else {
        const auto t0 = std::chrono::steady_clock::now();
        aErr err = entity.FirmwareTransfer(image.data(), (uint32_t)image.size(), size, display);
        t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        t.ok = err == aErrNone;
        if (!t.ok)
            fprintf(stderr, "update_bench: transfer failed [%d]\n", (int)err);
    }
    module.disconnect();
}

int main(int argc, char** argv)
{
    const int kib = argc > 1 ? atoi(argv[1]) : 256;
    const int blockSize = argc > 2 ? atoi(argv[2]) : 4096;
    const int links = argc > 3 ? atoi(argv[3]) : 8;
    if (kib < 1 || blockSize < 1 || blockSize > 65535 || links < 1 || links > 32) {
        fprintf(stderr, "usage: update_bench [KiB >= 1] [block-size 1..65535] [links at once 1..32]\n");
        return 2;
    }
    // One device for the single transfer and one for each of the links at once, each on its own
    // port of 127.0.0.1.
    std::vector<Transfer> transfers((size_t)(links > 1 ? links + 1 : 1));
    for (size_t i = 0; i < transfers.size(); i++) {
        SimDeviceConfig config;
        config.idleTimeoutMs = 60000;
        transfers[i].port = BenchStartDeviceInChild(&transfers[i].child, config, [blockSize](const BenchServe& serve) {
            SimModuleConfig self;
            SimModuleLogic module(self);
            SimUpgradeConfig upgradeConfig;
            upgradeConfig.blockSize = (uint16_t)blockSize;
            SimUpgradeLogic upgrade(upgradeConfig, &module, self.serialNumber);
            serve(&upgrade);
        });
        if (transfers[i].port == 0) {
            fprintf(stderr, "update_bench: the simulated device did not start\n");
            for (Transfer& t : transfers)
                if (t.child > 0)
                    BenchStopChild(t.child);
            return 1;
        }
    }
    int status = 0;
    const double bytes = (double)kib * 1024.0;
    // One link alone.
    double cpu0 = BenchCpuSeconds();
    sTransfer(transfers[0], kib);
    double cpu = BenchCpuSeconds() - cpu0;
    const double perMiBAlone = cpu / (bytes / 1048576.0);
    if (transfers[0].ok) {
        const double rate = bytes / transfers[0].wall;
        printf("firmware transfer: %d KiB, block size %d, %.2f s\n", kib, blockSize, transfers[0].wall);
        printf("throughput: %.0f bytes/s = %.3f of the pacing limit (%.0f bytes/s)\n", rate, rate / kPacingLimit,
               kPacingLimit);
        printf("updater CPU: %.3f s, %.3f s per MiB\n", cpu, perMiBAlone);
    } else {
        status = 1;
    }
    // Several links at once, one thread each.
    if (links > 1 && status == 0) {
        cpu0 = BenchCpuSeconds();
        std::vector<std::thread> threads;
        for (int i = 1; i <= links; i++)
            threads.emplace_back([&transfers, i, kib] { sTransfer(transfers[(size_t)i], kib); });
        for (std::thread& t : threads)
            t.join();
        cpu = BenchCpuSeconds() - cpu0;
        double slowest = 0;
        bool all = true;
        for (int i = 1; i <= links; i++) {
            all = all && transfers[(size_t)i].ok;
            slowest = std::max(slowest, transfers[(size_t)i].wall);
        }
        if (all) {
            const double perMiB = cpu / (links * bytes / 1048576.0);
            printf("%d links at once: slowest %.2f s, %.3f of the pacing limit each; updater CPU %.3f s, %.3f s per MiB "
                   "(%.2f times one link alone)\n",
                   links, slowest, bytes / slowest / kPacingLimit, cpu, perMiB, perMiB / perMiBAlone);
        } else {
            status = 1;
        }
    }
    for (Transfer& t : transfers)
        BenchStopChild(t.child);
    return status;
}
