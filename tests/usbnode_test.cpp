// Devices reached through the family's kernel driver node: a pseudo-terminal stands in for the
// node at "/dev/strandix.%08X" (made and removed by each test), with the simulated device on
// its other side.
// test-labels: threads
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <vector>

#include "SimDevice.h"
#include "SimEchoLogic.h"
#include "SimUsbNode.h"
#include "aLink.h"
#include "aStream.h"
#include "aTime.h"
#include "sxusb_driver.h"

namespace {

class UsbNodeTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        config.serialNumber = 0x7E57ABCD;  // not a serial number a real device here would have
        config.moduleAddress = 4;
        config.idleTimeoutMs = 20000;
        device.reset(new SimDevice(config, &logic));
        ASSERT_TRUE(device->OpenPty());
        ASSERT_TRUE(device->Start());
        node.reset(new SimUsbNode(config.serialNumber, device->PtyPath()));
        if (!node->ok())
            GTEST_SKIP() << "cannot make " << node->path() << " here";
    }
    void TearDown() override
    {
        node.reset();
        if (device)
            device->Stop();
    }
    bool WaitReceived(size_t count)
    {
        for (int i = 0; i < 200 && device->Received().size() < count; i++)
            aTime_MSSleep(10);
        return device->Received().size() >= count;
    }
    SimDeviceConfig config;
    SimEchoLogic logic;
    std::unique_ptr<SimDevice> device;
    std::unique_ptr<SimUsbNode> node;
};

TEST_F(UsbNodeTest, NodeIsUsedWithoutTheUsbLibrary)
{
    EXPECT_TRUE(sxusb_is_kernel_driver_installed(config.serialNumber));
    EXPECT_FALSE(sxusb_is_kernel_driver_installed(config.serialNumber + 1));

    sxusb* handle = sxusb_create_usb(0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->context, nullptr);
    ASSERT_EQ(sxusb_open_strandix_device(handle, "7E57ABCD"), aErrNone);
    EXPECT_GT(handle->node_fd, 0);
    uint8_t byte = 0;
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrNotReady);  // nothing waiting: at once
    const uint8_t bytes[3] = {0xAD, 0x00, 0x00};
    EXPECT_EQ(sxusb_write_to_device(handle, bytes, 3), aErrNone);
    ASSERT_TRUE(WaitReceived(3));
    EXPECT_EQ(device->Received(), std::vector<uint8_t>(bytes, bytes + 3));
    EXPECT_EQ(sxusb_close_strandix_device(handle), aErrNone);
    EXPECT_EQ(handle->node_fd, 0);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_CLOSED);
    EXPECT_EQ(sxusb_destroy(&handle), aErrNone);

    handle = sxusb_create_usb(0);
    EXPECT_EQ(sxusb_open_strandix_device(handle, "7E57ABCE"), aErrIO);  // no such node
    sxusb_destroy(&handle);
}

TEST_F(UsbNodeTest, StreamAndEngineLinkGoThroughTheNode)
{
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(config.serialNumber, &stream), aErrNone);
    const uint8_t bytes[2] = {0x01, 0x02};
    EXPECT_EQ(aStream_Write(stream, bytes, 2), aErrNone);
    ASSERT_TRUE(WaitReceived(2));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    device->ClearReceived();

    aLinkId id = aLink_CreateUSB(config.serialNumber);
    ASSERT_NE(id, 0u);
    const uint64_t until = aTime_MonoMS() + 5000;
    while (aLink_GetStatus(id) != LINK_RUNNING && aTime_MonoMS() < until)
        aTime_MSSleep(10);
    ASSERT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    const uint8_t payload[2] = {0x42, 0x43};
    aPacket* request = aPacket_CreateWithData(4, 2, payload);
    ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 4);
    ASSERT_EQ(reply->length, 2);
    EXPECT_EQ(reply->data[1], 0x43);
    aPacket_Destroy(&reply);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST_F(UsbNodeTest, StreamWaitsForDataAndSeesTheDeviceGo)
{
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(config.serialNumber, &stream), aErrNone);
    const uint64_t start = aTime_MonoMS();
    EXPECT_EQ(aStream_Wait(stream, 100), aErrNotReady);
    EXPECT_GE(aTime_MonoMS() - start, 90u);  // it slept rather than spun
    device->SendBytes({0x04, 0x00});
    EXPECT_EQ(aStream_Wait(stream, 2000), aErrNone);
    uint8_t two[2];
    EXPECT_EQ(aStream_Read(stream, two, 2), aErrNone);
    EXPECT_EQ(two[0], 0x04);

    device->Stop();
    device.reset();  // the pseudo-terminal's other side is gone
    // The reader learns it either from the wait or from the next get, never as "nothing yet".
    aErr gone = aErrNotReady;
    for (int i = 0; i < 20 && gone == aErrNotReady; i++) {
        gone = aStream_Wait(stream, 100);
        uint8_t byte;
        if (gone == aErrNone)
            gone = aStream_Read(stream, &byte, 1);
    }
    EXPECT_TRUE(gone == aErrConnection || gone == aErrIO) << gone;
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(UsbNodeTest, NodeIsRemovedWithTheSimulator)
{
    node.reset();
    EXPECT_FALSE(sxusb_is_kernel_driver_installed(config.serialNumber));
    aStream* stream = nullptr;
    // Without the node the USB library is asked, which knows no such device.
    EXPECT_NE(aStream_CreateUSB(config.serialNumber, &stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
}

double sProcessCpuSeconds()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + (double)u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// A driver node without poll support always reads as ready: the link reader must notice that its
// wait does not wait and sleep between empty reads instead of spinning on them.
TEST(UsbNodeWithoutPoll, IdleLinkSleepsBetweenEmptyReads)
{
    SimUsbNode node(0x7E57ABCE);
    if (!node.ok())
        GTEST_SKIP() << "cannot make " << node.path() << " here";
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x7E57ABCE, &stream), aErrNone);
    EXPECT_EQ(aStream_Wait(stream, 1000), aErrNone);  // the node's "ready" that means nothing
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    aStream_Destroy(&stream);

    aLinkId id = aLink_CreateUSB(0x7E57ABCE);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    aTime_MSSleep(100);
    const double cpu0 = sProcessCpuSeconds();
    aTime_MSSleep(1000);
    const double cpu = sProcessCpuSeconds() - cpu0;
    // A spinning reader takes a whole core (or whatever share a loaded machine leaves it); a
    // sleeping one a fraction of a percent. The bound is far from both.
    EXPECT_LT(cpu, 0.15) << "the idle link used " << cpu << " s of CPU in 1 s";
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
