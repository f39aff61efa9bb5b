#include "sxusb_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "aFile.h"

// ---------------------------------------------------------------------------------------------
// Identity and interface selection

bool is_strandix_device(libusb_device* device)
{
    struct libusb_device_descriptor descriptor;
    if (device == nullptr || libusb_get_device_descriptor(device, &descriptor) != 0)
        return false;
    return descriptor.idVendor == SXUSB_VENDOR_ID && (int16_t)descriptor.idProduct >= 0;
}

aErr find_usb_endpoints(sxusb* handle, libusb_device* device)
{
    if (!aVALIDSXUSB(handle) || device == nullptr)
        return aErrParam;
    struct libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != 0 || config == nullptr)
        return aErrConfiguration;

    bool found = false;
    uint8_t interfaceNumber = 0, out = 0, in = 0;
    for (int i = 0; i < config->bNumInterfaces && !found; i++) {
        const struct libusb_interface* interface = &config->interface[i];
        for (int a = 0; a < interface->num_altsetting && !found; a++) {
            const struct libusb_interface_descriptor* alt = &interface->altsetting[a];
            if (alt->bInterfaceClass != SXUSB_INTERFACE_CLASS || alt->bInterfaceSubClass != SXUSB_INTERFACE_SUBCLASS ||
                alt->bInterfaceProtocol != SXUSB_INTERFACE_PROTOCOL)
                continue;
            found = true;
            interfaceNumber = alt->bInterfaceNumber;
            for (int e = 0; e < alt->bNumEndpoints; e++) {
                const struct libusb_endpoint_descriptor* endpoint = &alt->endpoint[e];
                if ((endpoint->bmAttributes & 0x02) == 0)  // bulk or interrupt only
                    continue;
                if (endpoint->bEndpointAddress & 0x80)
                    in = endpoint->bEndpointAddress;
                else
                    out = endpoint->bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (!found || out == 0 || in == 0)
        return aErrConfiguration;
    handle->interface_number = interfaceNumber;
    handle->out_endpoint = out;
    handle->in_endpoint = in;
    return aErrNone;
}

// ---------------------------------------------------------------------------------------------
// Life cycle

bool sxusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[64];
    snprintf(path, sizeof(path), SXUSB_NODE_FORMAT, serialNumber);
    return aFile_Exists(path);
}

sxusb* sxusb_create_usb(uint32_t useLibrary)
{
    sxusb* handle = (sxusb*)calloc(1, sizeof(sxusb));
    if (handle == nullptr)
        return nullptr;
    handle->use_library = useLibrary ? 1 : 0;
    if (handle->use_library) {
        if (libusb_init(&handle->context) != 0) {
            free(handle);
            return nullptr;
        }
        handle->next = handle->receive;
    }
    handle->state = SXUSB_STATE_CREATED;
    handle->check = SXUSB_CHECK;
    return handle;
}

aErr sxusb_destroy(sxusb** handle)
{
    if (handle == nullptr || !aVALIDSXUSB(*handle))
        return aErrParam;
    sxusb* h = *handle;
    if (h->device != nullptr)
        libusb_close(h->device);
    if (h->node_fd > 0)
        close(h->node_fd);
    if (h->context != nullptr)
        libusb_exit(h->context);
    h->check = 0;
    free(h);
    *handle = nullptr;
    return aErrNone;
}

// ---------------------------------------------------------------------------------------------
// libusb path

static aErr sOpenLibrary(sxusb* handle, const char* serialText)
{
    if (!handle->use_library)
        return aErrMode;
    if (handle->state == SXUSB_STATE_UNINITIALISED || handle->context == nullptr)
        return aErrResource;
    if (handle->device != nullptr)
        return aErrBusy;  // already open: close it first

    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(handle->context, &list);
    if (count < 0)
        return aErrIO;

    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device* device = list[i];
        if (!is_strandix_device(device))
            continue;
        libusb_device_handle* opened = nullptr;
        if (libusb_open(device, &opened) != 0)
            continue;
        struct libusb_device_descriptor descriptor;
        unsigned char text[50];
        memset(text, 0, sizeof(text));
        bool match = false;
        if (libusb_get_device_descriptor(libusb_get_device(opened), &descriptor) == 0 &&
            libusb_get_string_descriptor_ascii(opened, descriptor.iSerialNumber, text, sizeof(text)) > 0) {
            text[sizeof(text) - 1] = 0;
            match = strcmp((const char*)text, serialText) == 0;
        }
        if (!match) {
            libusb_close(opened);
            continue;
        }

        snprintf(handle->serial, sizeof(handle->serial), "%s", serialText);
        handle->device = opened;
        handle->state = SXUSB_STATE_FOUND;
        if (find_usb_endpoints(handle, device) != aErrNone) {
            handle->state = SXUSB_STATE_CLOSED;
            libusb_close(handle->device);
            handle->device = nullptr;
            result = aErrConfiguration;
            break;
        }
        int claim = libusb_claim_interface(handle->device, handle->interface_number);
        if (claim == 0) {
            handle->state = SXUSB_STATE_OPEN;
            handle->received = 0;
            handle->next = handle->receive;
            result = aErrNone;
        } else {
            libusb_close(handle->device);
            handle->device = nullptr;
            handle->state = SXUSB_STATE_CLOSED;
            if (claim == LIBUSB_ERROR_BUSY || claim == LIBUSB_ERROR_NO_DEVICE)
                result = aErrBusy;
            else if (claim == LIBUSB_ERROR_ACCESS)
                result = aErrPermission;
            else
                result = aErrUnknown;
        }
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

// The link engine reads from one thread and writes from another over the same handle: either
// may mark it failed while the other checks, so transfers touch the state atomically.
static uint32_t sState(const sxusb* handle)
{
    return __atomic_load_n(&handle->state, __ATOMIC_ACQUIRE);
}

static void sSetFailed(sxusb* handle)
{
    __atomic_store_n(&handle->state, (uint32_t)SXUSB_STATE_FAILED, __ATOMIC_RELEASE);
}

// The device left the bus: nothing sent or asked for on this handle can succeed any more.
static void sSetGone(sxusb* handle)
{
    __atomic_store_n(&handle->state, (uint32_t)SXUSB_STATE_GONE, __ATOMIC_RELEASE);
}

static aErr sStateError(uint32_t state)
{
    if (state == SXUSB_STATE_CLOSED || state == SXUSB_STATE_GONE)
        return aErrConnection;
    if (state == SXUSB_STATE_CREATED || state == SXUSB_STATE_FOUND)
        return aErrNotReady;
    return aErrIO;
}

// Sends the bytes in chunks of at most 50 bytes. A stalled endpoint is cleared and the chunk
// sent again; any other error gets one more try for the part not yet taken. Only failed
// attempts count against the bound, so a long write that goes through is never cut short.
static aErr sWriteLibrary(sxusb* handle, const uint8_t* data, uint32_t count)
{
    if (!handle->use_library)
        return aErrMode;
    const uint32_t state = sState(handle);
    if (state != SXUSB_STATE_OPEN)
        return sStateError(state);

    uint8_t chunk[SXUSB_OUT_CHUNK];
    uint32_t sent = 0;
    int failures = 0;
    bool chunkFailed = false;
    while (sent < count && failures < SXUSB_OUT_MAX_FAILURES) {
        const uint32_t length = (count - sent) < SXUSB_OUT_CHUNK ? (count - sent) : SXUSB_OUT_CHUNK;
        memcpy(chunk, data + sent, length);
        int transferred = 0;
        int r = libusb_bulk_transfer(handle->device, handle->out_endpoint, chunk, (int)length, &transferred,
                                     SXUSB_OUT_TIMEOUT_MS);
        if (r == 0 && transferred > 0) {
            sent += (uint32_t)transferred;
            continue;
        }
        failures++;
        if (r == 0)
            continue;  // nothing taken: try the chunk again
        if (r == LIBUSB_ERROR_NO_DEVICE) {
            sSetGone(handle);
            return aErrConnection;
        }
        if (r == LIBUSB_ERROR_PIPE) {
            const int cleared = libusb_clear_halt(handle->device, handle->out_endpoint);
            if (cleared == 0)
                continue;
            if (cleared == LIBUSB_ERROR_NO_DEVICE) {
                sSetGone(handle);
                return aErrConnection;
            }
            chunkFailed = true;
            break;
        }
        if (transferred < 0 || (uint32_t)transferred > length)
            transferred = 0;
        const int rest = (int)length - transferred;
        int again = 0;
        r = libusb_bulk_transfer(handle->device, handle->out_endpoint, chunk + transferred, rest, &again,
                                 SXUSB_OUT_TIMEOUT_MS);
        if (r == 0 && again == rest) {
            sent += length;
            continue;
        }
        if (r == LIBUSB_ERROR_NO_DEVICE) {
            sSetGone(handle);
            return aErrConnection;
        }
        chunkFailed = true;
        break;
    }
    if (chunkFailed)
        sSetFailed(handle);
    if (sent < count)
        return chunkFailed ? aErrIO : aErrWrite;
    return aErrNone;
}

static aErr sGetLibrary(sxusb* handle, uint8_t* byte)
{
    if (!handle->use_library)
        return aErrMode;
    if (handle->received > 0) {
        *byte = *handle->next++;
        handle->received--;
        return aErrNone;
    }
    const uint32_t state = sState(handle);
    if (state != SXUSB_STATE_OPEN)
        return sStateError(state);

    int transferred = 0;
    int r = libusb_bulk_transfer(handle->device, handle->in_endpoint, handle->receive, SXUSB_IN_SIZE, &transferred,
                                 SXUSB_IN_TIMEOUT_MS);
    // A device that left completes the transfer with "no device" (also when it was cancelled
    // on its time-out meanwhile): that is the end of this handle, not a quiet line.
    if (r == LIBUSB_ERROR_PIPE)
        r = libusb_clear_halt(handle->device, handle->in_endpoint) == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_ERROR_NO_DEVICE
                                                                                              : LIBUSB_ERROR_PIPE;
    if (r == LIBUSB_ERROR_NO_DEVICE) {
        sSetGone(handle);
        return aErrConnection;
    }
    if (r == LIBUSB_ERROR_PIPE)
        return aErrNotReady;
    if (r == LIBUSB_ERROR_TIMEOUT && transferred <= 0)
        return aErrNotReady;
    if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) {
        sSetFailed(handle);
        return aErrIO;
    }
    if (transferred <= 0)
        return aErrNotReady;
    if (transferred > SXUSB_IN_SIZE)
        transferred = SXUSB_IN_SIZE;
    handle->received = (uint32_t)transferred;
    handle->next = handle->receive;
    *byte = *handle->next++;
    handle->received--;
    return aErrNone;
}

static aErr sCloseLibrary(sxusb* handle)
{
    if (!handle->use_library || handle->device == nullptr)
        return aErrMode;
    // Releasing fails for a device that already left; closing the handle is all that is left.
    libusb_release_interface(handle->device, handle->interface_number);
    libusb_close(handle->device);
    handle->device = nullptr;
    handle->state = SXUSB_STATE_CLOSED;
    handle->interface_number = 0;
    handle->out_endpoint = 0;
    handle->in_endpoint = 0;
    handle->received = 0;
    handle->next = handle->receive;
    return aErrNone;
}

// ---------------------------------------------------------------------------------------------
// Kernel driver node path

static aErr sOpenNode(sxusb* handle, const char* serialText)
{
    if (handle->use_library)
        return aErrMode;
    if (handle->node_fd > 0)
        return aErrBusy;  // already open: close it first
    snprintf(handle->serial, sizeof(handle->serial), "%s", serialText);
    char path[16 + SXUSB_SERIAL_TEXT_SIZE];
    snprintf(path, sizeof(path), "/dev/strandix.%s", handle->serial);
    // O_NOCTTY: the node must never become this process's controlling terminal.
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return errno == EBUSY ? aErrBusy : aErrIO;
    if (fd == 0) {
        // 0 stands for "closed" in the record: keep the node on another descriptor.
        int other = fcntl(fd, F_DUPFD, 1);
        close(fd);
        if (other < 0)
            return aErrIO;
        fd = other;
    }
    handle->node_fd = fd;
    return aErrNone;
}

static aErr sGetNode(sxusb* handle, uint8_t* byte)
{
    if (handle->use_library || handle->node_fd <= 0)
        return aErrMode;
    ssize_t n = read(handle->node_fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0)
        return aErrNotReady;
    if (errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    if (errno == ENODEV || errno == ESHUTDOWN)
        return aErrConnection;
    return aErrIO;
}

static aErr sWriteNode(sxusb* handle, const uint8_t* data, uint32_t count)
{
    if (handle->use_library || handle->node_fd <= 0)
        return aErrMode;
    uint32_t sent = 0;
    for (int calls = 0; sent < count && calls < SXUSB_NODE_MAX_WRITES; calls++) {
        ssize_t n = write(handle->node_fd, data + sent, count - sent);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return aErrIO;
        }
        sent += (uint32_t)n;
    }
    return sent < count ? aErrIO : aErrNone;
}

static aErr sCloseNode(sxusb* handle)
{
    if (handle->use_library)
        return aErrMode;
    if (handle->node_fd < 1)
        return aErrNone;
    if (close(handle->node_fd) != 0)
        return aErrCancel;
    handle->node_fd = 0;
    handle->state = SXUSB_STATE_CLOSED;
    return aErrNone;
}

// ---------------------------------------------------------------------------------------------
// Dispatch

aErr sxusb_open_strandix_device(sxusb* handle, const char* serialText)
{
    if (!aVALIDSXUSB(handle) || serialText == nullptr)
        return aErrParam;
    return handle->use_library ? sOpenLibrary(handle, serialText) : sOpenNode(handle, serialText);
}

aErr sxusb_write_to_device(sxusb* handle, const uint8_t* data, uint32_t count)
{
    if (!aVALIDSXUSB(handle) || (data == nullptr && count > 0))
        return aErrParam;
    return handle->use_library ? sWriteLibrary(handle, data, count) : sWriteNode(handle, data, count);
}

aErr sxusb_get_from_device(sxusb* handle, uint8_t* byte)
{
    if (!aVALIDSXUSB(handle) || byte == nullptr)
        return aErrParam;
    return handle->use_library ? sGetLibrary(handle, byte) : sGetNode(handle, byte);
}

aErr sxusb_close_strandix_device(sxusb* handle)
{
    if (!aVALIDSXUSB(handle))
        return aErrParam;
    return handle->use_library ? sCloseLibrary(handle) : sCloseNode(handle);
}

aErr sxusb_wait_for_data(sxusb* handle, uint32_t timeoutMs)
{
    if (!aVALIDSXUSB(handle))
        return aErrParam;
    if (handle->use_library)
        return sState(handle) == SXUSB_STATE_GONE ? aErrConnection : aErrNone;
    if (handle->node_fd <= 0)
        return aErrMode;
    struct pollfd p = {handle->node_fd, POLLIN, 0};
    int n = poll(&p, 1, (int)(timeoutMs > 60000 ? 60000 : timeoutMs));
    if (n < 0)
        return errno == EINTR ? aErrNotReady : aErrIO;
    if (n == 0)
        return aErrNotReady;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // A node that hung up may still hold bytes that arrived before; after those, only
        // the hang-up is left to report.
        int waiting = 0;
        if ((p.revents & POLLIN) && ioctl(handle->node_fd, FIONREAD, &waiting) == 0 && waiting > 0)
            return aErrNone;
        return aErrConnection;
    }
    return (p.revents & POLLIN) ? aErrNone : aErrNotReady;
}
