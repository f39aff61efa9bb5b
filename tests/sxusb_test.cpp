// The USB driver over a real libusb, talking to simulated devices on an emulated USB bus.
// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "SimUsbBus.h"
#include "sxusb_driver.h"

static const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

namespace {

class SxusbTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!sPreloaded)
            GTEST_SKIP() << "the umockdev preload library cannot be used in this process";
        ASSERT_TRUE(bus.ok());
    }
    void TearDown() override
    {
        if (handle != nullptr)
            sxusb_destroy(&handle);
    }
    SimUsbDevice* Plug(const std::string& serial, std::shared_ptr<SimUsbBackend> backend, uint16_t product = 0x0011)
    {
        SimUsbDeviceConfig config;
        config.serial = serial;
        config.product = product;
        return bus.Add(config, backend);
    }
    aErr Open(const char* serial)
    {
        handle = sxusb_create_usb(1);
        if (handle == nullptr)
            return aErrResource;
        return sxusb_open_strandix_device(handle, serial);
    }
    SimUsbBus bus;
    sxusb* handle = nullptr;
};

TEST_F(SxusbTest, OpensOnlyTheFamilyDeviceWithTheExactSerialText)
{
    auto a = std::make_shared<SimUsbEchoBackend>();
    auto b = std::make_shared<SimUsbEchoBackend>();
    auto foreign = std::make_shared<SimUsbEchoBackend>();
    ASSERT_NE(Plug("0000ABCD", a), nullptr);
    ASSERT_NE(Plug("0000ABCE", b), nullptr);
    ASSERT_NE(Plug("11112222", foreign, 0x8001), nullptr);

    ASSERT_EQ(Open("0000ABCE"), aErrNone);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_OPEN);
    EXPECT_STREQ(handle->serial, "0000ABCE");
    const uint8_t hello[3] = {1, 2, 3};
    ASSERT_EQ(sxusb_write_to_device(handle, hello, 3), aErrNone);
    EXPECT_EQ(b->Received(), std::vector<uint8_t>({1, 2, 3}));
    EXPECT_TRUE(a->Received().empty());
    uint8_t byte = 0;
    for (uint8_t expected : hello) {
        ASSERT_EQ(sxusb_get_from_device(handle, &byte), aErrNone);
        EXPECT_EQ(byte, expected);
    }
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrNotReady);
    EXPECT_EQ(sxusb_close_strandix_device(handle), aErrNone);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_CLOSED);
    EXPECT_EQ(sxusb_destroy(&handle), aErrNone);
    EXPECT_EQ(handle, nullptr);

    // A prefix of a serial text, and a device whose product ID has bit 15 set, are not matches.
    EXPECT_EQ(Open("0000ABC"), aErrNotFound);
    sxusb_destroy(&handle);
    EXPECT_EQ(Open("11112222"), aErrNotFound);
    EXPECT_TRUE(foreign->Received().empty());
}

TEST_F(SxusbTest, WritesLeaveInChunksOfFiftyBytes)
{
    auto backend = std::make_shared<SimUsbEchoBackend>();
    backend->SetEcho(false);
    SimUsbDevice* device = Plug("0000002A", backend);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Open("0000002A"), aErrNone);

    std::vector<uint8_t> data(120);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)i;
    ASSERT_EQ(sxusb_write_to_device(handle, data.data(), (uint32_t)data.size()), aErrNone);
    EXPECT_EQ(device->OutTransferSizes(), std::vector<size_t>({50, 50, 20}));
    EXPECT_EQ(backend->Received(), data);

    // A long write that goes through is not cut short by the bound on failed attempts.
    std::vector<uint8_t> big(6000, 0x5A);
    ASSERT_EQ(sxusb_write_to_device(handle, big.data(), (uint32_t)big.size()), aErrNone);
    EXPECT_EQ(backend->Received().size(), 120u + 6000u);
    EXPECT_EQ(device->OutTransferSizes().size(), 3u + 120u);
}

TEST_F(SxusbTest, StalledOutEndpointIsClearedAndTheChunkSentAgain)
{
    auto backend = std::make_shared<SimUsbEchoBackend>();
    backend->SetEcho(false);
    SimUsbDevice* device = Plug("0000002A", backend);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Open("0000002A"), aErrNone);
    device->StallNextOut(2);
    std::vector<uint8_t> data(70, 7);
    ASSERT_EQ(sxusb_write_to_device(handle, data.data(), (uint32_t)data.size()), aErrNone);
    EXPECT_EQ(device->ClearedHalts(0x01), 2);
    EXPECT_EQ(device->OutTransferSizes(), std::vector<size_t>({50, 20}));
    EXPECT_EQ(backend->Received(), data);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_OPEN);
}

TEST_F(SxusbTest, TimedOutInTransferDeliversItsBytesOnePerGet)
{
    auto backend = std::make_shared<SimUsbEchoBackend>();
    SimUsbDevice* device = Plug("0000002A", backend);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Open("0000002A"), aErrNone);
    const uint8_t ten[10] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    backend->Queue(ten, sizeof(ten));
    device->HoldNextIn();

    uint8_t byte = 0;
    ASSERT_EQ(sxusb_get_from_device(handle, &byte), aErrNone);
    EXPECT_EQ(byte, 10);
    EXPECT_EQ(device->InTransfers(), 1);
    for (int i = 1; i < 10; i++) {
        ASSERT_EQ(sxusb_get_from_device(handle, &byte), aErrNone);
        EXPECT_EQ(byte, 10 + i);
    }
    EXPECT_EQ(device->InTransfers(), 1);  // all ten came from the one transfer
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrNotReady);
    EXPECT_EQ(device->InTransfers(), 2);
}

TEST_F(SxusbTest, DeviceWithoutTheLinkInterfaceOrABulkDirectionIsRefused)
{
    auto backend = std::make_shared<SimUsbEchoBackend>();
    SimUsbDeviceConfig plain;
    plain.serial = "00000001";
    plain.linkInterface = false;
    SimUsbDeviceConfig oneWay;
    oneWay.serial = "00000002";
    oneWay.inEndpoint = false;
    SimUsbDevice* a = bus.Add(plain, backend);
    SimUsbDevice* b = bus.Add(oneWay, backend);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    EXPECT_EQ(Open("00000001"), aErrConfiguration);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_CLOSED);
    EXPECT_EQ(handle->device, nullptr);
    uint8_t byte = 0;
    EXPECT_EQ(sxusb_write_to_device(handle, &byte, 1), aErrConnection);
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrConnection);
    EXPECT_EQ(sxusb_close_strandix_device(handle), aErrMode);
    sxusb_destroy(&handle);

    EXPECT_EQ(Open("00000002"), aErrConfiguration);
    EXPECT_EQ(a->Claims() + b->Claims(), 0);
}

TEST_F(SxusbTest, HandleChecksPathAndState)
{
    sxusb* node = sxusb_create_usb(0);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->context, nullptr);  // the node path never starts libusb
    uint8_t byte = 0;
    EXPECT_EQ(sxusb_get_from_device(node, &byte), aErrMode);  // no node open
    EXPECT_EQ(sxusb_close_strandix_device(node), aErrNone);    // nothing to close
    EXPECT_EQ(sxusb_destroy(&node), aErrNone);
    EXPECT_EQ(sxusb_destroy(&node), aErrParam);

    handle = sxusb_create_usb(1);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_CREATED);
    EXPECT_EQ(sxusb_write_to_device(handle, &byte, 1), aErrNotReady);
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrNotReady);
    EXPECT_EQ(sxusb_open_strandix_device(handle, "0000FFFF"), aErrNotFound);
}

TEST_F(SxusbTest, UnpluggedDeviceFailsTheHandleUntilReopened)
{
    auto backend = std::make_shared<SimUsbEchoBackend>();
    SimUsbDevice* device = Plug("0000002A", backend);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Open("0000002A"), aErrNone);
    device->SetPlugged(false);
    uint8_t byte = 1;
    EXPECT_EQ(sxusb_write_to_device(handle, &byte, 1), aErrConnection);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_GONE);
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrConnection);
    EXPECT_EQ(sxusb_wait_for_data(handle, 10), aErrConnection);
    sxusb_destroy(&handle);
    EXPECT_EQ(Open("0000002A"), aErrNotFound);
    sxusb_destroy(&handle);

    device->SetPlugged(true);
    ASSERT_EQ(Open("0000002A"), aErrNone);
    EXPECT_EQ(sxusb_write_to_device(handle, &byte, 1), aErrNone);
    ASSERT_EQ(sxusb_get_from_device(handle, &byte), aErrNone);
    EXPECT_EQ(byte, 1);
}

// The device leaves while the get's IN transfer is on the bus: the transfer ends with the loss at
// once (not on its time-out, and never hangs), later gets and writes say the same, and the device
// cannot be opened again until it is back.
TEST_F(SxusbTest, UnplugWithAnInTransferPendingEndsItWithTheLoss)
{
    auto backend = std::make_shared<SimUsbEchoBackend>();
    SimUsbDevice* device = Plug("0000002B", backend);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Open("0000002B"), aErrNone);
    // A first get with nothing to hand out times out as a quiet line.
    uint8_t byte = 0;
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrNotReady);

    // Unplug while the next get waits on its (100 ms) IN transfer; repeated so that the unplug
    // falls inside a pending transfer whatever the scheduling.
    const int before = device->InTransfers();
    std::atomic<bool> unplugged{false};
    std::thread unplug([&] {
        for (int i = 0; i < 200 && device->InTransfers() == before; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        device->SetPlugged(false);
        unplugged = true;
    });
    const auto start = std::chrono::steady_clock::now();
    aErr err = sxusb_get_from_device(handle, &byte);
    const auto took = std::chrono::steady_clock::now() - start;
    unplug.join();
    ASSERT_TRUE(unplugged);
    EXPECT_GT(device->InTransfers(), before);
    EXPECT_EQ(err, aErrConnection);
    EXPECT_EQ(handle->state, (uint32_t)SXUSB_STATE_GONE);
    EXPECT_LT(took, std::chrono::seconds(2));  // a bound against a hang, not a timing figure
    EXPECT_EQ(sxusb_get_from_device(handle, &byte), aErrConnection);
    EXPECT_EQ(sxusb_write_to_device(handle, &byte, 1), aErrConnection);
    EXPECT_EQ(sxusb_close_strandix_device(handle), aErrNone);  // closing a gone device still frees it
    sxusb_destroy(&handle);

    EXPECT_EQ(Open("0000002B"), aErrNotFound);
    sxusb_destroy(&handle);
    device->SetPlugged(true);
    ASSERT_EQ(Open("0000002B"), aErrNone);
    const uint8_t hello = 0x5A;
    ASSERT_EQ(sxusb_write_to_device(handle, &hello, 1), aErrNone);
    aErr got = aErrNotReady;
    for (int i = 0; i < 20 && got == aErrNotReady; i++)
        got = sxusb_get_from_device(handle, &byte);
    ASSERT_EQ(got, aErrNone);
    EXPECT_EQ(byte, 0x5A);
}

}  // namespace
