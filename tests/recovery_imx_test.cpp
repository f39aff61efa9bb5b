// Fingerprint and recovery of an i.MX RT1050 chip: the loader goes in over the serial download
// protocol to the simulated ROM on a paced pseudo-terminal, the ROM jumps to it, and the started
// loader comes up on the simulated USB bus as device 0xDEADDEAD, where the updater reads the
// chip's identifiers and sends the firmware. The reference update server on 127.0.0.1 provides
// the loader and the recovery information.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "ImxLoaderDevice.h"
#include "ImxRomSim.h"
#include "IsolatedHome.h"
#include "Module.h"
#include "RecordingDisplay.h"
#include "SimUpgradeLogic.h"
#include "SimUsbBus.h"
#include "UpdateServerSim.h"
#include "Updater.h"

namespace {

const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

const uint32_t kIdentifier[4] = {0x1000000A, 0x2000000B, 0x3000000C, 0x4000000D};  // by sub-index
const uint32_t kFingerprint[4] = {0x4000000D, 0x3000000C, 0x2000000B, 0x1000000A};
const uint32_t kSerial = 0x00B0A7ED;

std::vector<uint8_t> sTagged(std::vector<uint8_t> code)
{
    const std::vector<uint8_t> tag = SimUpgradeLogic::FirmwareTag(900, 3u << 28);
    code.insert(code.begin() + 128, tag.begin(), tag.end());
    return code;
}

struct Images {
    std::vector<uint8_t> loaderA = BirdWriter::MakeCode(1500, 11);
    std::vector<uint8_t> loaderB = BirdWriter::MakeCode(700, 12);
    std::vector<uint8_t> fw1 = sTagged(BirdWriter::MakeCode(3000, 13));  // says it is build 900, 3.0.0
    std::vector<uint8_t> fw2 = BirdWriter::MakeCode(1200, 14);
};

void sLoaderBird(const std::string& path, const Images& im, uint32_t serial, uint32_t recoveryStart)
{
    BirdWriter w;
    w.AddInformation(5, "0.0.5", serial, "Loader");
    w.AddLoader(0x20000000, im.loaderA);
    w.AddLoader(0x20200000, im.loaderB);
    if (recoveryStart)
        w.AddRecoveryStart(recoveryStart);
    ASSERT_EQ(aErrNone, w.Write(path));
}

void sFirmwareBird(const std::string& path, const Images& im)
{
    BirdWriter w;
    w.AddInformation(900, "3.0.0", kSerial, "Recovered");
    w.AddFirmware(0x60002000, im.fw1);
    w.AddFirmware(0x60010000, im.fw2);
    ASSERT_EQ(aErrNone, w.Write(path));
}

class RecoveryImx : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(sPreloaded && SimUsbBus::Available());
        ASSERT_TRUE(bus.ok());
        loader.reset(new ImxLoaderDevice(bus, kIdentifier));
        ASSERT_TRUE(loader->ok());
        loader->Attach(rom);
        ASSERT_TRUE(rom.Start());
        sLoaderBird(dir.file("loader.bird"), images, 0xDEADDEAD, 0);
        sFirmwareBird(dir.file("fw.bird"), images);
        server.AddDevice(0xDEADDEAD, "Loader");
        server.AddBuildFile(0xDEADDEAD, 5, "0.0.5", dir.file("loader.bird"));
        server.AddDevice(kSerial, "Recovered");
        server.SetFingerprint(kSerial, kFingerprint);
        server.AddBuildFile(kSerial, 900, "3.0.0", dir.file("fw.bird"));
        UpdateServerSim::Options options;
        ASSERT_TRUE(server.Start(options, nullptr));
        updater.reset(new Updater(server.BaseURL().c_str(), store.path().c_str(), display));
    }
    void TearDown() override
    {
        rom.Stop();
        if (HasFailure())
            for (const std::string& line : display.all)
                fprintf(stderr, "  display: %s\n", line.c_str());
    }

    void ExpectLoaderWritten()
    {
        std::vector<ImxSdpDevice::Write> writes = rom.device().Writes();
        ASSERT_EQ(2u, writes.size());
        EXPECT_EQ(0x20000000u, writes[0].address);
        EXPECT_EQ(images.loaderA, writes[0].data);
        EXPECT_EQ(0x20200000u, writes[1].address);
        EXPECT_EQ(images.loaderB, writes[1].data);
    }

    TempDir dir, store;
    Images images;
    SimUsbBus bus;
    ImxRomSim rom;
    std::unique_ptr<ImxLoaderDevice> loader;
    UpdateServerSim server;
    RecordingDisplay display;
    std::unique_ptr<Updater> updater;
};

}  // namespace

TEST_F(RecoveryImx, FingerprintThroughTheStartedLoader)
{
    Fingerprint fp;
    ASSERT_TRUE(updater->Get_Fingerprint(fp, rom.Port(), 0xDEADDEAD, "", 115200, true));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(kFingerprint[i], fp.words[i]) << i;
    ExpectLoaderWritten();
    uint32_t entry = 0;
    EXPECT_TRUE(rom.device().Jumped(&entry));
    EXPECT_EQ(0x20000400u, entry);
    EXPECT_EQ(4, loader->IdentifierReads());
    EXPECT_EQ(1, loader->module().Resets(2));  // the fingerprint alone leaves the loader again
}

TEST_F(RecoveryImx, NamedFileWithASerialNumberAndItsOwnStartAddress)
{
    BirdWriter w;
    w.AddInformation(6, "0.0.6", kSerial, "Recovered");
    w.AddLoader(0x20000000, images.loaderA);
    w.AddLoader(0x20200000, images.loaderB);
    w.AddRecoveryStart(0x20000800);
    ASSERT_EQ(aErrNone, w.Write(dir.file("own.bird")));
    // The started loader answers as 0xDEADDEAD even though the device's serial number was given.
    Fingerprint fp;
    ASSERT_TRUE(updater->Get_Fingerprint(fp, rom.Port(), kSerial, dir.file("own.bird"), 115200, false));
    EXPECT_EQ(kFingerprint[0], fp.words[0]);
    uint32_t entry = 0;
    EXPECT_TRUE(rom.device().Jumped(&entry));
    EXPECT_EQ(0x20000800u, entry);
    ExpectLoaderWritten();
    EXPECT_EQ(0, loader->module().Resets(2));
    EXPECT_TRUE(server.Requests().empty());  // the file named everything: no server involved
}

TEST_F(RecoveryImx, FileWithoutSerialNumberIsRefusedBeforeTheChip)
{
    Fingerprint fp;
    EXPECT_FALSE(updater->Get_Fingerprint(fp, rom.Port(), 0xDEADDEAD, dir.file("loader.bird"), 115200, true));
    EXPECT_TRUE(display.saw("Add serial number or remove the bird filename to use a default recovery image."));
    EXPECT_TRUE(rom.device().Commands().empty());
}

TEST_F(RecoveryImx, SilentRomIsNoLoader)
{
    ImxRomFaults silent;
    silent.silent = true;
    rom.device().SetFaults(silent);
    Fingerprint fp;
    EXPECT_FALSE(updater->Get_Fingerprint(fp, rom.Port(), 0x00B0A7ED, dir.file("loader.bird"), 115200, true));
    EXPECT_FALSE(loader->started());
    EXPECT_EQ(std::vector<uint16_t>(5, 0x0505), rom.device().Commands());
}

// The whole recovery: loader through the ROM, firmware through the started loader on USB, and the
// reboot, after which the loader leaves the bus. The wait for its link to drop ends with the
// unplug, not after the reboot time-out.
TEST_F(RecoveryImx, RecoversThroughTheRebootOffTheBus)
{
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(updater->Recover_Firmware(rom.Port(), 0, 115200, 0xDEADDEAD, "", false));
    const auto took = std::chrono::steady_clock::now() - start;
    ExpectLoaderWritten();
    std::vector<SimUpgradeBlock> firmware = loader->upgrade().Firmware();
    ASSERT_EQ(2u, firmware.size());
    EXPECT_EQ(0x60002000u, firmware[0].address);
    EXPECT_EQ(images.fw1, firmware[0].bytes);
    EXPECT_EQ(0x60010000u, firmware[1].address);
    EXPECT_EQ(images.fw2, firmware[1].bytes);
    EXPECT_EQ(1, loader->upgrade().Stats().reboots);
    EXPECT_TRUE(loader->leftTheBus());
    EXPECT_FALSE(display.saw("Device did not restart: its link stayed up 30.0 s after the reboot request"));
    EXPECT_LT(took, std::chrono::seconds(25));  // far below the reboot wait: the drop was seen
}

// The loader that left the bus with the reboot is reached again by a fresh connect once it is
// back, although the recovery's link to it broke off while it was gone.
TEST_F(RecoveryImx, LoaderThatLeftIsFoundAgainWhenItComesBack)
{
    ASSERT_TRUE(updater->Recover_Firmware(rom.Port(), 0, 115200, 0xDEADDEAD, "", false));
    ASSERT_TRUE(loader->leftTheBus());
    Vantorix::Strandix::Module gone(0, (uint8_t)0);
    EXPECT_NE(aErrNone, gone.connect(USB, 0xDEADDEAD));
    gone.disconnect();

    loader->Start();
    Vantorix::Strandix::Module back(0, (uint8_t)0);
    ASSERT_EQ(aErrNone, back.connect(USB, 0xDEADDEAD));
    EXPECT_TRUE(back.isConnected());
    back.disconnect();
}

// -U -t RECOVER -V through the program, which alone runs under the simulated USB bus (with a
// private home): the reboot brings the chip back on USB as the device the recovery was for,
// running the build its firmware carries. A chip that never comes back fails the check within
// the wait (in-process below).
TEST_F(RecoveryImx, VerifiedRecoveryThroughTheProgramFindsTheDeviceOnUsb)
{
    const char* preload = getenv("LD_PRELOAD");
    ASSERT_NE(preload, nullptr);
    ASSERT_TRUE(loader->ComeBackAs(kSerial, 300));
    IsolatedHome home;
    ProcessResult r = home.RunCommand({"env", std::string("LD_PRELOAD=") + preload, UPDATER_BINARY, "-U", "-V", "-w",
                                       "30", "-t", "RECOVER", "-s", rom.Port(), "-u", server.BaseURL()},
                                      "", 120000, {"LD_PRELOAD="});
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Device 00B0A7ED now runs 3.0.0 (900)\n")) << r.out;
    ExpectLoaderWritten();
    std::vector<SimUpgradeBlock> firmware = loader->upgrade().Firmware();
    ASSERT_EQ(2u, firmware.size());
    EXPECT_EQ(images.fw1, firmware[0].bytes);
    EXPECT_EQ(images.fw2, firmware[1].bytes);
}

TEST_F(RecoveryImx, VerifiedRecoveryOfAChipThatNeverComesBackFails)
{
    ASSERT_TRUE(updater->Recover_Firmware(rom.Port(), 0, 115200, 0xDEADDEAD, "", false));
    DeviceInfo running;
    EXPECT_FALSE(updater->Verify_Recovery(kSerial, 2, running));
    EXPECT_TRUE(display.saw("Device 00B0A7ED did not come back within 2 seconds"));
    // Without a serial number there is nothing to look for.
    EXPECT_FALSE(updater->Verify_Recovery(0xDEADDEAD, 2, running));
    EXPECT_TRUE(display.saw("The recovered device cannot be checked: its serial number is not known"));
}
