// Link engine figures against the simulated device on 127.0.0.1 (run in a child process, so
// that only the link's own threads count towards this process's CPU time):
//  - request-to-reply round trip through the engine (median and 99th percentile);
//  - CPU time that an idle started link costs per second of wall time, on every transport: TCP,
//    a serial line (a pseudo-terminal), the driver node (a pseudo-terminal) and a driver node
//    without poll support (always "ready", nothing to read).
// Usage: link_bench [round-trips] [idle-seconds]
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <vector>

#include "BenchSupport.h"
#include "SimDevice.h"
#include "SimEchoLogic.h"
#include "SimUsbNode.h"
#include "aLink.h"
#include "aTime.h"

static bool sTagIs(const aPacket* p, void* ref)
{
    return p->length >= 2 && p->data[1] == *static_cast<uint8_t*>(ref);
}

// Prints the CPU share an idle started link costs (the process has no other busy thread).
static void sIdle(const char* transport, aLinkId id, int seconds)
{
    if (id == 0) {
        printf("idle started link, %s: no link\n", transport);
        return;
    }
    aTime_MSSleep(200);  // past the start
    double cpu0 = BenchCpuSeconds();
    auto wall0 = std::chrono::steady_clock::now();
    aTime_MSSleep((uint64_t)seconds * 1000);
    double cpu = BenchCpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    printf("idle started link, %s: %.3f ms CPU per second of wall time (%.3f%% of one core) over %.1f s\n",
           transport, cpu / wall * 1000.0, cpu / wall * 100.0, wall);
}

// The other transports, each on a line nobody answers on.
static void sIdleOtherTransports(int seconds)
{
    SimDeviceConfig config;
    SimEchoLogic echo;
    SimDevice line(config, &echo);  // never started: only its pseudo-terminal is used
    if (!line.OpenPty()) {
        printf("idle started link: no pseudo-terminal here\n");
        return;
    }
    aLinkId id = aLink_CreateSerial(0x5E41A1, line.PtyPath().c_str(), 115200);
    sIdle("serial line", id, seconds);
    aLink_Destroy(&id);
    {
        SimUsbNode node(0x7E57B001, line.PtyPath());
        if (node.ok()) {
            id = aLink_CreateUSB(0x7E57B001);
            sIdle("driver node", id, seconds);
            aLink_Destroy(&id);
        } else {
            printf("idle started link, driver node: cannot make %s here\n", node.path().c_str());
        }
    }
    SimUsbNode pollless(0x7E57B002);
    if (pollless.ok()) {
        id = aLink_CreateUSB(0x7E57B002);
        sIdle("driver node without poll", id, seconds);
        aLink_Destroy(&id);
    } else {
        printf("idle started link, driver node without poll: cannot make %s here\n", pollless.path().c_str());
    }
}

int main(int argc, char** argv)
{
    int trips = argc > 1 ? atoi(argv[1]) : 2000;
    int idleSeconds = argc > 2 ? atoi(argv[2]) : 5;
    if (trips < 10 || idleSeconds < 1) {
        fprintf(stderr, "usage: link_bench [round-trips >= 10] [idle-seconds >= 1]\n");
        return 2;
    }
    pid_t child = -1;
    SimDeviceConfig config;
    config.heartbeatMs = 1000;
    config.idleTimeoutMs = 30000;
    uint16_t port = BenchStartDeviceInChild(&child, config, [](const BenchServe& serve) {
        SimEchoLogic echo;
        serve(&echo);
    });
    if (port == 0) {
        fprintf(stderr, "link_bench: the simulated device did not start\n");
        return 1;
    }
    aLinkId id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port);
    if (id == 0 || aLink_GetStatus(id) != LINK_RUNNING) {
        fprintf(stderr, "link_bench: no link to the simulated device\n");
        BenchStopChild(child);
        return 1;
    }

    std::vector<double> us;
    us.reserve((size_t)trips);
    int lost = 0;
    for (int i = 0; i < trips + 100; i++) {
        uint8_t tag = (uint8_t)i;
        const uint8_t data[3] = {0x10, tag, 0x20};
        aPacket* p = aPacket_CreateWithData(2, 3, data);
        auto start = std::chrono::steady_clock::now();
        aLink_PutPacket(id, p);
        aPacket_Destroy(&p);
        aPacket* reply = aLink_AwaitFirst(id, sTagIs, &tag, 1000);
        auto end = std::chrono::steady_clock::now();
        if (!reply) {
            lost++;
            continue;
        }
        aPacket_Destroy(&reply);
        if (i >= 100)  // the first ones warm up
            us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        aTime_MSSleep(2);  // the writer paces packets 1 ms apart; stay clear of that
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        printf("round trip through the link engine, %zu requests: median %.1f us, p99 %.1f us, max %.1f us\n",
               us.size(), us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)], us.back());
    }
    if (lost > 0)
        printf("requests without a reply: %d\n", lost);

    sIdle("TCP", id, idleSeconds);
    aLink_Destroy(&id);
    BenchStopChild(child);
    sIdleOtherTransports(idleSeconds);
    return 0;
}
