#include "SimUsbBus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

namespace {

const char* const kPreload = "libumockdev-preload.so.0";
const char* const kReexecMark = "SIMUSB_REEXECUTED";

bool sPreloadInEnvironment()
{
    const char* preload = getenv("LD_PRELOAD");
    return preload != nullptr && strstr(preload, "libumockdev-preload") != nullptr;
}

// The path of a sanitizer runtime loaded into this process, or "" when there is none: it must
// stay first in the preload list.
std::string sSanitizerRuntime()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        size_t slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        std::string path = line.substr(slash);
        if (path.find("libasan.so") != std::string::npos || path.find("libtsan.so") != std::string::npos ||
            path.find("libclang_rt.asan") != std::string::npos)
            return path;
    }
    return "";
}

std::vector<std::string> sCommandLine()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    std::vector<std::string> words;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

void sPutLE16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back((uint8_t)(v & 0xFF));
    out.push_back((uint8_t)(v >> 8));
}

}  // namespace

// Under ThreadSanitizer: the emulation's libraries (and libusb, which a test drives from the
// link's reader and writer threads at once, as it is made for) synchronise in ways the sanitizer
// cannot see, since they are not instrumented. Only reports whose racing access lies inside
// them are suppressed; races in our own code are still reported.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libumockdev.so\n"
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libusb-1.0.so\n"
           "called_from_lib:libumockdev-preload.so.0\n";
}

// ---------------------------------------------------------------------------------------------
// Echo backend

void SimUsbEchoBackend::FromHost(const uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.insert(received_.end(), data, data + count);
    if (echo_)
        pending_.insert(pending_.end(), data, data + count);
}

size_t SimUsbEchoBackend::ToHost(uint8_t* data, size_t max)
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    while (n < max && !pending_.empty()) {
        data[n++] = pending_.front();
        pending_.pop_front();
    }
    return n;
}

void SimUsbEchoBackend::Queue(const uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.insert(pending_.end(), data, data + count);
}

std::vector<uint8_t> SimUsbEchoBackend::Received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void SimUsbEchoBackend::SetEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = echo;
}

// ---------------------------------------------------------------------------------------------
// Bus

bool SimUsbBus::Available()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libumockdev-preload") != std::string::npos)
            return true;
    }
    return false;
}

bool SimUsbBus::ReexecUnderPreload()
{
    if (sPreloadInEnvironment() && Available())
        return true;
    if (getenv(kReexecMark) != nullptr) {
        fprintf(stderr, "simulated USB: %s is not active even though it was preloaded\n", kPreload);
        return false;
    }
    std::string preload;
    std::string runtime = sSanitizerRuntime();
    if (!runtime.empty())
        preload = runtime + ":";
    preload += kPreload;
    const char* old = getenv("LD_PRELOAD");
    if (old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kReexecMark, "1", 1);

    std::vector<std::string> words = sCommandLine();
    if (words.empty())
        return false;
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    execv("/proc/self/exe", argv.data());
    fprintf(stderr, "simulated USB: cannot re-execute under %s: %s\n", kPreload, strerror(errno));
    return false;
}

SimUsbBus::SimUsbBus()
{
    if (!Available())
        return;
    testbed_ = umockdev_testbed_new();
}

SimUsbBus::~SimUsbBus()
{
    for (auto& device : devices_) {
        if (device->handler_ != nullptr)
            umockdev_testbed_detach_ioctl((UMockdevTestbed*)testbed_, device->devnode_.c_str(), nullptr);
    }
    devices_.clear();
    if (testbed_ != nullptr)
        g_object_unref(testbed_);
}

SimUsbDevice* SimUsbBus::Add(const SimUsbDeviceConfig& config, std::shared_ptr<SimUsbBackend> backend)
{
    if (testbed_ == nullptr)
        return nullptr;
    UMockdevTestbed* testbed = (UMockdevTestbed*)testbed_;
    std::unique_ptr<SimUsbDevice> device(new SimUsbDevice(config, std::move(backend)));
    const int devnum = nextDevnum_++;
    char name[32], devnode[64], vendor[8], product[8], num[8];
    snprintf(name, sizeof(name), "1-%d", devnum);
    snprintf(devnode, sizeof(devnode), "/dev/bus/usb/001/%03d", devnum);
    snprintf(vendor, sizeof(vendor), "%04x", config.vendor);
    snprintf(product, sizeof(product), "%04x", config.product);
    snprintf(num, sizeof(num), "%d", devnum);
    gchar* syspath = umockdev_testbed_add_device(
        testbed, "usb", name, nullptr,
        // attributes
        "busnum", "1\n", "devnum", (std::string(num) + "\n").c_str(), "idVendor", vendor, "idProduct", product,
        "speed", "480\n", "bConfigurationValue", "1\n", "serial", config.serial.c_str(), nullptr,
        // properties
        "DEVNAME", devnode, "DEVTYPE", "usb_device", "BUSNUM", "001", "DEVNUM", num, nullptr);
    if (syspath == nullptr)
        return nullptr;
    device->syspath_ = syspath;
    g_free(syspath);
    device->devnode_ = devnode;
    std::vector<uint8_t> descriptors = device->Descriptors();
    umockdev_testbed_set_attribute_binary(testbed, device->syspath_.c_str(), "descriptors", descriptors.data(),
                                          (gint)descriptors.size());

    // The device node: an empty file in the testbed's /dev; opening it connects to the handler.
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string node = std::string(root) + devnode;
    g_free(root);
    g_mkdir_with_parents(node.substr(0, node.rfind('/')).c_str(), 0755);
    if (!g_file_set_contents(node.c_str(), "", 0, nullptr)) {
        umockdev_testbed_remove_device(testbed, device->syspath_.c_str());
        return nullptr;
    }

    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(SimUsbDevice::sHandleIoctl), device.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devnode, handler, &error)) {
        fprintf(stderr, "simulated USB: cannot attach %s: %s\n", devnode, error ? error->message : "?");
        if (error)
            g_error_free(error);
        g_object_unref(handler);
        umockdev_testbed_remove_device(testbed, device->syspath_.c_str());
        return nullptr;
    }
    device->handler_ = handler;
    devices_.push_back(std::move(device));
    return devices_.back().get();
}

// ---------------------------------------------------------------------------------------------
// Device

struct SimUsbDevice::Urb {
    UMockdevIoctlData* urb = nullptr;     // the host's usbdevfs_urb, resolved
    UMockdevIoctlData* buffer = nullptr;  // its data buffer, resolved
    uint64_t address = 0;                 // the URB's address in the host process
    UMockdevIoctlClient* client = nullptr;  // the connection that submitted it (a reference)
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int status = 0;
    int actual = 0;
    bool held = false;  // an IN transfer kept open with the bytes it already took
    ~Urb()
    {
        if (client)
            g_object_unref(client);
        if (buffer)
            g_object_unref(buffer);
        if (urb)
            g_object_unref(urb);
    }
    struct usbdevfs_urb* u() { return (struct usbdevfs_urb*)urb->data; }
};

SimUsbDevice::SimUsbDevice(const SimUsbDeviceConfig& config, std::shared_ptr<SimUsbBackend> backend)
    : config_(config), backend_(std::move(backend))
{
}

SimUsbDevice::~SimUsbDevice()
{
    // The handler is detached by now; taking the lock orders this after its last request.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingIn_.clear();
        completed_.clear();
    }
    if (handler_ != nullptr)
        g_object_unref(handler_);
}

std::vector<uint8_t> SimUsbDevice::Descriptors() const
{
    std::vector<uint8_t> d;
    // device descriptor
    d.insert(d.end(), {18, 1, 0x00, 0x02, 0, 0, 0, 64});
    sPutLE16(d, config_.vendor);
    sPutLE16(d, config_.product);
    sPutLE16(d, 0x0100);
    d.insert(d.end(), {1, 2, 3, 1});
    // configuration, one interface, its endpoints
    const uint8_t endpoints = (uint8_t)((config_.outEndpoint ? 1 : 0) + (config_.inEndpoint ? 1 : 0));
    const uint16_t total = (uint16_t)(9 + 9 + 7 * endpoints);
    d.insert(d.end(), {9, 2});
    sPutLE16(d, total);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    if (config_.linkInterface)
        d.insert(d.end(), {9, 4, 0, 0, endpoints, 0xFF, 0x88, 0x10, 0});
    else
        d.insert(d.end(), {9, 4, 0, 0, endpoints, 0xFF, 0x00, 0x00, 0});
    if (config_.outEndpoint)
        d.insert(d.end(), {7, 5, 0x01, 0x02, 64, 0, 0});
    if (config_.inEndpoint)
        d.insert(d.end(), {7, 5, 0x82, 0x02, 64, 0, 0});
    return d;
}

bool SimUsbDevice::StringDescriptor(uint8_t index, std::vector<uint8_t>& out) const
{
    out.clear();
    if (index == 0) {
        out = {4, 3, 0x09, 0x04};
        return true;
    }
    const std::string* text = nullptr;
    if (index == 1)
        text = &config_.manufacturer;
    else if (index == 2)
        text = &config_.productName;
    else if (index == 3)
        text = &config_.serial;
    if (text == nullptr)
        return false;
    out.push_back((uint8_t)(2 + 2 * text->size()));
    out.push_back(3);
    for (char c : *text)
        sPutLE16(out, (uint16_t)(uint8_t)c);
    return true;
}

std::vector<size_t> SimUsbDevice::OutTransferSizes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outSizes_;
}

void SimUsbDevice::StallNextOut(int n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stallOut_ = n;
}

void SimUsbDevice::SetPlugged(bool plugged)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged && !unplugged_) {
        // As the kernel does for a device that leaves: every outstanding transfer completes
        // with "device gone" and stays there for the host to reap, so nothing waits for it.
        for (std::shared_ptr<Urb>& urb : pendingIn_) {
            urb->status = -ESHUTDOWN;
            urb->held = false;
            completed_.push_back(urb);
        }
        pendingIn_.clear();
        holdIn_ = false;
    } else if (plugged && unplugged_) {
        // Back on the bus as a new device: transfers of the old one that nobody reaped are gone.
        pendingIn_.clear();
        completed_.clear();
    }
    const bool changed = unplugged_ == plugged;
    unplugged_ = !plugged;
    if (changed)
        backend_->Plugged(plugged);
}

void SimUsbDevice::HoldNextIn()
{
    std::lock_guard<std::mutex> lock(mutex_);
    holdIn_ = true;
}

int SimUsbDevice::InTransfers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return inTransfers_;
}

int SimUsbDevice::ClearedHalts(uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return (endpoint & 0x80) ? clearedIn_ : clearedOut_;
}

int SimUsbDevice::Claims()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return claims_;
}

int SimUsbDevice::Releases()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return releases_;
}

int SimUsbDevice::sHandleIoctl(void* /*handler*/, void* client, void* self)
{
    return static_cast<SimUsbDevice*>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

// Fills pending IN transfers from the backend; a held transfer takes bytes once and then waits
// for the host to give up on it.
void SimUsbDevice::ServiceInLocked()
{
    while (!pendingIn_.empty()) {
        std::shared_ptr<Urb> urb = pendingIn_.front();
        if (urb->held)
            return;
        const size_t room = (size_t)urb->u()->buffer_length;
        size_t n = room > 0 ? backend_->ToHost(urb->buffer->data, room) : 0;
        if (holdIn_) {
            holdIn_ = false;
            urb->held = true;
            urb->actual = (int)n;
            return;
        }
        if (n == 0)
            return;
        urb->actual = (int)n;
        urb->status = 0;
        pendingIn_.pop_front();
        completed_.push_back(urb);
    }
}

// Claiming the interface is exclusive: a process claims it only once the one before has let it
// go, by closing the device or by dying with it open (kill -9). As the kernel does, the earlier
// process's transfers are gone then, so a pending IN transfer of a process that is gone never
// takes bytes meant for the new one.
void SimUsbDevice::ForgetOtherClientsLocked(void* client)
{
    auto other = [client](const std::shared_ptr<Urb>& urb) { return urb->client != client; };
    pendingIn_.erase(std::remove_if(pendingIn_.begin(), pendingIn_.end(), other), pendingIn_.end());
    completed_.erase(std::remove_if(completed_.begin(), completed_.end(), other), completed_.end());
}

// The oldest completed transfer of this connection (each connection reaps only its own).
std::deque<std::shared_ptr<SimUsbDevice::Urb>>::iterator SimUsbDevice::CompletedOfLocked(void* client)
{
    return std::find_if(completed_.begin(), completed_.end(),
                        [client](const std::shared_ptr<Urb>& urb) { return urb->client == client; });
}

bool SimUsbDevice::HandleIoctl(void* clientPtr)
{
    UMockdevIoctlClient* client = (UMockdevIoctlClient*)clientPtr;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex_);

    if (unplugged_) {
        // Transfers completed by the unplug can still be reaped; everything else fails.
        if ((request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) &&
            CompletedOfLocked(client) != completed_.end())
            return ReapLocked(client, arg);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    if (request == USBDEVFS_SUBMITURB) {
        auto urb = std::make_shared<Urb>();
        urb->address = *(uint64_t*)arg->data;
        urb->client = (UMockdevIoctlClient*)g_object_ref(client);
        urb->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
        if (urb->urb == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        struct usbdevfs_urb* u = urb->u();
        urb->type = u->type;
        urb->endpoint = u->endpoint;
        if (u->buffer_length < 0 || u->buffer_length > (1 << 20)) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return true;
        }
        urb->buffer = umockdev_ioctl_data_resolve(urb->urb, offsetof(struct usbdevfs_urb, buffer),
                                                  (gsize)u->buffer_length, nullptr);
        if (urb->buffer == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        uint8_t* data = urb->buffer->data;
        const int length = u->buffer_length;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            // Standard GET_DESCRIPTOR requests are answered; everything else is accepted empty.
            urb->status = 0;
            urb->actual = 0;
            if (length >= 8 && data[0] == 0x80 && data[1] == 0x06) {
                const uint8_t type = data[3], index = data[2];
                const int wanted = data[6] | (data[7] << 8);
                std::vector<uint8_t> reply;
                if (type == 3) {
                    if (!StringDescriptor(index, reply))
                        urb->status = -EPIPE;
                } else if (type == 1) {
                    std::vector<uint8_t> all = Descriptors();
                    reply.assign(all.begin(), all.begin() + 18);
                } else if (type == 2) {
                    std::vector<uint8_t> all = Descriptors();
                    reply.assign(all.begin() + 18, all.end());
                } else {
                    urb->status = -EPIPE;
                }
                size_t n = std::min(reply.size(), (size_t)std::min(wanted, length - 8));
                memcpy(data + 8, reply.data(), n);
                urb->actual = (int)n;
            }
            completed_.push_back(urb);
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & 0x80) == 0) {
            if (!config_.outEndpoint || urb->endpoint != 0x01) {
                urb->status = -EPIPE;
            } else if (stallOut_ > 0) {
                stallOut_--;
                urb->status = -EPIPE;
            } else {
                backend_->FromHost(data, (size_t)length);
                outSizes_.push_back((size_t)length);
                urb->status = 0;
                urb->actual = length;
            }
            completed_.push_back(urb);
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
            if (!config_.inEndpoint || urb->endpoint != 0x82) {
                urb->status = -EPIPE;
                completed_.push_back(urb);
            } else {
                inTransfers_++;
                pendingIn_.push_back(urb);
                ServiceInLocked();
            }
        } else {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return true;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        ServiceInLocked();
        if (CompletedOfLocked(client) == completed_.end()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return true;
        }
        return ReapLocked(client, arg);
    }


    if (request == USBDEVFS_DISCARDURB) {
        const uint64_t address = *(uint64_t*)arg->data;
        for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
            if ((*it)->address != address || (*it)->client != client)
                continue;
            std::shared_ptr<Urb> urb = *it;
            pendingIn_.erase(it);
            urb->status = -ENOENT;  // cancelled, with whatever it already carries
            completed_.push_back(urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }

    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE) {
        if (request == USBDEVFS_CLAIMINTERFACE) {
            claims_++;
            ForgetOtherClientsLocked(client);
        }
        else
            releases_++;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    if (request == USBDEVFS_CLEAR_HALT) {
        UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
        if (ep != nullptr) {
            if ((*(unsigned int*)ep->data) & 0x80)
                clearedIn_++;
            else
                clearedOut_++;
            g_object_unref(ep);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return true;
}

// Hands the oldest completed transfer back to the host.
bool SimUsbDevice::ReapLocked(void* clientPtr, void* argPtr)
{
    UMockdevIoctlClient* client = (UMockdevIoctlClient*)clientPtr;
    UMockdevIoctlData* arg = (UMockdevIoctlData*)argPtr;
    const auto found = CompletedOfLocked(client);
    std::shared_ptr<Urb> urb = *found;
    completed_.erase(found);
    urb->u()->status = urb->status;
    urb->u()->actual_length = urb->actual;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (slot == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    return true;
}
