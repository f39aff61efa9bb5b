// A firmware transfer while the wall clock is set: forwards by a year and back by an hour in the
// middle of it, as on a board that boots with an old clock and gets the time from the network.
// Every wait, deadline and pacing interval runs on the monotonic clock, so neither step may end
// a wait early or stretch it. The program re-executes itself with the library that lets it set
// its own wall clock (tests/timejump) preloaded.
// test-labels: threads
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"
#include "aTime.h"

namespace {

typedef void (*StepProc)(long long seconds);

// The sanitizer runtime must stay first among the preloaded libraries.
std::string sSanitizerRuntime()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        size_t at = line.find('/');
        if (at != std::string::npos &&
            (line.find("libasan.so") != std::string::npos || line.find("libtsan.so") != std::string::npos))
            return line.substr(at);
    }
    return std::string();
}

StepProc sStepProc()
{
    return reinterpret_cast<StepProc>(dlsym(RTLD_DEFAULT, "timejump_step"));
}

// Re-executes the program with the library preloaded, once.
const bool sPreloaded = [] {
    if (sStepProc() || getenv("TIMEJUMP_REEXEC"))
        return sStepProc() != nullptr;
    std::string preload = sSanitizerRuntime();
    preload += (preload.empty() ? "" : ":") + std::string(TIMEJUMP_PRELOAD);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("TIMEJUMP_REEXEC", "1", 1);
    std::ifstream cmdline("/proc/self/cmdline");
    std::vector<std::string> words;
    std::string word;
    while (std::getline(cmdline, word, '\0'))
        words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    return false;
}();

// Sets the wall clock while the transfer waits for a reply that the device holds back for longer
// than the engine's wait slices: a year forwards at a quarter of the transfer, an hour back at
// three fifths.
class SteppingDisplay : public UpdaterDisplayInterface {
  public:
    explicit SteppingDisplay(SimDevice& device) : device_(device) {}
    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override
    {
        if (fraction >= 0.25 && steps == 0)
            Step(365LL * 24 * 3600);
        else if (fraction >= 0.6 && steps == 1)
            Step(-3600);
    }
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
    ~SteppingDisplay()
    {
        for (std::thread& t : threads_)
            t.join();
    }
    std::atomic<int> steps{0};

  private:
    void Step(long long seconds)
    {
        steps++;
        device_.SetReplyDelay(300);
        SimDevice* device = &device_;
        threads_.emplace_back([seconds, device] {
            aTime_MSSleep(100);  // the transfer waits for the held-back reply
            sStepProc()(seconds);
            device->SetReplyDelay(0);
        });
    }
    SimDevice& device_;
    std::vector<std::thread> threads_;
};

TEST(WallClockSteps, FirmwareTransferGoesOnWhenTheClockIsSet)
{
    ASSERT_TRUE(sPreloaded) << "the time-jump library is not preloaded";
    SimModuleConfig self;
    SimModuleLogic moduleLogic(self);
    SimUpgradeConfig upgradeConfig;
    upgradeConfig.blockSize = 1024;
    SimUpgradeLogic upgrade(upgradeConfig, &moduleLogic, self.serialNumber);
    SimDeviceConfig config;
    config.idleTimeoutMs = 30000;
    SimDevice device(config, &upgrade);
    ASSERT_TRUE(device.ListenTcp(0));
    ASSERT_TRUE(device.Start());

    const time_t wallBefore = time(nullptr);
    {
        Vantorix::Strandix::Module module(2, (uint8_t)0);
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serial_number = 0x2A;
        spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
        spec.t.ip.ip_port = device.Port();
        SteppingDisplay display(device);
        UpdaterEntity entity;
        entity.init(&module, 0, true);
        std::vector<uint8_t> image(4 + 16 * 1024);
        for (size_t i = 4; i < image.size(); i++)
            image[i] = (uint8_t)(i * 131 + (i >> 9));
        uint16_t size = 0;
        ASSERT_EQ(aErrNone, module.connectFromSpec(spec));
        ASSERT_EQ(aErrNone, entity.LoaderInit());
        ASSERT_EQ(aErrNone, entity.LoaderStart());
        ASSERT_EQ(aErrNone, entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, size));
        EXPECT_EQ(aErrNone, entity.FirmwareTransfer(image.data(), (uint32_t)image.size(), size, display));
        EXPECT_EQ(2, display.steps.load());
        module.disconnect();
    }
    // Both steps happened (the wall clock says a year less an hour went by).
    const long long moved = (long long)(time(nullptr) - wallBefore);
    EXPECT_GT(moved, 365LL * 24 * 3600 - 3600 - 120);
    EXPECT_LT(moved, 365LL * 24 * 3600 - 3600 + 120);
    device.Stop();
}

}  // namespace
