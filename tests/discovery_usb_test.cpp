// Discovery over USB: simulated modules on the simulated USB bus, found and interrogated by
// Updater::Discover_Devices and printed as the device list.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RecordingDisplay.h"
#include "Reports.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SimUsbBus.h"
#include "SimUsbWire.h"
#include "Updater.h"

namespace {

const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

// A simulated module behind a simulated USB device.
struct UsbModule {
    std::unique_ptr<SimModuleLogic> logic;
    std::unique_ptr<SimDevice> device;
    std::shared_ptr<SimUsbWireBackend> wire = std::make_shared<SimUsbWireBackend>();

    UsbModule(SimUsbBus& bus, uint32_t serial, uint8_t address, uint16_t product)
    {
        SimModuleConfig module;
        module.serialNumber = serial;
        module.address = address;
        module.router = address;
        module.model = (uint8_t)product;
        module.version = (1u << 28) | (2u << 24) | 3u;
        module.build = 555;
        logic.reset(new SimModuleLogic(module));
        SimDeviceConfig config;
        config.serialNumber = serial;
        config.moduleAddress = address;
        config.model = (uint8_t)product;
        config.idleTimeoutMs = 30000;
        device.reset(new SimDevice(config, logic.get()));
        EXPECT_TRUE(wire->Attach(*device));
        EXPECT_TRUE(device->Start());
        SimUsbDeviceConfig usb;
        char text[9];
        snprintf(text, sizeof(text), "%08X", serial);
        usb.serial = text;
        usb.product = product;
        EXPECT_NE(nullptr, bus.Add(usb, wire));
    }
    ~UsbModule() { device->Stop(); }
};

}  // namespace

TEST(DiscoveryUsb, UsbDevicesAreListed)
{
    ASSERT_TRUE(sPreloaded && SimUsbBus::Available());
    SimUsbBus bus;
    ASSERT_TRUE(bus.ok());
    UsbModule first(bus, 0x1234ABCD, 6, 16);
    UsbModule second(bus, 0x00C0FFEE, 4, 21);

    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
    std::vector<DeviceInfo> devices = updater.Discover_Devices(USB);
    ASSERT_EQ(2u, devices.size());
    EXPECT_TRUE(display.all.empty());  // discovery itself prints nothing

    _display_device_list(display, devices, USB);
    EXPECT_TRUE(display.saw("Discovered Devices: (USB)"));
    EXPECT_TRUE(display.saw("    Device    Module   Router  Model          Firmware Version (Build)"));
    EXPECT_TRUE(display.saw("    1234ABCD  06       06      Ginkgo         1.2.3 (555)"));
    EXPECT_TRUE(display.saw("    00C0FFEE  04       04      Maple          1.2.3 (555)"));
    for (const DeviceInfo& d : devices) {
        EXPECT_EQ(USB, d.spec.type);
        EXPECT_EQ(aErrNone, d.error);
    }
}

TEST(DiscoveryUsb, DeviceThatCannotBeInterrogatedKeepsItsError)
{
    ASSERT_TRUE(sPreloaded && SimUsbBus::Available());
    SimUsbBus bus;
    ASSERT_TRUE(bus.ok());
    // A device of the family whose firmware keeps the link but answers nothing.
    SimDeviceConfig config;
    config.serialNumber = 0x0000D00D;
    config.moduleAddress = 2;
    config.idleTimeoutMs = 30000;
    SimDevice silent(config, nullptr);
    auto wire = std::make_shared<SimUsbWireBackend>();
    ASSERT_TRUE(wire->Attach(silent));
    ASSERT_TRUE(silent.Start());
    SimUsbDeviceConfig usb;
    usb.serial = "0000D00D";
    ASSERT_NE(nullptr, bus.Add(usb, wire));

    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
    std::vector<DeviceInfo> devices = updater.Discover_Devices(USB);
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ(aErrTimeout, devices[0].error);
    EXPECT_EQ(0u, devices[0].build);
    _display_device_list(display, devices, USB);
    EXPECT_TRUE(display.saw("    0000D00D  [Error (18): Is someone else connected to this device?]"));
    silent.Stop();
}
