// USB figures against simulated devices: the driver node (a pseudo-terminal) and the emulated USB
// bus (real libusb over an emulated usbdevfs; its figures include the emulation's own cost, so
// they bound the host's overhead from above rather than predict real hardware):
//  - request-to-reply round trip through the link engine over each path (median, 99th percentile);
//  - raw bulk OUT rate of the driver over the emulated bus (50-byte transfers);
//  - a device that leaves the bus: time until its engine link leaves running, and the process's
//    CPU use while the link sits on the gone device.
// Usage: usb_bench [round-trips]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "SimDevice.h"
#include "SimEchoLogic.h"
#include "SimUsbBus.h"
#include "SimUsbNode.h"
#include "SimUsbWire.h"
#include "aLink.h"
#include "aTime.h"
#include "sxusb_driver.h"

static const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

static double sNowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static void sRoundTrips(const char* name, uint32_t serialNumber, uint8_t module, int count)
{
    aLinkId id = aLink_CreateUSB(serialNumber);
    if (id == 0) {
        printf("%s: no link\n", name);
        return;
    }
    std::vector<double> times;
    for (int i = 0; i < count; i++) {
        const uint8_t payload[2] = {0x55, (uint8_t)i};
        aPacket* request = aPacket_CreateWithData(module, 2, payload);
        const double start = sNowMs();
        aLink_PutPacket(id, request);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitPacket(id, 2000);
        if (reply == nullptr)
            continue;
        times.push_back(sNowMs() - start);
        aPacket_Destroy(&reply);
    }
    aLink_Destroy(&id);
    if (times.empty()) {
        printf("%s: no replies\n", name);
        return;
    }
    std::sort(times.begin(), times.end());
    printf("%-28s round trip: median %.3f ms, p99 %.3f ms (%zu of %d replies)\n", name, times[times.size() / 2],
           times[std::min(times.size() - 1, times.size() * 99 / 100)], times.size(), count);
}

int main(int argc, char** argv)
{
    const int count = argc > 1 ? atoi(argv[1]) : 500;
    SimEchoLogic logic;

    // Driver node.
    {
        SimDeviceConfig config;
        config.serialNumber = 0x7E57B001;
        config.moduleAddress = 4;
        SimDevice device(config, &logic);
        if (device.OpenPty() && device.Start()) {
            SimUsbNode node(config.serialNumber, device.PtyPath());
            if (node.ok())
                sRoundTrips("driver node (pty)", config.serialNumber, 4, count);
            else
                printf("driver node: cannot make %s\n", node.path().c_str());
        }
        device.Stop();
    }

    if (!sPreloaded) {
        printf("emulated USB bus: not available\n");
        return 0;
    }
    SimUsbBus bus;
    // Engine link over libusb.
    {
        SimDeviceConfig config;
        config.serialNumber = 0x7E57B002;
        config.moduleAddress = 6;
        SimDevice device(config, &logic);
        auto wire = std::make_shared<SimUsbWireBackend>();
        SimUsbDeviceConfig usb;
        usb.serial = "7E57B002";
        if (wire->Attach(device) && device.Start() && bus.Add(usb, wire) != nullptr)
            sRoundTrips("libusb (emulated bus)", config.serialNumber, 6, count);
        device.Stop();
    }
    // Raw bulk OUT.
    {
        auto sink = std::make_shared<SimUsbEchoBackend>();
        sink->SetEcho(false);
        SimUsbDeviceConfig usb;
        usb.serial = "7E57B003";
        bus.Add(usb, sink);
        sxusb* handle = sxusb_create_usb(1);
        if (handle != nullptr && sxusb_open_strandix_device(handle, "7E57B003") == aErrNone) {
            std::vector<uint8_t> data(5000, 0xA5);
            const int writes = 40;
            const double start = sNowMs();
            for (int i = 0; i < writes; i++)
                sxusb_write_to_device(handle, data.data(), (uint32_t)data.size());
            const double ms = sNowMs() - start;
            printf("%-28s bulk OUT: %.0f KiB/s, %.3f ms per 50-byte transfer\n", "libusb (emulated bus)",
                   writes * data.size() / 1024.0 / (ms / 1000.0), ms / (writes * data.size() / 50.0));
            sxusb_close_strandix_device(handle);
        }
        sxusb_destroy(&handle);
    }
    // A device that leaves the bus under a running link.
    {
        SimDeviceConfig config;
        config.serialNumber = 0x7E57B004;
        config.moduleAddress = 6;
        SimDevice device(config, &logic);
        auto wire = std::make_shared<SimUsbWireBackend>();
        SimUsbDeviceConfig usb;
        usb.serial = "7E57B004";
        SimUsbDevice* plugged = nullptr;
        aLinkId id = 0;
        if (wire->Attach(device) && device.Start() && (plugged = bus.Add(usb, wire)) != nullptr)
            id = aLink_CreateUSB(config.serialNumber);
        for (int i = 0; id != 0 && i < 500 && aLink_GetStatus(id) != LINK_RUNNING; i++)
            aTime_MSSleep(10);
        if (id != 0 && aLink_GetStatus(id) == LINK_RUNNING) {
            aTime_MSSleep(50);
            const double start = sNowMs();
            plugged->SetPlugged(false);
            while (aLink_GetStatus(id) == LINK_RUNNING && sNowMs() - start < 5000)
                aTime_MSSleep(1);
            const double dropMs = sNowMs() - start;
            struct rusage before, after;
            getrusage(RUSAGE_SELF, &before);
            const double idleStart = sNowMs();
            aTime_MSSleep(2000);
            getrusage(RUSAGE_SELF, &after);
            const double cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000.0 +
                                 (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000.0 +
                                 (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000.0 +
                                 (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1000.0;
            printf("%-28s unplug: link out of running after %.1f ms; %.2f%% of a core while gone\n",
                   "libusb (emulated bus)", dropMs, 100.0 * cpuMs / (sNowMs() - idleStart));
        } else {
            printf("unplug: no link\n");
        }
        if (id != 0)
            aLink_Destroy(&id);
        device.Stop();
    }
    return 0;
}
