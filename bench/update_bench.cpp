// Firmware transfer figures: one firmware block of 256 KiB (by default) sent through the
// upgrade entity to the simulated device on 127.0.0.1, which answers PREPARE with a 4096-byte
// block size. The device runs in a child process, so this process's CPU time is the updater's
// own (the caller and the link's reader and writer threads).
//  - throughput as a share of the protocol's pacing limit: 26 data bytes per packet, one packet
//    per millisecond, 26000 bytes/s;
//  - CPU seconds per MiB transferred.
// Usage: update_bench [KiB] [block-size]
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "UpdaterEntity.h"

namespace {

const double kPacingLimit = 26000.0;

class QuietDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { fprintf(stderr, "%s\n", text); }
};

double sCpuSeconds()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + (double)u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// Runs the device in a child; returns its port (0 on failure).
uint16_t sStartDevice(pid_t* child, uint16_t blockSize)
{
    int fds[2];
    if (pipe(fds) != 0)
        return 0;
    *child = fork();
    if (*child == 0) {
        close(fds[0]);
        SimDeviceConfig config;
        config.idleTimeoutMs = 30000;
        SimModuleConfig self;
        SimModuleLogic module(self);
        SimUpgradeConfig upgradeConfig;
        upgradeConfig.blockSize = blockSize;
        SimUpgradeLogic upgrade(upgradeConfig, &module, self.serialNumber);
        SimDevice device(config, &upgrade);
        uint16_t port = device.ListenTcp(0) && device.Start() ? device.Port() : 0;
        if (write(fds[1], &port, sizeof(port)) != (ssize_t)sizeof(port))
            _exit(1);
        close(fds[1]);
        while (device.Running() && getppid() != 1)
            usleep(100000);
        device.Stop();
        _exit(0);
    }
    close(fds[1]);
    uint16_t port = 0;
    if (read(fds[0], &port, sizeof(port)) != (ssize_t)sizeof(port))
        port = 0;
    close(fds[0]);
    return port;
}

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
    uint16_t port = sStartDevice(&child, (uint16_t)blockSize);
    if (port == 0) {
        fprintf(stderr, "update_bench: the simulated device did not start\n");
        return 1;
    }
    int status = 1;
    {
        Vantorix::Strandix::Module module(2, (uint8_t)0);
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serial_number = 0x2A;
        spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
        spec.t.ip.ip_port = port;
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
            const double cpu0 = sCpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            aErr err = entity.FirmwareTransfer(image.data(), (uint32_t)image.size(), size, display);
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double cpu = sCpuSeconds() - cpu0;
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
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return status;
}
