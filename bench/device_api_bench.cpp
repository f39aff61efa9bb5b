// Device API exchanges against the simulated module over TCP on 127.0.0.1: UEI round trips,
// byte runs, store-slot transfers and the router probe of network discovery. Prints figures.
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchSupport.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SystemClass.h"

using namespace Vantorix::Strandix;
using Clock = std::chrono::steady_clock;

static double sMs(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

int main()
{
    SimModuleConfig self;
    self.address = 2;
    self.serialNumber = 0x00000100;
    SimModuleLogic logic(self);
    for (uint8_t address : {4, 10}) {
        SimModuleConfig behind = self;
        behind.address = address;
        behind.serialNumber = 0x100u + address;
        logic.AddNetworkModule(behind);
    }
    logic.SetAnswerAbsent(true);
    SimDeviceConfig config;
    config.serialNumber = self.serialNumber;
    config.moduleAddress = self.address;
    SimDevice device(config, &logic);
    if (!device.ListenTcp(0) || !device.Start()) {
        fprintf(stderr, "device_api_bench: cannot start the simulated module\n");
        return 1;
    }
    linkSpec spec = BenchLoopbackSpec(self.serialNumber, device.Port());

    Module module(2, 0);
    auto start = Clock::now();
    if (module.connectFromSpec(spec) != aErrNone) {
        fprintf(stderr, "device_api_bench: cannot connect\n");
        return 1;
    }
    printf("connect with auto-networking: %.1f ms\n", sMs(start));
    SystemClass system;
    system.init(&module, 0);

    const int rounds = 500;
    uint32_t serial = 0;
    start = Clock::now();
    for (int i = 0; i < rounds; i++)
        if (system.getSerialNumber(&serial) != aErrNone)
            return 1;
    double ms = sMs(start);
    printf("32-bit get: %d round trips in %.1f ms, %.3f ms each\n", rounds, ms, ms / rounds);

    std::vector<uint8_t> name(240, 'n');
    start = Clock::now();
    const int runs = 50;
    size_t length = 0;
    std::vector<uint8_t> back(256);
    for (int i = 0; i < runs; i++)
        if (system.setName(name.data(), name.size()) != aErrNone ||
            system.getName(back.data(), back.size(), &length) != aErrNone)
            return 1;
    ms = sMs(start);
    printf("240-byte run set+get: %d pairs in %.1f ms, %.0f bytes/s each way\n", runs, ms,
           runs * 240.0 / (ms / 1000.0));

    std::vector<uint8_t> slot(SimModuleLogic::kSlotCapacity, 0x5A);
    start = Clock::now();
    if (module.getLink()->loadStoreSlot(2, 0, 1, slot.data(), slot.size()) != aErrNone)
        return 1;
    double loadMs = sMs(start);
    start = Clock::now();
    if (module.getLink()->unloadStoreSlot(2, 0, 1, slot.data(), slot.size(), &length) != aErrNone)
        return 1;
    printf("store slot of %zu bytes: load %.1f ms, unload %.1f ms\n", slot.size(), loadMs, sMs(start));

    // The router probe of network discovery: every even address 2 to 252, empty ones answered
    // at once with an error.
    start = Clock::now();
    int found = 0;
    for (unsigned address = 2; address <= 252; address += 2) {
        Module probe((uint8_t)address, 0);
        probe.connectThroughLinkModule(&module);
        SystemClass s;
        s.init(&probe, 0);
        if (s.getSerialNumber(&serial) == aErrNone)
            found++;
    }
    printf("router probe of 126 addresses: %d modules in %.1f ms\n", found, sMs(start));
    module.disconnect();
    device.Stop();
    return 0;
}
