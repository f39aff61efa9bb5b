// The USB byte stream over the USB driver (kernel node or libusb), and the engine's USB links.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "aLink.h"
#include "aStream.h"
#include "sxusb_driver.h"

typedef struct aUnixUSBStream {
    uint32_t serialNumber;
    sxusb* usb;
    uint16_t check;
} aUnixUSBStream;

#define aVALIDUSBSTREAM(s) ((s) != nullptr && (s)->check == aUSBSTREAM_CHECK && (s)->usb != nullptr)

static aErr sUSBGet(uint8_t* byte, void* ref)
{
    aUnixUSBStream* s = (aUnixUSBStream*)ref;
    if (!aVALIDUSBSTREAM(s))
        return aErrParam;
    return sxusb_get_from_device(s->usb, byte);
}

static aErr sUSBPut(const uint8_t* byte, void* ref)
{
    aUnixUSBStream* s = (aUnixUSBStream*)ref;
    if (!aVALIDUSBSTREAM(s))
        return aErrParam;
    return sxusb_write_to_device(s->usb, byte, 1);
}

static aErr sUSBWrite(const uint8_t* bytes, size_t count, void* ref)
{
    aUnixUSBStream* s = (aUnixUSBStream*)ref;
    if (!aVALIDUSBSTREAM(s))
        return aErrParam;
    if (count > UINT32_MAX)
        return aErrParam;
    return sxusb_write_to_device(s->usb, bytes, (uint32_t)count);
}

static aErr sUSBWait(uint32_t timeoutMs, void* ref)
{
    aUnixUSBStream* s = (aUnixUSBStream*)ref;
    if (!aVALIDUSBSTREAM(s))
        return aErrParam;
    return sxusb_wait_for_data(s->usb, timeoutMs);
}

// Closes the device and always releases the handle and the record, so a device that fails to
// close leaves nothing behind; the close error is still reported.
static aErr sUSBDelete(void* ref)
{
    aUnixUSBStream* s = (aUnixUSBStream*)ref;
    if (!aVALIDUSBSTREAM(s))
        return aErrParam;
    aErr err = sxusb_close_strandix_device(s->usb);
    sxusb_destroy(&s->usb);
    s->check = 0;
    s->serialNumber = 0;
    free(s);
    return err;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** out)
{
    if (out == nullptr || serialNumber == 0)
        return aErrParam;
    *out = nullptr;
    aUnixUSBStream* s = (aUnixUSBStream*)calloc(1, sizeof(aUnixUSBStream));
    if (s == nullptr)
        return aErrMemory;
    s->serialNumber = serialNumber;
    const bool node = sxusb_is_kernel_driver_installed(serialNumber);
    s->usb = sxusb_create_usb(node ? 0 : 1);
    if (s->usb == nullptr) {
        free(s);
        return aErrResource;
    }
    char text[16];
    snprintf(text, sizeof(text), "%08X", serialNumber);
    aErr err = sxusb_open_strandix_device(s->usb, text);
    if (err != aErrNone) {
        sxusb_destroy(&s->usb);
        free(s);
        return err;
    }
    s->check = aUSBSTREAM_CHECK;
    aStream* stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s);
    if (stream == nullptr) {
        sUSBDelete(s);
        return aErrMemory;
    }
    aStream_SetWaitProc(stream, sUSBWait);
    *out = stream;
    return aErrNone;
}

static aErr sOpenUSB(uint32_t serialNumber, uint32_t /*port*/, aStream** out)
{
    return aStream_CreateUSB(serialNumber, out);
}

aLinkId aLink_CreateUSB(uint32_t serialNumber)
{
    if (serialNumber == 0)
        return 0;
    // A USB link needs its device now: no stream, no link.
    return aLink_CreateShared(serialNumber, 0, USB, sOpenUSB, true);
}
