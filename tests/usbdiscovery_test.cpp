// USB discovery over a real libusb and the emulated USB bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "SimUsbBus.h"
#include "aDiscovery.h"

static const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

namespace {

struct Seen {
    std::vector<linkSpec> specs;
    bool stopAfterFirst = false;
    bool count = true;
};

bool sCollect(const linkSpec* spec, bool* countIt, void* ref)
{
    Seen* seen = static_cast<Seen*>(ref);
    seen->specs.push_back(*spec);
    *countIt = seen->count;
    return !seen->stopAfterFirst;
}

class UsbDiscoveryTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!sPreloaded)
            GTEST_SKIP() << "the umockdev preload library cannot be used in this process";
        ASSERT_TRUE(bus.ok());
    }
    void Plug(const std::string& serial, uint16_t product = 0x0011, uint16_t vendor = 0x24FF)
    {
        SimUsbDeviceConfig config;
        config.serial = serial;
        config.product = product;
        config.vendor = vendor;
        ASSERT_NE(bus.Add(config, std::make_shared<SimUsbEchoBackend>()), nullptr);
    }
    SimUsbBus bus;
};

TEST_F(UsbDiscoveryTest, ReportsFamilyDevicesWithEightDigitSerials)
{
    Plug("1234ABCD", 0x0011);
    Plug("0000BEEF", 0x8001);           // bit 15 of the product ID: not a family device
    Plug("00000007", 0x0011, 0x1FC9);   // another vendor
    Plug("123ABCD", 0x0013);            // seven characters
    Plug("12G4ABCD", 0x0013);           // not hexadecimal
    Plug("abcdef01", 0x0113);

    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &seen), 2u);
    ASSERT_EQ(seen.specs.size(), 2u);
    // The bus's order is not the order of plugging.
    std::sort(seen.specs.begin(), seen.specs.end(),
              [](const linkSpec& x, const linkSpec& y) { return x.serial_number < y.serial_number; });
    const linkSpec& a = seen.specs[0];
    EXPECT_EQ(a.type, USB);
    EXPECT_EQ(a.serial_number, 0x1234ABCDu);
    EXPECT_EQ(a.t.usb.usb_id, 0x1234ABCDu);
    EXPECT_EQ(a.model, 0x11u);
    EXPECT_EQ(a.module, 0u);
    EXPECT_EQ(a.router, 0u);
    EXPECT_EQ(a.router_serial_number, 0u);
    EXPECT_EQ(seen.specs[1].serial_number, 0xABCDEF01u);
    EXPECT_EQ(seen.specs[1].model, 0x13u);  // the low byte of the product ID

    Seen uncounted;
    uncounted.count = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &uncounted), 0u);
    EXPECT_EQ(uncounted.specs.size(), 2u);
}

TEST_F(UsbDiscoveryTest, CallbackReturningFalseStops)
{
    Plug("00000001");
    Plug("00000002");
    Plug("00000003");
    Seen seen;
    seen.stopAfterFirst = true;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &seen), 1u);
    EXPECT_EQ(seen.specs.size(), 1u);
}

TEST_F(UsbDiscoveryTest, FindModuleAndFindFirstModule)
{
    Plug("00000000");
    Plug("0000ABCD");
    SimUsbDeviceConfig config;
    config.serial = "0000ABCE";
    SimUsbDevice* other = bus.Add(config, std::make_shared<SimUsbEchoBackend>());
    ASSERT_NE(other, nullptr);
    linkSpec* spec = aDiscovery_FindModule(USB, 0xABCE);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_number, 0xABCEu);
    EXPECT_EQ(spec->type, USB);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0xABCF), nullptr);

    other->SetPlugged(false);
    spec = aDiscovery_FindFirstModule(USB);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_number, 0xABCDu);  // the device with serial number 0 is passed over
    aLinkSpec_Destroy(&spec);
}

TEST_F(UsbDiscoveryTest, UnpluggedDeviceIsNotReported)
{
    Plug("0000ABCD");
    SimUsbDeviceConfig config;
    config.serial = "0000ABCE";
    SimUsbDevice* gone = bus.Add(config, std::make_shared<SimUsbEchoBackend>());
    ASSERT_NE(gone, nullptr);
    gone->SetPlugged(false);
    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &seen), 1u);
    ASSERT_EQ(seen.specs.size(), 1u);
    EXPECT_EQ(seen.specs[0].serial_number, 0xABCDu);
}

}  // namespace
