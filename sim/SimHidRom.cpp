#include "SimHidRom.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <umockdev.h>

namespace {

const uint8_t REPORT_COMMAND = 1, REPORT_DATA = 2, REPORT_SECURITY = 3, REPORT_REPLY = 4;
const size_t COMMAND_BYTES = 16, DATA_BYTES = 1024, SECURITY_BYTES = 4, REPLY_BYTES = 64;
const uint32_t BUS_USB_ID = 0x03;

// hidraw minors are handed out per process, as the kernel numbers its nodes.
std::atomic<int> sNextMinor{0};

std::string sHex4(unsigned v)
{
    char text[8];
    snprintf(text, sizeof(text), "%04X", v & 0xFFFF);
    return text;
}

std::string sBaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Writes bytes into the pointee of a pointer argument of an ioctl; false when it cannot be reached.
bool sStore(UMockdevIoctlData* arg, const void* bytes, size_t count)
{
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, count, nullptr);
    if (target == nullptr)
        return false;
    memcpy(target->data, bytes, count);
    g_object_unref(target);
    return true;
}

}  // namespace

std::vector<uint8_t> SimHidRom::ReportDescriptor()
{
    return {
        0x06, 0x00, 0xFF,  // usage page: vendor defined
        0x09, 0x01,        // usage 1
        0xA1, 0x01,        // collection: application
        0x15, 0x00,        //   logical minimum 0
        0x26, 0xFF, 0x00,  //   logical maximum 255
        0x75, 0x08,        //   report size: 8 bits
        0x85, 0x01,        //   report 1: the command, 16 bytes out
        0x09, 0x01, 0x95, 0x10, 0x91, 0x02,
        0x85, 0x02,        //   report 2: file data, 1024 bytes out
        0x09, 0x01, 0x96, 0x00, 0x04, 0x91, 0x02,
        0x85, 0x03,        //   report 3: security state, 4 bytes in
        0x09, 0x01, 0x95, 0x04, 0x81, 0x02,
        0x85, 0x04,        //   report 4: status or data, 64 bytes in
        0x09, 0x01, 0x95, 0x40, 0x81, 0x02,
        0xC0,              // end collection
    };
}

SimHidRom::SimHidRom(SimUsbBus& bus, ImxSdpDevice& device, uint16_t vendor, uint16_t product)
    : bus_(bus), device_(device), vendor_(vendor), product_(product)
{
    UMockdevTestbed* testbed = (UMockdevTestbed*)bus.testbed();
    if (testbed == nullptr)
        return;

    // The USB device itself: the ROM has no bulk pipes; its traffic is the HID reports below.
    SimUsbDeviceConfig config;
    config.vendor = vendor;
    config.product = product;
    config.serial = "";
    config.manufacturer = "NXP";
    config.productName = "i.MX RT1050 serial download";
    config.linkInterface = false;
    config.outEndpoint = false;
    config.inEndpoint = false;
    SimUsbDevice* usb = bus.Add(config, std::make_shared<SimUsbEchoBackend>());
    if (usb == nullptr)
        return;
    umockdev_testbed_set_attribute(testbed, usb->syspath().c_str(), "manufacturer", config.manufacturer.c_str());
    umockdev_testbed_set_attribute(testbed, usb->syspath().c_str(), "product", config.productName.c_str());
    umockdev_testbed_set_attribute(testbed, usb->syspath().c_str(), "bcdDevice", "0001");

    const std::string usbName = sBaseName(usb->syspath());
    gchar* interfacePath = umockdev_testbed_add_device(
        testbed, "usb", (usbName + ":1.0").c_str(), usb->syspath().c_str(),
        // attributes
        "bInterfaceNumber", "00", "bInterfaceClass", "03", "bInterfaceSubClass", "00", "bInterfaceProtocol", "00",
        nullptr,
        // properties
        "DEVTYPE", "usb_interface", "INTERFACE", "3/0/0", nullptr);
    if (interfacePath == nullptr)
        return;

    const int minor = sNextMinor++;
    char hidName[64];
    snprintf(hidName, sizeof(hidName), "0003:%04X:%04X.%04X", vendor, product, minor + 1);
    const std::string hidId = "0003:0000" + sHex4(vendor) + ":0000" + sHex4(product);
    gchar* hidPath = umockdev_testbed_add_device(
        testbed, "hid", hidName, interfacePath, nullptr,
        // properties (the kernel puts these in the HID device's uevent)
        "HID_ID", hidId.c_str(), "HID_NAME", (config.manufacturer + " " + config.productName).c_str(), "HID_PHYS",
        ("usb-simulated-" + usbName + "/input0").c_str(), "HID_UNIQ", "", "MODALIAS",
        ("hid:b0003g0001v0000" + sHex4(vendor) + "p0000" + sHex4(product)).c_str(), nullptr);
    g_free(interfacePath);
    if (hidPath == nullptr)
        return;
    std::vector<uint8_t> descriptor = ReportDescriptor();
    umockdev_testbed_set_attribute_binary(testbed, hidPath, "report_descriptor", descriptor.data(),
                                          (gint)descriptor.size());

    char rawName[32], devnode[48], dev[32];
    snprintf(rawName, sizeof(rawName), "hidraw%d", minor);
    snprintf(devnode, sizeof(devnode), "/dev/hidraw%d", minor);
    snprintf(dev, sizeof(dev), "245:%d", minor);
    gchar* rawPath = umockdev_testbed_add_device(testbed, "hidraw", rawName, hidPath,
                                                 // attributes
                                                 "dev", dev, nullptr,
                                                 // properties
                                                 "DEVNAME", devnode, nullptr);
    g_free(hidPath);
    if (rawPath == nullptr)
        return;
    // hidapi reaches the HID device's uevent through the class device's "device" link.
    umockdev_testbed_set_attribute_link(testbed, rawPath, "device", "..");
    hidrawPath_ = rawPath;
    g_free(rawPath);
    devnode_ = devnode;

    // The node: an empty file in the testbed's /dev; opening it connects to the handler.
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string node = std::string(root) + devnode_;
    g_free(root);
    g_mkdir_with_parents(node.substr(0, node.rfind('/')).c_str(), 0755);
    if (!g_file_set_contents(node.c_str(), "", 0, nullptr))
        return;

    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(sHandleIoctl), this);
    g_signal_connect(handler, "handle-read", G_CALLBACK(sHandleRead), this);
    g_signal_connect(handler, "handle-write", G_CALLBACK(sHandleWrite), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devnode_.c_str(), handler, &error)) {
        fprintf(stderr, "simulated HID: cannot attach %s: %s\n", devnode_.c_str(), error ? error->message : "?");
        if (error)
            g_error_free(error);
        g_object_unref(handler);
        return;
    }
    handler_ = handler;
}

SimHidRom::~SimHidRom()
{
    if (handler_ != nullptr) {
        umockdev_testbed_detach_ioctl((UMockdevTestbed*)bus_.testbed(), devnode_.c_str(), nullptr);
        g_object_unref(handler_);
    }
    // No handler runs any more; taking the lock orders the last one's writes before the members
    // go (the detach's own synchronisation is invisible to ThreadSanitizer).
    std::lock_guard<std::mutex> lock(mutex_);
}

std::vector<SimHidRom::Report> SimHidRom::Written()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

std::vector<SimHidRom::Report> SimHidRom::Delivered()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

int SimHidRom::Refused()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

void SimHidRom::SetPlugged(bool plugged)
{
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = !plugged;
    if (unplugged_)
        pending_.clear();
}

int SimHidRom::sHandleIoctl(void*, void* client, void* self)
{
    static_cast<SimHidRom*>(self)->Ioctl(client);
    return TRUE;
}

int SimHidRom::sHandleRead(void*, void* client, void* self)
{
    static_cast<SimHidRom*>(self)->Read(client);
    return TRUE;
}

int SimHidRom::sHandleWrite(void*, void* client, void* self)
{
    static_cast<SimHidRom*>(self)->Write(client);
    return TRUE;
}

void SimHidRom::Ioctl(void* clientPtr)
{
    UMockdevIoctlClient* client = (UMockdevIoctlClient*)clientPtr;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    const std::vector<uint8_t> descriptor = ReportDescriptor();

    if (request == HIDIOCGRDESCSIZE) {
        int size = (int)descriptor.size();
        bool stored = sStore(arg, &size, sizeof(size));
        umockdev_ioctl_client_complete(client, stored ? 0 : -1, stored ? 0 : EFAULT);
        return;
    }
    if (request == HIDIOCGRDESC) {
        UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct hidraw_report_descriptor), nullptr);
        if (target == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        struct hidraw_report_descriptor* rd = (struct hidraw_report_descriptor*)target->data;
        if (rd->size > HID_MAX_DESCRIPTOR_SIZE) {
            g_object_unref(target);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        // As the kernel: at most the size asked for.
        size_t n = std::min((size_t)rd->size, descriptor.size());
        memcpy(rd->value, descriptor.data(), n);
        g_object_unref(target);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    if (request == HIDIOCGRAWINFO) {
        struct hidraw_devinfo info;
        info.bustype = BUS_USB_ID;
        info.vendor = (__s16)vendor_;
        info.product = (__s16)product_;
        bool stored = sStore(arg, &info, sizeof(info));
        umockdev_ioctl_client_complete(client, stored ? 0 : -1, stored ? 0 : EFAULT);
        return;
    }
    if (_IOC_TYPE(request) == 'H' && _IOC_DIR(request) == _IOC_READ &&
        (_IOC_NR(request) == 0x04 || _IOC_NR(request) == 0x05 || _IOC_NR(request) == 0x08)) {
        // HIDIOCGRAWNAME, HIDIOCGRAWPHYS, HIDIOCGRAWUNIQ: a string cut to the caller's buffer.
        std::string text = _IOC_NR(request) == 0x04 ? "NXP i.MX RT1050 serial download"
                           : _IOC_NR(request) == 0x05 ? "usb-simulated/input0"
                                                      : "";
        size_t room = _IOC_SIZE(request);
        if (room == 0) {
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        std::vector<char> out(room, 0);
        size_t n = std::min(text.size(), room - 1);
        memcpy(out.data(), text.data(), n);
        bool stored = sStore(arg, out.data(), room);
        umockdev_ioctl_client_complete(client, stored ? (glong)(n + 1) : -1, stored ? 0 : EFAULT);
        return;
    }
    // The ROM has no feature reports and nothing else a hidraw node answers.
    if (_IOC_TYPE(request) == 'H') {
        umockdev_ioctl_client_complete(client, -1, EPIPE);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
}

void SimHidRom::QueueReplyLocked(const ImxSdpReply& reply)
{
    if (!reply.any)
        return;
    std::vector<uint8_t> security(1 + SECURITY_BYTES, 0);
    security[0] = REPORT_SECURITY;
    const uint32_t hab = ImxSdpDevice::HAB_OPEN;
    for (size_t i = 0; i < SECURITY_BYTES; i++)
        security[1 + i] = (uint8_t)(hab >> (8 * i));
    pending_.push_back(security);
    // Status or data in 64-byte reports; a reply without any (after a jump) ends here.
    for (size_t at = 0; at < reply.payload.size(); at += REPLY_BYTES) {
        std::vector<uint8_t> report(1 + REPLY_BYTES, 0);
        report[0] = REPORT_REPLY;
        size_t n = std::min(REPLY_BYTES, reply.payload.size() - at);
        memcpy(&report[1], &reply.payload[at], n);
        pending_.push_back(report);
    }
}

void SimHidRom::Write(void* clientPtr)
{
    UMockdevIoctlClient* client = (UMockdevIoctlClient*)clientPtr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t count = arg->data_len > 0 ? (size_t)arg->data_len : 0;
    const uint8_t* data = arg->data;

    std::unique_lock<std::mutex> lock(mutex_);
    if (unplugged_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    // The kernel refuses a write without a report ID and at least one byte.
    if (count < 2) {
        refused_++;
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    const uint8_t id = data[0];
    const size_t payload = count - 1;
    // A report the ROM does not have, or longer than its report, is stalled by the chip.
    if ((id != REPORT_COMMAND && id != REPORT_DATA) || (id == REPORT_COMMAND && payload > COMMAND_BYTES) ||
        (id == REPORT_DATA && payload > DATA_BYTES)) {
        refused_++;
        umockdev_ioctl_client_complete(client, -1, EPIPE);
        return;
    }
    written_.push_back({id, count});
    const bool wasRunning = device_.Jumped();
    if (id == REPORT_COMMAND) {
        uint8_t command[COMMAND_BYTES] = {0};  // a short report arrives zero-filled
        memcpy(command, data + 1, payload);
        QueueReplyLocked(device_.Command(command));
    } else {
        QueueReplyLocked(device_.Data(data + 1, payload, nullptr));
    }
    umockdev_ioctl_client_complete(client, (glong)count, 0);
    lock.unlock();
    // The program the ROM jumped to starts (and may show up elsewhere on the bus).
    uint32_t entry = 0;
    if (!wasRunning && device_.Jumped(&entry) && device_.onJump)
        device_.onJump(entry);
}

void SimHidRom::Read(void* clientPtr)
{
    UMockdevIoctlClient* client = (UMockdevIoctlClient*)clientPtr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t room = arg->data_len > 0 ? (size_t)arg->data_len : 0;

    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (pending_.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    // One report per read; what does not fit the caller's buffer is lost, as with hidraw.
    std::vector<uint8_t> report = pending_.front();
    pending_.pop_front();
    size_t n = std::min(room, report.size());
    memcpy(arg->data, report.data(), n);
    delivered_.push_back({report[0], n});
    umockdev_ioctl_client_complete(client, (glong)n, 0);
}
