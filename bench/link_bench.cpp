// Link engine figures against the simulated device on 127.0.0.1 (run in a child process, so
// that only the link's own threads count towards this process's CPU time):
//  - request-to-reply round trip through the engine (median and 99th percentile);
//  - CPU time that an idle started link costs per second of wall time.
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
#include "aLink.h"
#include "aTime.h"

static bool sTagIs(const aPacket* p, void* ref)
{
    return p->length >= 2 && p->data[1] == *static_cast<uint8_t*>(ref);
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

    double cpu0 = BenchCpuSeconds();
    auto wall0 = std::chrono::steady_clock::now();
    aTime_MSSleep((uint64_t)idleSeconds * 1000);
    double cpu = BenchCpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    printf("idle started link: %.3f ms CPU per second of wall time (%.3f%% of one core) over %.1f s\n",
           cpu / wall * 1000.0, cpu / wall * 100.0, wall);

    aLink_Destroy(&id);
    BenchStopChild(child);
    return 0;
}
