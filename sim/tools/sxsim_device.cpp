// The simulated device as a program: listens on 127.0.0.1 or sits on a pseudo-terminal, keeps
// the link (sync, heartbeats) and echoes packets when asked. Prints one line telling where it
// is ("tcp PORT" or "pty PATH") and exits by itself after the idle time-out.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "SimDevice.h"
#include "SimEchoLogic.h"

static volatile sig_atomic_t sStop = 0;

static void sOnSignal(int)
{
    sStop = 1;
}

static void sUsage()
{
    fprintf(stderr,
            "usage: sxsim_device (--tcp PORT | --pty) [--serial HEX] [--module N] [--model N]\n"
            "       [--heartbeat-ms N] [--idle-timeout-s N] [--reply-delay-ms N] [--echo]\n"
            "       [--garble-every-ms N] [--drop-every-ms N]\n");
}

int main(int argc, char** argv)
{
    SimDeviceConfig config;
    config.idleTimeoutMs = 60000;
    bool tcp = false, pty = false, echo = false;
    long port = 0, garbleMs = 0, dropMs = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](long base = 10) -> long {
            if (i + 1 >= argc) {
                fprintf(stderr, "sxsim_device: %s needs a value\n", arg.c_str());
                exit(2);
            }
            char* end = nullptr;
            const char* text = argv[++i];
            long v = strtol(text, &end, base);
            if (!end || *end != '\0' || end == text) {
                fprintf(stderr, "sxsim_device: bad value for %s: %s\n", arg.c_str(), text);
                exit(2);
            }
            return v;
        };
        if (arg == "--tcp") {
            tcp = true;
            port = value();
        } else if (arg == "--pty") {
            pty = true;
        } else if (arg == "--serial") {
            config.serialNumber = (uint32_t)value(16);
        } else if (arg == "--module") {
            config.moduleAddress = (uint8_t)value();
        } else if (arg == "--model") {
            config.model = (uint8_t)value();
        } else if (arg == "--heartbeat-ms") {
            config.heartbeatMs = (int)value();
        } else if (arg == "--idle-timeout-s") {
            config.idleTimeoutMs = (int)value() * 1000;
        } else if (arg == "--reply-delay-ms") {
            config.replyDelayMs = (int)value();
        } else if (arg == "--garble-every-ms") {
            garbleMs = value();
        } else if (arg == "--drop-every-ms") {
            dropMs = value();
        } else if (arg == "--echo") {
            echo = true;
        } else {
            sUsage();
            return 2;
        }
    }
    if (tcp == pty || port < 0 || port > 65535 || config.moduleAddress == 0 || (config.moduleAddress & 1)) {
        sUsage();
        return 2;
    }
    SimEchoLogic echoLogic;
    SimDevice device(config, echo ? &echoLogic : nullptr);
    if (tcp ? !device.ListenTcp((uint16_t)port) : !device.OpenPty()) {
        fprintf(stderr, "sxsim_device: cannot open the %s: %s\n", tcp ? "TCP port" : "pseudo-terminal",
                strerror(errno));
        return 1;
    }
    if (!device.Start()) {
        fprintf(stderr, "sxsim_device: cannot start\n");
        return 1;
    }
    if (tcp)
        printf("tcp %u\n", device.Port());
    else
        printf("pty %s\n", device.PtyPath().c_str());
    fflush(stdout);

    signal(SIGTERM, sOnSignal);
    signal(SIGINT, sOnSignal);
    long elapsed = 0;
    while (!sStop && device.Running()) {
        usleep(10000);
        elapsed += 10;
        if (garbleMs > 0 && elapsed % garbleMs == 0)
            device.InjectFramingByte();
        if (dropMs > 0 && elapsed % dropMs == 0)
            device.DropConnection();
    }
    device.Stop();
    return 0;
}
