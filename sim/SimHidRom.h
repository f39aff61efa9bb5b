// The i.MX RT1050 ROM as it shows itself on USB in serial download mode: a HID device with
// numbered reports, reached through a hidraw node. On the simulated USB bus it is a USB device
// with the ROM's identity, its HID interface, the HID device (uevent identity and report
// descriptor) and a hidraw child whose /dev node answers the hidraw ioctls. Output reports
// written to the node go to an ImxSdpDevice; its replies come back as input reports, one per
// read, as the kernel's hidraw driver hands them out:
//   report 1: a 16-byte command (out)     report 3: 4 bytes of security state (in)
//   report 2: up to 1024 data bytes (out) report 4: 64 bytes of status or data (in)
//
// Reads never block: umockdev's preload library does not take over poll(), so a poll on the
// node always says "ready"; a read with no report waiting fails with EAGAIN, which hidapi turns
// into "no report", as when its time-out runs out. The simulated ROM answers inside the write
// that completes a command, so a reply is always waiting by the time the host reads it.
#ifndef SIM_SIMHIDROM_H
#define SIM_SIMHIDROM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "ImxRomSim.h"
#include "SimUsbBus.h"

class SimHidRom {
  public:
    struct Report {
        uint8_t id;
        size_t length;  // report ID included
    };

    // Plugs the ROM into the bus; the processor must outlive this object, and this object
    // must be destroyed before the bus.
    SimHidRom(SimUsbBus& bus, ImxSdpDevice& device, uint16_t vendor = 0x1FC9, uint16_t product = 0x0130);
    ~SimHidRom();
    SimHidRom(const SimHidRom&) = delete;
    SimHidRom& operator=(const SimHidRom&) = delete;

    bool ok() const { return handler_ != nullptr; }
    const std::string& devnode() const { return devnode_; }    // /dev/hidrawN
    const std::string& syspath() const { return hidrawPath_; }  // the hidraw device in sysfs

    // Output reports the host wrote (accepted ones), input reports it read, in order.
    std::vector<Report> Written();
    std::vector<Report> Delivered();
    // Writes refused (unknown report ID, too long, too short).
    int Refused();
    // Unplugged: every request on the node fails with ENODEV, as after a real unplug.
    void SetPlugged(bool plugged);

    // The report descriptor the node hands out.
    static std::vector<uint8_t> ReportDescriptor();

  private:
    static int sHandleIoctl(void* handler, void* client, void* self);
    static int sHandleRead(void* handler, void* client, void* self);
    static int sHandleWrite(void* handler, void* client, void* self);
    void Ioctl(void* client);
    void Read(void* client);
    void Write(void* client);
    void QueueReplyLocked(const ImxSdpReply& reply);

    SimUsbBus& bus_;
    ImxSdpDevice& device_;
    uint16_t vendor_, product_;
    std::string hidrawPath_;
    std::string devnode_;
    void* handler_ = nullptr;  // UMockdevIoctlBase
    std::mutex mutex_;
    std::deque<std::vector<uint8_t>> pending_;  // input reports, ID first
    std::vector<Report> written_;
    std::vector<Report> delivered_;
    int refused_ = 0;
    bool unplugged_ = false;
};

#endif
