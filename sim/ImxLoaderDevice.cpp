#include "ImxLoaderDevice.h"

#include <atomic>
#include <cstdio>

#include "ImxRomSim.h"

namespace {

SimModuleConfig sModule(uint8_t model)
{
    SimModuleConfig c;
    c.serialNumber = ImxLoaderDevice::SERIAL;
    c.model = model;
    c.name = "i.MX loader";
    return c;
}

SimUpgradeConfig sLoaderUpgrade()
{
    SimUpgradeConfig c;
    c.startsInLoader = true;
    return c;
}

}  // namespace

// Answers the UEI get of the system entity's identifier option (a request with a sub-index)
// and hands everything else to the upgrade entity and the module behind it.
class ImxLoaderDevice::IdentifierLogic : public SimDeviceLogic {
  public:
    IdentifierLogic(const uint32_t* words, SimDeviceLogic* inner) : words_(words), inner_(inner) {}
    void OnPacket(SimDevice& device, const SimPacket& p) override
    {
        const uint8_t SYSTEM = 3;
        if (p.length == 4 && p.data[0] == SYSTEM && p.data[1] == (0x40 | OPTION_IDENTIFIER)) {
            uint8_t index = p.data[2] & 0x1F, sub = p.data[3];
            reads++;
            if (sub > 3) {
                device.Send(SimPacket::Make(p.address, {SYSTEM, OPTION_IDENTIFIER, (uint8_t)(index | 0x80), 26}));
                return;
            }
            uint32_t v = words_[sub];
            device.Send(SimPacket::Make(p.address, {SYSTEM, OPTION_IDENTIFIER, index, (uint8_t)(v >> 24),
                                                    (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v}));
            return;
        }
        inner_->OnPacket(device, p);
    }
    void OnLinkOpen(SimDevice& d) override { inner_->OnLinkOpen(d); }
    void OnLinkClose(SimDevice& d) override { inner_->OnLinkClose(d); }
    void OnConnect(SimDevice& d) override { inner_->OnConnect(d); }
    void OnDisconnect(SimDevice& d) override { inner_->OnDisconnect(d); }
    void OnTick(SimDevice& d) override { inner_->OnTick(d); }
    std::atomic<int> reads{0};

  private:
    const uint32_t* words_;
    SimDeviceLogic* inner_;
};

ImxLoaderDevice::ImxLoaderDevice(SimUsbBus& bus, const uint32_t identifier[4], uint8_t model)
    : model_(model), module_(sModule(model)), upgrade_(sLoaderUpgrade(), &module_, SERIAL),
      wire_(std::make_shared<SimUsbWireBackend>()), bus_(bus)
{
    for (int i = 0; i < 4; i++)
        identifier_[i] = identifier[i];
    front_.reset(new IdentifierLogic(identifier_, &upgrade_));
    SimDeviceConfig config;
    config.serialNumber = SERIAL;
    config.moduleAddress = 2;
    config.model = model_;
    config.idleTimeoutMs = 120000;
    device_.reset(new SimDevice(config, front_.get()));
    if (!wire_->Attach(*device_) || !device_->Start())
        return;
    SimUsbDeviceConfig usb;
    usb.serial = "DEADDEAD";
    usb.product = model_;
    usb.productName = "i.MX loader";
    usb_ = bus.Add(usb, wire_);
    if (!usb_)
        return;
    usb_->SetPlugged(false);
    // The started loader restarts into the new firmware on REBOOT: it leaves the bus.
    away_.reset(new SimUsbAway(usb_));
    upgrade_.SetAwayHook([this](SimDevice&, int, uint32_t) { away_->Leave(-1); });
}

ImxLoaderDevice::~ImxLoaderDevice()
{
    if (device_)
        device_->Stop();
    away_.reset();
}

bool ImxLoaderDevice::leftTheBus()
{
    return away_ && away_->Departures() > 0;
}

bool ImxLoaderDevice::ComeBackAs(uint32_t serial, int ms)
{
    if (!usb_)
        return false;
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    SimUsbDeviceConfig usb;
    usb.serial = text;
    usb.product = model_;
    usb.productName = "Recovered device";
    firmware_ = bus_.Add(usb, wire_);  // behind the same device, off the bus until the reboot
    if (!firmware_)
        return false;
    firmware_->SetPlugged(false);
    upgrade_.SetRunningHook([this](uint32_t build, uint32_t version) { module_.SetFirmware(2, build, version); });
    upgrade_.SetAwayHook([this, ms](SimDevice&, int, uint32_t) { away_->Leave(ms, firmware_); });
    return true;
}

void ImxLoaderDevice::Attach(ImxRomSim& rom)
{
    rom.device().onJump = [this](uint32_t) { Start(); };
}

void ImxLoaderDevice::Start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!usb_ || (started_ && away_->Departures() == departuresSeen_))
        return;  // already on the bus
    // A jump after a reboot starts the loader again: it comes back on the bus.
    departuresSeen_ = away_->Departures();
    usb_->SetPlugged(true);
    started_ = true;
}

bool ImxLoaderDevice::started()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

int ImxLoaderDevice::IdentifierReads() { return front_->reads; }
