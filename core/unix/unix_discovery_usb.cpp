// Discovery of the family's devices on USB.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <libusb.h>

#include "aDiscovery.h"
#include "sxusb_driver.h"

#define sSERIAL_TEXT_SIZE 32
#define sSERIAL_TEXT_LENGTH 8

// Reads the device's serial number from its serial-number string: exactly eight hexadecimal
// digits.
static bool sReadSerial(libusb_device_handle* handle, const struct libusb_device_descriptor* descriptor,
                        uint32_t* serialNumber)
{
    unsigned char text[sSERIAL_TEXT_SIZE];
    memset(text, 0, sizeof(text));
    int length = libusb_get_string_descriptor_ascii(handle, descriptor->iSerialNumber, text, sizeof(text));
    if (length != sSERIAL_TEXT_LENGTH)
        return false;
    text[sSERIAL_TEXT_LENGTH] = 0;
    for (int i = 0; i < sSERIAL_TEXT_LENGTH; i++) {
        if (!isxdigit(text[i]))
            return false;
    }
    *serialNumber = (uint32_t)strtoul((const char*)text, nullptr, 16);
    return true;
}

uint32_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref)
{
    if (callback == nullptr)
        return 0;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0)
        return 0;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    uint32_t counted = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; i++) {
        libusb_device* device = list[i];
        if (!is_strandix_device(device))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != 0)
            continue;
        struct libusb_device_descriptor descriptor;
        uint32_t serialNumber = 0;
        if (libusb_get_device_descriptor(device, &descriptor) == 0 && sReadSerial(handle, &descriptor, &serialNumber)) {
            linkSpec* spec = aLinkSpec_Create(USB);
            if (spec != nullptr) {
                spec->serial_number = serialNumber;
                spec->model = descriptor.idProduct & 0xFF;
                spec->t.usb.usb_id = serialNumber;
                bool countIt = false;
                goOn = callback(spec, &countIt, ref);
                if (countIt)
                    counted++;
                aLinkSpec_Destroy(&spec);
            }
        }
        libusb_close(handle);
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(context);
    return counted;
}
