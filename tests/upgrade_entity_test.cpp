// UpdaterEntity against the simulated upgrade entity over a real TCP link on 127.0.0.1: the
// DATA chunking and checksums, firmware pieces and writes, and the faults a device can show.
// test-labels: threads
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <vector>

#include "Module.h"
#include "RecordingDisplay.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUpgradeLogic.h"
#include "UpdaterEntity.h"
#include "aTime.h"

using Vantorix::Strandix::Module;

namespace {

// An image block as a BIRD file holds it: 4 bytes of big-endian address, then the code.
std::vector<uint8_t> sImage(uint32_t address, const std::vector<uint8_t>& code)
{
    std::vector<uint8_t> image(4 + code.size());
    for (int i = 0; i < 4; i++)
        image[i] = (uint8_t)(address >> (24 - 8 * i));
    std::copy(code.begin(), code.end(), image.begin() + 4);
    return image;
}

std::vector<uint8_t> sCode(size_t size, uint8_t seed)
{
    std::vector<uint8_t> code(size);
    for (size_t i = 0; i < size; i++)
        code[i] = (uint8_t)(seed + i * 7 + (i >> 3));
    return code;
}

class UpgradeEntity : public ::testing::Test {
  protected:
    void Start(const SimUpgradeConfig& config)
    {
        SimModuleConfig self;
        self.address = 2;
        moduleLogic = std::make_unique<SimModuleLogic>(self);
        upgrade = std::make_unique<SimUpgradeLogic>(config, moduleLogic.get(), self.serialNumber);
        SimDeviceConfig deviceConfig;
        deviceConfig.idleTimeoutMs = 20000;
        device = std::make_unique<SimDevice>(deviceConfig, upgrade.get());
        ASSERT_TRUE(device->ListenTcp(0));
        ASSERT_TRUE(device->Start());
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serial_number = self.serialNumber;
        spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
        spec.t.ip.ip_port = device->Port();
        ASSERT_EQ(aErrNone, module.connectFromSpec(spec));
        entity.init(&module, 0, true);
    }

    void TearDown() override
    {
        module.disconnect();
        if (device)
            device->Stop();
    }

    Module module{2, (uint8_t)0};
    UpdaterEntity entity;
    RecordingDisplay display;
    std::unique_ptr<SimModuleLogic> moduleLogic;
    std::unique_ptr<SimUpgradeLogic> upgrade;
    std::unique_ptr<SimDevice> device;
};

}  // namespace

TEST_F(UpgradeEntity, LoaderBlockGoesIn26ByteChunksAndIsChecked)
{
    Start(SimUpgradeConfig());
    ASSERT_EQ(aErrNone, entity.LoaderInit());
    const std::vector<uint8_t> code = sCode(60, 3);
    const std::vector<uint8_t> image = sImage(0x20000000, code);
    uint16_t blockSize = 0;
    ASSERT_EQ(aErrNone, entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0x40, blockSize));
    EXPECT_EQ(1024, blockSize);
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(image.data(), (uint32_t)image.size()));

    SimUpgradeStats stats = upgrade->Stats();
    EXPECT_EQ((std::vector<uint8_t>{26, 26, 8}), stats.dataLengths);
    EXPECT_EQ(1, stats.sums);
    std::vector<SimUpgradeBlock> loader = upgrade->Loader();
    ASSERT_EQ(1u, loader.size());
    EXPECT_EQ(0x20000000u, loader[0].address);
    EXPECT_EQ(0x40, loader[0].flags);
    EXPECT_EQ(code, loader[0].bytes);

    // Without validation no SUM is asked for; bytes whose sum needs more than 8 bits still agree.
    UpdaterEntity unchecked;
    unchecked.init(&module, 0, false);
    const std::vector<uint8_t> small = sImage(0x20001000, {0x01, 0x02, 0xFF});
    ASSERT_EQ(aErrNone, unchecked.TransferPrepare(small.data(), (uint32_t)small.size(), 0, blockSize));
    ASSERT_EQ(aErrNone, unchecked.LoaderTransfer(small.data(), (uint32_t)small.size()));
    EXPECT_EQ(1, upgrade->Stats().sums);
    ASSERT_EQ(aErrNone, entity.TransferPrepare(small.data(), (uint32_t)small.size(), 0, blockSize));
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(small.data(), (uint32_t)small.size()));
    EXPECT_EQ(2, upgrade->Stats().sums);
}

TEST_F(UpgradeEntity, FirmwareGoesInPiecesOfTheBlockSizeEachWritten)
{
    SimUpgradeConfig config;
    config.blockSize = 256;
    Start(config);
    ASSERT_EQ(aErrNone, entity.LoaderInit());
    ASSERT_EQ(aErrNone, entity.LoaderStart());
    EXPECT_TRUE(upgrade->InLoader());

    const std::vector<uint8_t> code = sCode(600, 9);
    const std::vector<uint8_t> image = sImage(0x00004000, code);
    uint16_t blockSize = 0;
    ASSERT_EQ(aErrNone, entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, blockSize));
    ASSERT_EQ(256, blockSize);
    ASSERT_EQ(aErrNone, entity.FirmwareTransfer(image.data(), (uint32_t)image.size(), blockSize, display));

    SimUpgradeStats stats = upgrade->Stats();
    EXPECT_EQ((std::vector<uint32_t>{256, 256, 88}), stats.writeLengths);
    EXPECT_EQ(3, stats.sums);
    std::vector<SimUpgradeBlock> firmware = upgrade->Firmware();
    ASSERT_EQ(1u, firmware.size());
    EXPECT_EQ(0x4000u, firmware[0].address);
    EXPECT_EQ(code, firmware[0].bytes);
    EXPECT_EQ((std::vector<std::string>{"on", "off"}), display.progress_events);
    EXPECT_DOUBLE_EQ(1.0, display.last_fraction);
}

TEST_F(UpgradeEntity, RebootWaitsForTheLinkToDrop)
{
    Start(SimUpgradeConfig());
    entity.setRebootWait(10000);
    uint64_t start = aTime_MonoMS();
    EXPECT_EQ(aErrNone, entity.LoaderReboot(display));
    EXPECT_LT(aTime_MonoMS() - start, 10000u);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(1, upgrade->Stats().reboots);
}

// Faults: each ends the step with an error, and none keeps the caller waiting for ever.
TEST_F(UpgradeEntity, DeviceFaultsEndTheStepWithAnError)
{
    SimUpgradeConfig config;
    config.badSumAt = 1;
    config.refusePrepareAt = 2;
    Start(config);
    const std::vector<uint8_t> image = sImage(0x1000, sCode(40, 1));
    uint16_t blockSize = 0;

    // A checksum the device disagrees with.
    ASSERT_EQ(aErrNone, entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, blockSize));
    EXPECT_EQ(aErrInvalidOption, entity.LoaderTransfer(image.data(), (uint32_t)image.size()));
    // A refused PREPARE.
    EXPECT_EQ(aErrInvalidOption, entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, blockSize));

    // A DATA request without an answer.
    config = SimUpgradeConfig();
    config.muteOp = val_UPGRADE_DATA;
    config.muteAt = 3;  // the first of the next transfer: the one above sent two
    upgrade->SetConfig(config);
    EXPECT_EQ(aErrPacket, entity.LoaderTransfer(image.data(), (uint32_t)image.size()));
}

TEST_F(UpgradeEntity, WrongDataCountsAreRepeatedButNotForEver)
{
    SimUpgradeConfig config;
    config.wrongCountAt = 2;
    config.wrongCountTimes = 3;  // a few wrong answers, then the device takes the chunk
    Start(config);
    const std::vector<uint8_t> code = sCode(52, 5);
    const std::vector<uint8_t> image = sImage(0x1000, code);
    uint16_t blockSize = 0;
    ASSERT_EQ(aErrNone, entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, blockSize));
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(image.data(), (uint32_t)image.size()));
    EXPECT_EQ(code, upgrade->Loader()[0].bytes);
    EXPECT_EQ(5, upgrade->Stats().dataPackets);

    // A device that never takes the chunk.
    config.wrongCountAt = 1;
    config.wrongCountTimes = -1;
    upgrade->SetConfig(config);
    uint64_t start = aTime_MonoMS();
    ASSERT_EQ(aErrNone, entity.TransferPrepare(image.data(), (uint32_t)image.size(), 0, blockSize));
    EXPECT_EQ(aErrPacket, entity.LoaderTransfer(image.data(), (uint32_t)image.size()));
    EXPECT_LT(aTime_MonoMS() - start, 10000u);
    EXPECT_EQ(5 + 1 + UpdaterEntity::kMaxDataRepeats, upgrade->Stats().dataPackets);
}

TEST_F(UpgradeEntity, ADeviceThatNeverRebootsEndsTheWait)
{
    SimUpgradeConfig config;
    config.neverReboots = true;
    Start(config);
    entity.setRebootWait(1000);
    EXPECT_EQ(aErrTimeout, entity.LoaderReboot(display));
    EXPECT_TRUE(module.isConnected());
    ASSERT_FALSE(display.errors.empty());
    EXPECT_NE(std::string::npos, display.errors.back().find("link stayed up")) << display.errors.back();
}
