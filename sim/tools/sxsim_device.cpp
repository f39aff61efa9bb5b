// The simulated device as a program: listens on 127.0.0.1 or sits on a pseudo-terminal, keeps
// the link (sync, heartbeats) and echoes packets when asked. Prints one line telling where it
// is ("tcp PORT" or "pty PATH") and exits by itself after the idle time-out.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "SimDevice.h"
#include "SimDiscoveryResponder.h"
#include "SimEchoLogic.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"

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
            "       [--garble-every-ms N] [--drop-every-ms N]\n"
            "       [--system [--version MAJOR.MINOR.PATCH] [--build N] [--build-reply-length N]\n"
            "        [--router N] [--network-module ADDRESS:SERIAL_HEX[:MODEL]]... [--answer-absent]]\n"
            "       [--any-address [--discover]]\n"
            "--system answers as a module (system entity, information queries, store slots, factory\n"
            "data); --network-module adds a module behind it on the module network. --discover\n"
            "answers TCP/IP discovery requests: multicast, so only inside a private network namespace.\n"
            "       [--upgrade [--upgrade-record PATH] [upgrade options]]\n"
            "--upgrade adds the upgrade entity (implies --system); the record file lists the loader and\n"
            "firmware received, written when the device stops.\n"
            "       [--network-upgrade ADDRESS [--network-upgrade-record PATH]]\n"
            "--network-upgrade gives the module behind the router at ADDRESS an upgrade entity (with\n"
            "the upgrade options); its record is written likewise. Upgrade options:\n%s",
            SimUpgradeLogic::Usage());
}

int main(int argc, char** argv)
{
    SimDeviceConfig config;
    config.idleTimeoutMs = 60000;
    bool tcp = false, pty = false, echo = false, system = false, anyAddress = false, answerAbsent = false;
    bool discover = false;
    bool upgrade = false;
    SimUpgradeConfig upgradeConfig;
    std::string upgradeRecord;
    long networkUpgrade = 0;
    std::string networkUpgradeRecord;
    SimModuleConfig self;
    bool routerGiven = false;
    std::vector<SimModuleConfig> behind;
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
        } else if (arg == "--upgrade") {
            upgrade = system = true;
        } else if (arg == "--upgrade-record" && i + 1 < argc) {
            upgradeRecord = argv[++i];
        } else if (arg == "--network-upgrade") {
            networkUpgrade = value(16);
            system = true;
        } else if (arg == "--network-upgrade-record" && i + 1 < argc) {
            networkUpgradeRecord = argv[++i];
        } else if (int taken = SimUpgradeLogic::ParseOption(argc, argv, i, upgradeConfig)) {
            if (taken < 0)
                return 2;
        } else if (arg == "--echo") {
            echo = true;
        } else if (arg == "--system") {
            system = true;
        } else if (arg == "--any-address") {
            anyAddress = true;
        } else if (arg == "--discover") {
            discover = true;
        } else if (arg == "--answer-absent") {
            answerAbsent = true;
        } else if (arg == "--build") {
            self.build = (uint32_t)value();
        } else if (arg == "--build-reply-length") {
            self.buildReplyLength = (int)value();
        } else if (arg == "--router") {
            self.router = (uint8_t)value();
            routerGiven = true;
        } else if (arg == "--version" || arg == "--network-module") {
            if (i + 1 >= argc) {
                fprintf(stderr, "sxsim_device: %s needs a value\n", arg.c_str());
                return 2;
            }
            const char* text = argv[++i];
            if (arg == "--version") {
                unsigned major = 0, minor = 0, patch = 0;
                if (sscanf(text, "%u.%u.%u", &major, &minor, &patch) != 3 || major > 15 || minor > 15 ||
                    patch > 0xFFFFFF) {
                    fprintf(stderr, "sxsim_device: bad version: %s\n", text);
                    return 2;
                }
                self.version = (major << 28) | (minor << 24) | patch;
            } else {
                unsigned address = 0, serial = 0, model = 16;
                int fields = sscanf(text, "%u:%x:%u", &address, &serial, &model);
                if (fields < 2 || address == 0 || (address & 1) || address > 254 || model > 255) {
                    fprintf(stderr, "sxsim_device: bad network module: %s\n", text);
                    return 2;
                }
                SimModuleConfig module;
                module.address = (uint8_t)address;
                module.serialNumber = serial;
                module.model = (uint8_t)model;
                behind.push_back(module);
            }
        } else {
            sUsage();
            return 2;
        }
    }
    if (tcp == pty || port < 0 || port > 65535 || config.moduleAddress == 0 || (config.moduleAddress & 1) ||
        (discover && !(tcp && anyAddress))) {
        sUsage();
        return 2;
    }
    self.address = config.moduleAddress;
    self.serialNumber = config.serialNumber;
    self.model = config.model;
    if (!routerGiven)
        self.router = config.moduleAddress;
    SimModuleLogic moduleLogic(self);
    for (SimModuleConfig& module : behind) {
        module.router = config.moduleAddress;
        moduleLogic.AddNetworkModule(module);
    }
    moduleLogic.SetAnswerAbsent(answerAbsent);
    SimUpgradeLogic* behindUpgrade = nullptr;
    if (networkUpgrade != 0 && !(behindUpgrade = moduleLogic.AddNetworkUpgrade((uint8_t)networkUpgrade, upgradeConfig))) {
        fprintf(stderr, "sxsim_device: no network module at %lX for --network-upgrade\n", networkUpgrade);
        return 2;
    }
    SimEchoLogic echoLogic;
    SimDeviceLogic* logic = system ? static_cast<SimDeviceLogic*>(&moduleLogic) : echo ? &echoLogic : nullptr;
    SimUpgradeLogic upgradeLogic(upgradeConfig, logic, config.serialNumber);
    if (upgrade)
        logic = &upgradeLogic;
    // The module runs what the update gave it once it reboots.
    upgradeLogic.SetRunningHook([&moduleLogic, &config](uint32_t build, uint32_t version) {
        moduleLogic.SetFirmware(config.moduleAddress, build, version);
    });
    SimDevice device(config, logic);
    if (tcp ? !device.ListenTcp((uint16_t)port, anyAddress) : !device.OpenPty()) {
        fprintf(stderr, "sxsim_device: cannot open the %s: %s\n", tcp ? "TCP port" : "pseudo-terminal",
                strerror(errno));
        return 1;
    }
    if (!device.Start()) {
        fprintf(stderr, "sxsim_device: cannot start\n");
        return 1;
    }
    std::unique_ptr<SimDiscoveryResponder> responder;
    if (discover) {
        SimDiscoveryConfig announce;
        announce.moduleAddress = config.moduleAddress;
        announce.port = device.Port();
        announce.serialNumber = config.serialNumber;
        announce.model = config.model;
        announce.idleTimeoutMs = config.idleTimeoutMs;
        responder.reset(new SimDiscoveryResponder(announce));
        if (!responder->Start()) {
            fprintf(stderr, "sxsim_device: cannot answer discovery requests\n");
            device.Stop();
            return 1;
        }
    }
    // A restarting device stops answering discovery while away and may come back under
    // another serial number.
    std::atomic<bool> silenced{false};
    upgradeLogic.SetAwayHook([&](SimDevice& d, int ms, uint32_t serial) {
        d.GoAway(ms);
        if (responder) {
            responder->SetSilent(true);
            responder->SetSerialNumber(serial);
            silenced = true;
        }
    });
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
        if (silenced && !device.Away()) {
            responder->SetSilent(false);
            silenced = false;
        }
    }
    if (responder)
        responder->Stop();
    device.Stop();
    if (upgrade && !upgradeRecord.empty() && !upgradeLogic.WriteRecord(upgradeRecord)) {
        fprintf(stderr, "sxsim_device: cannot write %s\n", upgradeRecord.c_str());
        return 1;
    }
    if (behindUpgrade && !networkUpgradeRecord.empty() && !behindUpgrade->WriteRecord(networkUpgradeRecord)) {
        fprintf(stderr, "sxsim_device: cannot write %s\n", networkUpgradeRecord.c_str());
        return 1;
    }
    return 0;
}
