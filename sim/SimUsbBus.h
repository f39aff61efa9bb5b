// A simulated USB bus for tests: devices of the family (or any other vendor/product) appear in
// an emulated sysfs and usbdevfs, so that an unmodified libusb enumerates them, opens them,
// reads their string descriptors and moves bulk data to and from them. Bulk OUT bytes go to a
// SimUsbBackend and bulk IN transfers are filled from it, so any simulated device logic can sit
// behind the USB transport.
//
// The emulation needs the umockdev preload library in the process: call
// SimUsbBus::ReexecUnderPreload() first thing (a test program does it from a static
// initialiser); it re-executes the program with the library preloaded (after the sanitizer
// runtime when there is one) and returns only in the preloaded process.
#ifndef SIM_SIMUSBBUS_H
#define SIM_SIMUSBBUS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What a simulated device does with the bytes of the bulk pipes. Called from the emulation's
// worker thread: implementations guard their own state.
class SimUsbBackend {
  public:
    virtual ~SimUsbBackend() = default;
    // Bytes of one completed bulk OUT transfer.
    virtual void FromHost(const uint8_t* data, size_t count) = 0;
    // Fills at most max bytes for a bulk IN transfer; returns the count (0: nothing yet).
    virtual size_t ToHost(uint8_t* data, size_t max) = 0;
    // The device left the bus (false) or came back (true).
    virtual void Plugged(bool /*plugged*/) {}
};

// A backend that sends back every byte it receives, plus bytes queued by the test.
class SimUsbEchoBackend : public SimUsbBackend {
  public:
    void FromHost(const uint8_t* data, size_t count) override;
    size_t ToHost(uint8_t* data, size_t max) override;
    void Queue(const uint8_t* data, size_t count);
    // Everything received so far, in order.
    std::vector<uint8_t> Received();
    void SetEcho(bool echo);

  private:
    std::mutex mutex_;
    std::deque<uint8_t> pending_;
    std::vector<uint8_t> received_;
    bool echo_ = true;
};

struct SimUsbDeviceConfig {
    uint16_t vendor = 0x24FF;
    uint16_t product = 0x0011;
    std::string serial = "0000ABCD";  // the serial-number string descriptor
    std::string manufacturer = "Strandix";
    std::string productName = "Simulated module";
    // The link interface (class 0xFF, subclass 0x88, protocol 0x10); off gives a plain
    // vendor interface that the host must refuse.
    bool linkInterface = true;
    bool outEndpoint = true;  // endpoint 0x01
    bool inEndpoint = true;   // endpoint 0x82
};

class SimUsbDevice;

class SimUsbBus {
  public:
    // Re-executes the running program under the umockdev preload library unless it already
    // runs under it. Returns false (after printing why) when that is impossible.
    static bool ReexecUnderPreload();
    // True when the umockdev preload library is active in this process.
    static bool Available();

    SimUsbBus();
    ~SimUsbBus();
    SimUsbBus(const SimUsbBus&) = delete;
    SimUsbBus& operator=(const SimUsbBus&) = delete;

    bool ok() const { return testbed_ != nullptr; }
    // The umockdev testbed (UMockdevTestbed*), for devices of other kinds on the same bus (for
    // example a hidraw child of a USB device, with its own ioctl and read/write handler).
    void* testbed() const { return testbed_; }

    // Plugs in a device; the backend is shared with the caller. Returns the device (owned by
    // the bus) or null.
    SimUsbDevice* Add(const SimUsbDeviceConfig& config, std::shared_ptr<SimUsbBackend> backend);

  private:
    void* testbed_ = nullptr;  // UMockdevTestbed
    std::vector<std::unique_ptr<SimUsbDevice>> devices_;
    int nextDevnum_ = 2;
};

// One plugged device; test hooks to inspect and disturb its bulk traffic.
class SimUsbDevice {
  public:
    ~SimUsbDevice();
    const SimUsbDeviceConfig& config() const { return config_; }
    const std::string& devnode() const { return devnode_; }
    // The device's sysfs path in the testbed (a parent for child devices such as hidraw).
    const std::string& syspath() const { return syspath_; }

    // Sizes of the completed bulk OUT transfers, in order.
    std::vector<size_t> OutTransferSizes();
    // Unplugging behaves as the kernel does for a device that leaves the bus: transfers still
    // pending complete with an error (-ESHUTDOWN) that the host reaps, and every other request
    // on the device node fails with ENODEV, so open handles break and the device can no longer
    // be identified or claimed. Plugging it back in lets a new open succeed (the device stays
    // in the emulated sysfs); transfers of the old connection that were never reaped are gone.
    void SetPlugged(bool plugged);
    // The next n bulk OUT transfers end with a stalled endpoint.
    void StallNextOut(int n);
    // The next bulk IN transfer takes whatever the backend has but never completes by itself:
    // the host sees it time out with those bytes.
    void HoldNextIn();
    // Number of IN transfers submitted and of halts cleared, per direction.
    int InTransfers();
    int ClearedHalts(uint8_t endpoint);
    int Claims();
    int Releases();

  private:
    friend class SimUsbBus;
    struct Urb;
    SimUsbDevice(const SimUsbDeviceConfig& config, std::shared_ptr<SimUsbBackend> backend);
    std::vector<uint8_t> Descriptors() const;
    bool StringDescriptor(uint8_t index, std::vector<uint8_t>& out) const;
    static int sHandleIoctl(void* handler, void* client, void* self);
    bool HandleIoctl(void* client);
    void ForgetOtherClientsLocked(void* client);
    std::deque<std::shared_ptr<Urb>>::iterator CompletedOfLocked(void* client);
    bool ReapLocked(void* client, void* arg);
    void ServiceInLocked();

    SimUsbDeviceConfig config_;
    std::shared_ptr<SimUsbBackend> backend_;
    std::string syspath_;
    std::string devnode_;
    void* handler_ = nullptr;  // UMockdevIoctlBase
    std::mutex mutex_;
    std::deque<std::shared_ptr<Urb>> pendingIn_;
    std::deque<std::shared_ptr<Urb>> completed_;
    std::vector<size_t> outSizes_;
    int stallOut_ = 0;
    bool holdIn_ = false;
    int inTransfers_ = 0;
    int clearedIn_ = 0;
    int clearedOut_ = 0;
    int claims_ = 0;
    int releases_ = 0;
    bool unplugged_ = false;
};

#endif
