// Several devices updated at once, as `updater -U -d A,B,C` does: one firmware block of 64 KiB
// (by default) sent to each of 1, 3 and 8 simulated devices on 127.0.0.1 at the same time, each
// through its own Module, link and thread (each device in a child process, so this process's CPU
// time is the updater's own). Prints, for each count, the wall time, its ratio to one device's,
// and the updater's CPU seconds per MiB sent.
// Usage: multi_update_bench [KiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "UpdaterEntity.h"

namespace {

// Sends the image to the device at port; true when the whole transfer went through.
bool sTransfer(uint16_t port, uint32_t serial, const std::vector<uint8_t>& image)
{
    Vantorix::Strandix::Module module(2, (uint8_t)0);
    QuietDisplay display("multi_update_bench: ");
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    uint16_t size = 0;
    bool ok = module.connectFromSpec(BenchLoopbackSpec(serial, port)) == aErrNone && entity.LoaderInit() == aErrNone &&
              entity.LoaderStart() == aErrNone &&
              entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, size) == aErrNone &&
              entity.FirmwareTransfer(image.data(), (uint32_t)image.size(), size, display) == aErrNone;
    module.disconnect();
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const int kib = argc > 1 ? atoi(argv[1]) : 64;
    if (kib < 1) {
        fprintf(stderr, "usage: multi_update_bench [KiB >= 1]\n");
        return 2;
    }
    std::vector<uint8_t> image(4 + (size_t)kib * 1024);
    for (size_t i = 4; i < image.size(); i++)
        image[i] = (uint8_t)(i * 131 + (i >> 9));

    double single = 0.0;
    int status = 0;
    for (int count : {1, 3, 8}) {
        std::vector<pid_t> children((size_t)count, -1);
        std::vector<uint16_t> ports((size_t)count, 0);
        for (int d = 0; d < count; d++) {
            SimDeviceConfig config;
            config.idleTimeoutMs = 60000;
            config.serialNumber = 0x100 + (uint32_t)d;
            ports[(size_t)d] = BenchStartDeviceInChild(&children[(size_t)d], config, [d](const BenchServe& serve) {
                SimModuleConfig self;
                self.serialNumber = 0x100 + (uint32_t)d;
                SimModuleLogic module(self);
                SimUpgradeConfig upgradeConfig;
                upgradeConfig.blockSize = 4096;
                SimUpgradeLogic upgrade(upgradeConfig, &module, self.serialNumber);
                serve(&upgrade);
            });
        }
        bool started = true;
        for (uint16_t port : ports)
            started = started && port != 0;
        if (!started) {
            fprintf(stderr, "multi_update_bench: a simulated device did not start\n");
            status = 1;
        } else {
            std::vector<int> done((size_t)count, 0);
            const double cpu0 = BenchCpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            std::vector<std::thread> threads;
            for (int d = 0; d < count; d++)
                threads.emplace_back([&, d] { done[(size_t)d] = sTransfer(ports[(size_t)d], 0x100 + (uint32_t)d, image); });
            for (std::thread& t : threads)
                t.join();
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double cpu = BenchCpuSeconds() - cpu0;
            int ok = 0;
            for (int d : done)
                ok += d;
            if (count == 1)
                single = wall;
            const double mib = (double)ok * kib / 1024.0;
            printf("%d device%s at once: %d KiB each, %d transferred, %.2f s wall, %.2f x one device, "
                   "updater CPU %.3f s = %.3f s per MiB\n",
                   count, count == 1 ? "" : "s", kib, ok, wall, single > 0 ? wall / single : 0.0, cpu,
                   mib > 0 ? cpu / mib : 0.0);
            if (ok != count)
                status = 1;
        }
        for (pid_t child : children)
            if (child > 0)
                BenchStopChild(child);
    }
    return status;
}
