// Firmware update of a device on the simulated USB bus: the device leaves the bus when it
// restarts into its loader after LOAD and again on REBOOT, the way a real one drops off USB, and
// the updater finds it again each time through the real libusb path.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "FindAgain.h"
#include "IsolatedHome.h"
#include "KeyValueStore.h"
#include "LoaderScenario.h"
#include "Module.h"
#include "NetNamespace.h"
#include "RecordingDisplay.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "SimUsbAway.h"
#include "SimUsbBus.h"
#include "SimUsbWire.h"
#include "Updater.h"
#include "aDefs.h"

namespace {

const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

const uint32_t kSerial = 0x0000A5B7;
const uint8_t kModel = 16;
const uint32_t kLoaderSerial = 0xDEADDEAD;

class UpdateUsb : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(sPreloaded && SimUsbBus::Available());
        ASSERT_TRUE(bus.ok());
        BirdWriter w;
        w.AddInformation(77, "1.7.0", kSerial, aDefs_GetModelName(kModel));
        w.AddLoader(0x20000000, loader);
        w.AddFirmware(0x00004000, firmwareA);
        w.AddFirmware(0x00040000, firmwareB);
        ASSERT_EQ(aErrNone, w.Write(dir.file("update.bird")));
    }
    void TearDown() override
    {
        if (device)
            device->Stop();
        if (HasFailure())
            for (const std::string& line : display.all)
                fprintf(stderr, "  display: %s\n", line.c_str());
    }

    // The simulated device behind the USB bus; LOAD and REBOOT take it off the bus for the
    // configured times. A loader that answers under the default serial number comes back as a
    // USB device of its own (serial "DEADDEAD", behind the same device), and REBOOT brings back
    // the device itself.
    void Plug(const SimUpgradeConfig& config)
    {
        SimModuleConfig self;
        self.serialNumber = kSerial;
        self.model = kModel;
        module.reset(new SimModuleLogic(self));
        upgrade.reset(new SimUpgradeLogic(config, module.get(), kSerial));
        SimModuleLogic* running = module.get();
        upgrade->SetRunningHook([running](uint32_t build, uint32_t version) { running->SetFirmware(2, build, version); });
        SimDeviceConfig deviceConfig;
        deviceConfig.serialNumber = kSerial;
        deviceConfig.moduleAddress = 2;
        deviceConfig.model = kModel;
        deviceConfig.idleTimeoutMs = 60000;
        device.reset(new SimDevice(deviceConfig, upgrade.get()));
        auto wire = std::make_shared<SimUsbWireBackend>();
        ASSERT_TRUE(wire->Attach(*device));
        ASSERT_TRUE(device->Start());
        SimUsbDeviceConfig usb;
        usb.serial = "0000A5B7";
        usb.product = kModel;
        usbDevice = bus.Add(usb, wire);
        ASSERT_NE(usbDevice, nullptr);
        usb.serial = "DEADDEAD";
        usb.productName = "Simulated loader";
        loaderDevice = bus.Add(usb, wire);
        ASSERT_NE(loaderDevice, nullptr);
        loaderDevice->SetPlugged(false);
        away.reset(new SimUsbAway(usbDevice));
        upgrade->SetAwayHook([this](SimDevice&, int ms, uint32_t serial) {
            away->Leave(ms, serial == kLoaderSerial ? loaderDevice : usbDevice);
        });
    }

    TempDir dir, store;
    RecordingDisplay display;
    std::vector<uint8_t> loader = BirdWriter::MakeCode(900, 3);
    std::vector<uint8_t> firmwareA = BirdWriter::MakeCode(2500, 4);
    std::vector<uint8_t> firmwareB = BirdWriter::MakeCode(700, 5);
    // Destroyed in reverse: the away helper and the device go before the bus.
    SimUsbBus bus;
    SimUsbDevice* usbDevice = nullptr;
    SimUsbDevice* loaderDevice = nullptr;
    std::unique_ptr<SimModuleLogic> module;
    std::unique_ptr<SimUpgradeLogic> upgrade;
    std::unique_ptr<SimDevice> device;
    std::unique_ptr<SimUsbAway> away;
};

}  // namespace

TEST_F(UpdateUsb, DeviceThatLeavesAfterLoadAndRebootIsUpdated)
{
    SimUpgradeConfig config;
    config.loadAwayMs = 400;
    config.rebootAwayMs = 300;
    Plug(config);
    Updater updater("http://127.0.0.1:9/cgi/u", store.path().c_str(), display);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, dir.file("update.bird"), 0, 0, false));
    const auto took = std::chrono::steady_clock::now() - start;

    std::vector<SimUpgradeBlock> sentLoader = upgrade->Loader();
    ASSERT_EQ(1u, sentLoader.size());
    EXPECT_EQ(loader, sentLoader[0].bytes);
    std::vector<SimUpgradeBlock> written = upgrade->Firmware();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(0x4000u, written[0].address);
    EXPECT_EQ(firmwareA, written[0].bytes);
    EXPECT_EQ(0x40000u, written[1].address);
    EXPECT_EQ(firmwareB, written[1].bytes);
    EXPECT_EQ(1, upgrade->Stats().loads);
    EXPECT_EQ(1, upgrade->Stats().reboots);
    EXPECT_EQ(2, away->Departures());  // off the bus after LOAD and after REBOOT
    EXPECT_GE(away->Returns(), 1);
    EXPECT_FALSE(display.saw("Device did not restart: its link stayed up 30.0 s after the reboot request"));
    EXPECT_LT(took, std::chrono::seconds(25));  // the reboot's drop was seen, not waited out

    KeyValueStore settings((store.path() + "/0000A5B7/.settings").c_str());
    EXPECT_EQ(dir.file("update.bird"), settings.GetString("LATEST_TRANSFER", ""));
}

// The device is still on its way back when the first reconnection attempts run: the updater
// keeps seeking it over USB and carries on once it is there.
TEST_F(UpdateUsb, LoaderThatTakesLongerToComeBackIsFoundAgain)
{
    SimUpgradeConfig config;
    config.loadAwayMs = 1500;
    config.rebootAwayMs = 100;
    Plug(config);
    Updater updater("http://127.0.0.1:9/cgi/u", store.path().c_str(), display);
    ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, dir.file("update.bird"), 0, 0, false));
    ASSERT_EQ(2u, upgrade->Firmware().size());
    EXPECT_EQ(firmwareB, upgrade->Firmware()[1].bytes);
    EXPECT_EQ(1, upgrade->Stats().reboots);
}

// The find-again loop takes only a device its filter accepts. The device and a loader under the
// default serial number are both on the bus: unfiltered, the first attempt's device is taken;
// a filter that refuses it leads to the loader; one that refuses everything takes nothing, also
// from an attempt that connects without discovering.
TEST_F(UpdateUsb, FindingAgainTakesOnlyWhatTheFilterAccepts)
{
    Plug(SimUpgradeConfig());
    loaderDevice->SetPlugged(true);
    const std::vector<FindAttempt> attempts = FindAgainRound(FindHow::DISCOVER, USB, {kSerial, kLoaderSerial});
    const FindFilter notTheDevice = [](const linkSpec& spec) { return spec.serial_number != kSerial; };
    Vantorix::Strandix::Module module(0, (uint8_t)0);
    linkSpec spec{};

    ASSERT_EQ(aErrNone, FindDeviceAgain(module, attempts, 1, 0));
    ASSERT_EQ(aErrNone, module.getLinkSpecifier(&spec));
    EXPECT_EQ(kSerial, spec.serial_number);
    ASSERT_EQ(aErrNone, FindDeviceAgain(module, attempts, 1, 0, 0, notTheDevice));
    ASSERT_EQ(aErrNone, module.getLinkSpecifier(&spec));
    EXPECT_EQ(kLoaderSerial, spec.serial_number);

    EXPECT_EQ(aErrNotFound, FindDeviceAgain(module, attempts, 2, 10, 0, [](const linkSpec&) { return false; }));
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(aErrNotFound,
              FindDeviceAgain(module, FindAgainRound(FindHow::CONNECT, USB, {kSerial}), 1, 0, 0, notTheDevice));
    EXPECT_FALSE(module.isConnected());
}

namespace {

// The same device reached by the program, run through IsolatedHome inside a network namespace
// (an update tries TCP/IP when USB does not find the device): the program sees this process's
// simulated bus through the umockdev preload library, given to it alone, so the shell and tools
// around it run without it.
class UpdateUsbCli : public UpdateUsb, public LoaderScenarioTarget {
  protected:
    void SetUp() override
    {
        UpdateUsb::SetUp();
        ASSERT_TRUE(ns.ok());
        const char* preload = getenv("LD_PRELOAD");
        ASSERT_NE(preload, nullptr);
        preloaded = preload;
    }

  public:
    const char* Transport() const override { return "USB"; }
    uint32_t SerialNumber() const override { return kSerial; }
    IsolatedHome& Home() override { return home; }
    void Start(const std::vector<std::string>& options) override
    {
        std::vector<std::string> words = {"sim"};
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(&word[0]);
        SimUpgradeConfig config;
        for (int i = 1; i < (int)argv.size(); i++)
            ASSERT_EQ(1, SimUpgradeLogic::ParseOption((int)argv.size(), argv.data(), i, config)) << words[i];
        Plug(config);
    }
    // Stops the device and takes it off the bus for good, so the next one is the only one there.
    void Stop(std::vector<SimUpgradeBlock>& firmware, int* loads, int* reboots) override
    {
        device->Stop();
        away.reset();
        usbDevice->SetPlugged(false);
        loaderDevice->SetPlugged(false);
        firmware = upgrade->Firmware();
        *loads = upgrade->Stats().loads;
        *reboots = upgrade->Stats().reboots;
    }
    std::vector<std::string> UpdaterCommand() override { return {"env", "LD_PRELOAD=" + preloaded, UPDATER_BINARY}; }
    ProcessResult RunCommand(const std::vector<std::string>& argv) override
    {
        return home.RunCommand(argv, ns.name(), 120000, {"LD_PRELOAD="});
    }

    NetNamespace ns;
    IsolatedHome home;
    TempDir files;
    std::string preloaded;
};

}  // namespace

// Over USB the loader is a new device on the bus, 0xDEADDEAD, while the device itself is gone.
TEST_F(UpdateUsbCli, AnUpdateStoppedInTheLoaderIsExplainedAndFinished)
{
    RunStoppedInLoaderScenario(*this, files);
}
