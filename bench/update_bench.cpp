// Firmware transfer figures: one firmware block of 256 KiB (by default) sent through the
// upgrade entity to the simulated device on 127.0.0.1, which answers PREPARE with a 4096-byte
// block size. The device runs in a child process, so this process's CPU time is the updater's
// own (the caller and the link's reader and writer threads).
//  - throughput as a share of the protocol's pacing limit: 26 data bytes per packet, one packet
//    per millisecond, 26000 bytes/s;
//  - CPU seconds per MiB transferred.
// Usage: update_bench [KiB] [block-size]
#include <chrono>
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

int main(int argc, char** argv)
{
    const int kib = argc > 1 ? atoi(argv[1]) : 256;
    const int blockSize = argc > 2 ? atoi(argv[2]) : 4096;
    if (kib < 1 || blockSize < 1 || blockSize > 65535) {
        fprintf(stderr, "usage: update_bench [KiB >= 1] [block-size 1..65535]\n");
        return 2;
    }
    pid_t child = -1;
    SimDeviceConfig config;
    config.idleTimeoutMs = 30000;
    uint16_t port = BenchStartDeviceInChild(&child, config, [blockSize](const BenchServe& serve) {
        SimModuleConfig self;
        SimModuleLogic module(self);
        SimUpgradeConfig upgradeConfig;
        upgradeConfig.blockSize = (uint16_t)blockSize;
        SimUpgradeLogic upgrade(upgradeConfig, &module, self.serialNumber);
        serve(&upgrade);
    });
    if (port == 0) {
        fprintf(stderr, "update_bench: the simulated device did not start\n");
        return 1;
    }
    int status = 1;
    {
        Vantorix::Strandix::Module module(2, (uint8_t)0);
        linkSpec spec = BenchLoopbackSpec(0x2A, port);
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
            const double cpu0 = BenchCpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            aErr err = entity.FirmwareTransfer(image.data(), (uint32_t)image.size(), size, display);
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double cpu = BenchCpuSeconds() - cpu0;
            if (err != aErrNone) {
                fprintf(stderr, "update_bench: transfer failed [%d]\n", (int)err);
            } else {
                const double bytes = (double)kib * 1024.0;
                const double rate = bytes / wall;
                printf("firmware transfer: %d KiB, block size %u, %.2f s\n", kib, size, wall);
                printf("throughput: %.0f bytes/s = %.3f of the pacing limit (%.0f bytes/s)\n", rate,
                       rate / kPacingLimit, kPacingLimit);
                printf("updater CPU: %.3f s, %.3f s per MiB\n", cpu, cpu / (bytes / 1048576.0));
                status = 0;
            }
        }
        module.disconnect();
    }
    BenchStopChild(child);
    return status;
}
