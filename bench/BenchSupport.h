// Pieces that several benchmarks share: a display that keeps quiet, the process's CPU time, a
// simulated device served from a child process, and the link address of a device on 127.0.0.1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/types.h>

#include "SimDevice.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

// Shows nothing but errors, which go to stderr after `prefix`.
class QuietDisplay : public UpdaterDisplayInterface {
  public:
    explicit QuietDisplay(const char* prefix = "") : mPrefix(prefix) {}
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { fprintf(stderr, "%s%s\n", mPrefix.c_str(), text); }

  private:
    std::string mPrefix;
};

// User plus system CPU seconds that this process (all its threads) has used so far.
double BenchCpuSeconds();
// The same for another process (a child serving a simulated device); 0 when it cannot be read.
double BenchProcessCpuSeconds(pid_t pid);
// Context switches (voluntary and not) of this process's threads so far: each time one of them
// went to sleep or was put aside.
long BenchContextSwitches();

// Serves `logic` with a device made from the config; called inside the child.
using BenchServe = std::function<void(SimDeviceLogic* logic)>;

// Forks a child that calls `run`, which builds the device logic and hands it to the serve
// function it gets. That starts a device on 127.0.0.1 (any free port), tells the parent the port
// and serves until the device stops or the parent is gone. Returns the port, 0 on failure.
uint16_t BenchStartDeviceInChild(pid_t* child, const SimDeviceConfig& config,
                                 const std::function<void(const BenchServe& serve)>& run);

// Ends a child started above and waits for it.
void BenchStopChild(pid_t child);

// The address of a device on 127.0.0.1 at `port`.
linkSpec BenchLoopbackSpec(uint32_t serialNumber, uint16_t port);
