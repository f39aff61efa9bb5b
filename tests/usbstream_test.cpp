// USB byte streams and the engine's USB links over a real libusb and the emulated USB bus, with
// the simulated device's wire logic behind the bulk pipes.
// test-labels: threads
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "SimDevice.h"
#include "SimEchoLogic.h"
#include "SimUsbBus.h"
#include "SimUsbWire.h"
#include "aLink.h"
#include "aStream.h"
#include "aTime.h"

static const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

namespace {

class UsbStreamTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!sPreloaded)
            GTEST_SKIP() << "the umockdev preload library cannot be used in this process";
        ASSERT_TRUE(bus.ok());
    }
    SimUsbBus bus;
};

// Reads count bytes, polling while the stream has nothing yet; bounded.
aErr sReadAll(aStream* stream, uint8_t* out, size_t count)
{
    aErr err = aErrNotReady;
    for (int i = 0; i < 200 && err == aErrNotReady; i++)
        err = aStream_Read(stream, out, count);
    return err;
}

TEST_F(UsbStreamTest, StreamReachesTheDeviceNamedByItsEightDigitSerial)
{
    auto other = std::make_shared<SimUsbEchoBackend>();
    auto backend = std::make_shared<SimUsbEchoBackend>();
    SimUsbDeviceConfig config;
    config.serial = "0000002B";
    ASSERT_NE(bus.Add(config, other), nullptr);
    config.serial = "0000002A";
    SimUsbDevice* device = bus.Add(config, backend);
    ASSERT_NE(device, nullptr);

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x2A, &stream), aErrNone);
    ASSERT_NE(stream, nullptr);
    const uint8_t one = 0x55;
    EXPECT_EQ(aStream_Write(stream, &one, 1), aErrNone);
    EXPECT_EQ(aStream_Write(stream, &one, 0), aErrNone);
    std::vector<uint8_t> data(120);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 3);
    EXPECT_EQ(aStream_Write(stream, data.data(), data.size()), aErrNone);
    EXPECT_EQ(device->OutTransferSizes(), std::vector<size_t>({1, 50, 50, 20}));
    EXPECT_TRUE(other->Received().empty());

    std::vector<uint8_t> back(121);
    ASSERT_EQ(sReadAll(stream, back.data(), back.size()), aErrNone);
    EXPECT_EQ(back[0], 0x55);
    EXPECT_EQ(std::vector<uint8_t>(back.begin() + 1, back.end()), data);
    uint8_t extra;
    EXPECT_EQ(aStream_Read(stream, &extra, 1), aErrNotReady);

    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(device->Releases(), 1);
}

TEST_F(UsbStreamTest, CreationReportsWhyNoStreamWasMade)
{
    aStream* stream = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0x2A, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0x2A, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);

    SimUsbDeviceConfig config;
    config.serial = "0000002C";
    config.linkInterface = false;
    ASSERT_NE(bus.Add(config, std::make_shared<SimUsbEchoBackend>()), nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x2C, &stream), aErrConfiguration);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(UsbStreamTest, EngineLinkCarriesPacketsToTheSimulatedDevice)
{
    SimDeviceConfig deviceConfig;
    deviceConfig.serialNumber = 0x1234ABCD;
    deviceConfig.moduleAddress = 6;
    deviceConfig.idleTimeoutMs = 20000;
    SimEchoLogic logic;
    SimDevice simulated(deviceConfig, &logic);
    auto wire = std::make_shared<SimUsbWireBackend>();
    ASSERT_TRUE(wire->Attach(simulated));
    ASSERT_TRUE(simulated.Start());
    SimUsbDeviceConfig config;
    config.serial = "1234ABCD";
    ASSERT_NE(bus.Add(config, wire), nullptr);

    EXPECT_EQ(aLink_CreateUSB(0x0BADF00D), 0u);  // nothing with that serial number
    aLinkId id = aLink_CreateUSB(0x1234ABCD);
    ASSERT_NE(id, 0u);
    aLinkId again = aLink_CreateUSB(0x1234ABCD);
    EXPECT_EQ(again, id);  // shared by use count
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);

    const uint64_t until = aTime_MonoMS() + 5000;
    while (aLink_GetStatus(id) != LINK_RUNNING && aTime_MonoMS() < until)
        aTime_MSSleep(10);
    ASSERT_EQ(aLink_GetStatus(id), LINK_RUNNING);

    const uint8_t payload[4] = {0x11, 0x22, 0x33, 0x44};
    aPacket* request = aPacket_CreateWithData(6, 4, payload);
    ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 6);
    ASSERT_EQ(reply->length, 4);
    EXPECT_EQ(std::vector<uint8_t>(reply->data, reply->data + 4), std::vector<uint8_t>(payload, payload + 4));
    aPacket_Destroy(&reply);

    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    simulated.Stop();
}

// Sends one packet and expects the echo back; false when none comes within two seconds.
bool sEchoes(aLinkId id)
{
    const uint8_t payload[3] = {0x21, 0x43, 0x65};
    aPacket* request = aPacket_CreateWithData(6, 3, payload);
    if (aLink_PutPacket(id, request) != aErrNone) {
        aPacket_Destroy(&request);
        return false;
    }
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitPacket(id, 2000);
    const bool ok = reply != nullptr && reply->length == 3 && memcmp(reply->data, payload, 3) == 0;
    aPacket_Destroy(&reply);
    return ok;
}

// A device that leaves the bus while the link's reader waits on an IN transfer: the link leaves
// running (as for a TCP peer that closed), stops polling the gone device, can be released
// without hanging, and a new link finds the device once it is back.
TEST_F(UsbStreamTest, DeviceThatLeavesTakesTheLinkOutOfRunning)
{
    SimDeviceConfig deviceConfig;
    deviceConfig.serialNumber = 0x1234ABCE;
    deviceConfig.moduleAddress = 6;
    deviceConfig.idleTimeoutMs = 20000;
    SimEchoLogic logic;
    SimDevice simulated(deviceConfig, &logic);
    auto wire = std::make_shared<SimUsbWireBackend>();
    ASSERT_TRUE(wire->Attach(simulated));
    ASSERT_TRUE(simulated.Start());
    SimUsbDeviceConfig config;
    config.serial = "1234ABCE";
    SimUsbDevice* device = bus.Add(config, wire);
    ASSERT_NE(device, nullptr);

    aLinkId id = aLink_CreateUSB(0x1234ABCE);
    ASSERT_NE(id, 0u);
    uint64_t until = aTime_MonoMS() + 5000;
    while (aLink_GetStatus(id) != LINK_RUNNING && aTime_MonoMS() < until)
        aTime_MSSleep(10);
    ASSERT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    ASSERT_TRUE(sEchoes(id));

    aTime_MSSleep(30);  // the reader is inside its next IN transfer
    device->SetPlugged(false);
    until = aTime_MonoMS() + 5000;
    while (aLink_GetStatus(id) == LINK_RUNNING && aTime_MonoMS() < until)
        aTime_MSSleep(5);
    EXPECT_EQ(aLink_GetStatus(id), LINK_IO_FAULT);
    // Gone is gone: the reader no longer submits transfers to the device.
    const int transfers = device->InTransfers();
    aTime_MSSleep(300);
    EXPECT_EQ(device->InTransfers(), transfers);
    EXPECT_EQ(aLink_GetStatus(id), LINK_IO_FAULT);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);

    EXPECT_EQ(aLink_CreateUSB(0x1234ABCE), 0u);  // not on the bus: no link
    device->SetPlugged(true);
    id = aLink_CreateUSB(0x1234ABCE);
    ASSERT_NE(id, 0u);
    until = aTime_MonoMS() + 5000;
    while (aLink_GetStatus(id) != LINK_RUNNING && aTime_MonoMS() < until)
        aTime_MSSleep(10);
    ASSERT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_TRUE(sEchoes(id));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    simulated.Stop();
}

}  // namespace
