// Value streams: the stream filter's cost per packet on the reader thread (a plain reply, a
// sample with no registration, a sample matched through a wildcard), and samples through a real
// TCP link on 127.0.0.1 from the simulated module to a callback on the worker. Prints figures.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "LinkStreams.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"

using namespace Vantorix::Strandix;
using Clock = std::chrono::steady_clock;

static double sSeconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

static std::vector<uint8_t> sSample(uint8_t option, uint32_t value)
{
    return {0x0A, option, 0x41, 0x03, 0, 0, 0, 0, 0, 0, 0, 1, (uint8_t)(value >> 24), (uint8_t)(value >> 16),
            (uint8_t)(value >> 8), (uint8_t)value, 0x00};
}

static double sFilterNs(LinkStreams& streams, const std::vector<uint8_t>& data, int rounds)
{
    aPacket* packet = aPacket_CreateWithData(4, (uint8_t)data.size(), data.data());
    auto start = Clock::now();
    for (int i = 0; i < rounds; i++)
        LinkStreams::linkStreamFilter(packet, &streams);
    double ns = sSeconds(start) * 1e9 / rounds;
    aPacket_Destroy(&packet);
    return ns;
}

int main()
{
    const int rounds = 1000000;
    {
        LinkStreams streams;
        printf("stream filter, plain reply:                 %6.1f ns\n",
               sFilterNs(streams, {0x03, 0x09, 0x00, 1, 2, 3, 4}, rounds));
        printf("stream filter, sample, nothing registered:  %6.1f ns\n", sFilterNs(streams, sSample(3, 1), rounds));
        streams.clear();
        streams.setEntry(Link::createStreamKey(4, 0x0A, 0xFF, 1, 0xFF), StreamCallback(), nullptr);
        printf("stream filter, sample, wildcard match:      %6.1f ns\n", sFilterNs(streams, sSample(3, 1), rounds));
    }

    SimModuleConfig self;
    self.address = 4;
    self.serialNumber = 0x00000400;
    SimModuleLogic logic(self);
    logic.Streams().SetPeriod(0);
    SimDeviceConfig config;
    config.serialNumber = self.serialNumber;
    config.moduleAddress = self.address;
    SimDevice device(config, &logic);
    if (!device.ListenTcp(0) || !device.Start()) {
        fprintf(stderr, "stream_bench: cannot start the simulated module\n");
        return 1;
    }
    linkSpec spec = BenchLoopbackSpec(self.serialNumber, device.Port());
    Module module(4, false, 0);
    if (module.connectFromSpec(spec) != aErrNone) {
        fprintf(stderr, "stream_bench: cannot connect\n");
        return 1;
    }
    Link* link = module.getLink();
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> last{0};
    StreamCallback count = [&](const aPacket* packet, void*) {
        uint32_t value = 0;
        Link::getStreamSample(packet, nullptr, &value, nullptr);
        last.store(value);
        calls++;
        return aErrNone;
    };
    if (link->registerStreamCallback(4, 0x0A, 0xFF, 1, true, count, nullptr) != aErrNone) {
        fprintf(stderr, "stream_bench: the device refused the stream\n");
        return 1;
    }

    const uint32_t samples = 20000;
    auto start = Clock::now();
    for (uint32_t i = 1; i <= samples; i++) {
        std::vector<uint8_t> data = sSample((uint8_t)(i % 8), i);
        SimPacket p;
        p.address = 4;
        for (uint8_t b : data)
            p.data[p.length++] = b;
        device.Send(p);
    }
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (last.load() != samples && calls.load() + link->droppedStreamCalls() < samples && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    double seconds = sSeconds(start);
    printf("samples over TCP to the worker: %u in %.3f s (%.0f samples/s), %u callbacks, %llu dropped\n", samples,
           seconds, samples / seconds, calls.load(), (unsigned long long)link->droppedStreamCalls());

    auto off = Clock::now();
    link->registerStreamCallback(4, 0x0A, 0xFF, 1, false, StreamCallback(), nullptr);
    printf("de-registration (device round trip, worker stopped): %.2f ms\n", sSeconds(off) * 1e3);
    device.Stop();
    return 0;
}
