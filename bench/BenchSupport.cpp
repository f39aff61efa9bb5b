#include "BenchSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

double BenchCpuSeconds()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + (double)u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double BenchProcessCpuSeconds(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return 0;
    char text[1024];
    size_t n = fread(text, 1, sizeof(text) - 1, f);
    fclose(f);
    text[n] = 0;
    // Fields after the command name (which may hold spaces): state is the 3rd field, user and
    // system time the 14th and 15th, in clock ticks.
    const char* at = strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (!at || sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return 0;
    return (double)(user + system) / (double)sysconf(_SC_CLK_TCK);
}

long BenchContextSwitches()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

uint16_t BenchStartDeviceInChild(pid_t* child, const SimDeviceConfig& config,
                                 const std::function<void(const BenchServe& serve)>& run)
{
    int fds[2];
    if (pipe(fds) != 0)
        return 0;
    *child = fork();
    if (*child == 0) {
        close(fds[0]);
        run([&](SimDeviceLogic* logic) {
            SimDevice device(config, logic);
            uint16_t port = device.ListenTcp(0) && device.Start() ? device.Port() : 0;
            if (write(fds[1], &port, sizeof(port)) != (ssize_t)sizeof(port))
                _exit(1);
            close(fds[1]);
            while (device.Running() && getppid() != 1)
                usleep(100000);
            device.Stop();
            _exit(0);
        });
        _exit(1);
    }
    close(fds[1]);
    uint16_t port = 0;
    if (read(fds[0], &port, sizeof(port)) != (ssize_t)sizeof(port))
        port = 0;
    close(fds[0]);
    return port;
}

void BenchStopChild(pid_t child)
{
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
}

linkSpec BenchLoopbackSpec(uint32_t serialNumber, uint16_t port)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_number = serialNumber;
    spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
    spec.t.ip.ip_port = port;
    return spec;
}
