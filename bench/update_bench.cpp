// Firmware transfer figures: one firmware block of 256 KiB (by default) sent through the
// upgrade entity to the simulated device on 127.0.0.1, which answers PREPARE with a 4096-byte
// block size. Each device runs in a child process, so this process's CPU time (getrusage) is the
// updater's own: the caller and the link's reader and writer threads. The children's CPU time is
// shown apart. On 127.0.0.1 the kernel's delivery of a packet into the receiving socket runs in
// the sender's system call, so each side also pays for the other's receiving.
//  - throughput as a share of the protocol's pacing limit: 26 data bytes per packet, one packet
//    per millisecond, 26000 bytes/s;
//  - CPU seconds per MiB transferred, and context switches of the updater's threads per DATA
//    packet (each one a sleep and a wake-up);
//  - the same with several links (8 by default) transferring at once, each to its own device;
//  - this machine's floor: a bare loop on a socket of its own (no link engine) that sends a
//    packet, sleeps out the millisecond and reads the answer, i.e. one wake-up per packet, which
//    is the least a paced stop-and-wait exchange can cost.
// Usage: update_bench [KiB] [block-size] [links at once]
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "BenchSupport.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "UpdaterEntity.h"
#include "aTime.h"

namespace {

const double kPacingLimit = 26000.0;
const double kDataBytesPerPacket = 26.0;
const int kFloorPackets = 1000;

}  // namespace

// CPU seconds per packet of the bare paced exchange (see above), or a negative number when the
// loop could not be set up. The answering child echoes a 5-byte reply to each 28-byte packet.
static double sFloorCpuPerPacket()
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    const int one = 1;
    pid_t child = fork();
    if (child == 0) {
        int s = accept(listener, nullptr, nullptr);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        uint8_t packet[28];
        for (int i = 0; i < kFloorPackets; i++) {
            size_t got = 0;
            while (got < sizeof(packet)) {
                ssize_t n = read(s, packet + got, sizeof(packet) - got);
                if (n <= 0)
                    _exit(0);
                got += (size_t)n;
            }
            if (write(s, packet, 5) != 5)
                _exit(0);
        }
        _exit(0);
    }
    close(listener);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (child < 0 || s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        if (child > 0)
            BenchStopChild(child);
        return -1;
    }
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    prctl(PR_SET_TIMERSLACK, 10000UL, 0, 0, 0);
    uint8_t packet[28] = {2, 26, 0x5F, 0x03};
    uint8_t reply[64];
    const double cpu0 = BenchCpuSeconds();
    bool ok = true;
    for (int i = 0; i < kFloorPackets && ok; i++) {
        const uint64_t start = aTime_MonoUS();
        ok = write(s, packet, sizeof(packet)) == (ssize_t)sizeof(packet);
        aTime_SleepUntilUS(start + 1000);
        size_t got = 0;
        while (ok && got < 5) {
            ssize_t n = recv(s, reply, sizeof(reply), MSG_DONTWAIT);
            if (n > 0) {
                got += (size_t)n;
            } else {
                struct pollfd p = {s, POLLIN, 0};
                ok = (n < 0 && errno == EAGAIN) && poll(&p, 1, 1000) == 1;
            }
        }
    }
    const double cpu = BenchCpuSeconds() - cpu0;
    close(s);
    waitpid(child, nullptr, 0);
    return ok ? cpu / kFloorPackets : -1;
}

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
    const double packets = bytes / kDataBytesPerPacket;
    // One link alone.
    double device0 = BenchProcessCpuSeconds(transfers[0].child);
    long switches0 = BenchContextSwitches();
    double cpu0 = BenchCpuSeconds();
    sTransfer(transfers[0], kib);
    double cpu = BenchCpuSeconds() - cpu0;
    long switches = BenchContextSwitches() - switches0;
    double device = BenchProcessCpuSeconds(transfers[0].child) - device0;
    const double perMiBAlone = cpu / (bytes / 1048576.0);
    if (transfers[0].ok) {
        const double rate = bytes / transfers[0].wall;
        printf("firmware transfer: %d KiB, block size %d, %.2f s\n", kib, blockSize, transfers[0].wall);
        printf("throughput: %.0f bytes/s = %.3f of the pacing limit (%.0f bytes/s)\n", rate, rate / kPacingLimit,
               kPacingLimit);
        printf("updater CPU: %.3f s, %.3f s per MiB (this process only: caller, reader and writer threads)\n", cpu,
               perMiBAlone);
        printf("updater context switches: %.2f per DATA packet; simulated device (child process, not counted): "
               "%.3f s CPU\n",
               switches / packets, device);
    } else {
        status = 1;
    }
    // Several links at once, one thread each.
    if (links > 1 && status == 0) {
        device0 = 0;
        for (int i = 1; i <= links; i++)
            device0 += BenchProcessCpuSeconds(transfers[(size_t)i].child);
        switches0 = BenchContextSwitches();
        cpu0 = BenchCpuSeconds();
        std::vector<std::thread> threads;
        for (int i = 1; i <= links; i++)
            threads.emplace_back([&transfers, i, kib] { sTransfer(transfers[(size_t)i], kib); });
        for (std::thread& t : threads)
            t.join();
        cpu = BenchCpuSeconds() - cpu0;
        switches = BenchContextSwitches() - switches0;
        device = -device0;
        for (int i = 1; i <= links; i++)
            device += BenchProcessCpuSeconds(transfers[(size_t)i].child);
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
            printf("%d links at once: updater context switches %.2f per DATA packet; simulated devices (child "
                   "processes, not counted): %.3f s CPU\n",
                   links, switches / (packets * links), device);
        } else {
            status = 1;
        }
    }
    for (Transfer& t : transfers)
        BenchStopChild(t.child);
    if (status == 0) {
        const double floor = sFloorCpuPerPacket();
        if (floor >= 0)
            printf("floor on this machine (bare socket, one paced wake-up, one send and one receive per packet, no "
                   "link engine): %.1f us CPU per packet = %.3f s per MiB\n",
                   floor * 1e6, floor * 1048576.0 / kDataBytesPerPacket);
    }
    return status;
}
