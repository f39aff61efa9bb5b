// Access to one USB device of the family: through the family's kernel driver node
// ("/dev/strandix.%08X") when it exists, else through libusb-1.0 (the vendor-specific link
// interface and its two bulk endpoints).
#ifndef SX_SXUSB_DRIVER_H
#define SX_SXUSB_DRIVER_H

#include <cstdint>
#include <libusb.h>

#include "aDefs.h"

#define SXUSB_VENDOR_ID 0x24FF
#define SXUSB_INTERFACE_CLASS 0xFF
#define SXUSB_INTERFACE_SUBCLASS 0x88
#define SXUSB_INTERFACE_PROTOCOL 0x10

#define SXUSB_NODE_FORMAT "/dev/strandix.%08X"
#define SXUSB_SERIAL_TEXT_SIZE 52
#define SXUSB_OUT_CHUNK 50          // bytes per bulk OUT transfer
#define SXUSB_OUT_TIMEOUT_MS 50
#define SXUSB_OUT_MAX_FAILURES 100  // failed transfer attempts allowed in one write
#define SXUSB_IN_SIZE 800           // bytes asked for per bulk IN transfer
#define SXUSB_IN_TIMEOUT_MS 100
#define SXUSB_NODE_MAX_WRITES 1000

#define SXUSB_CHECK 0xC5B0

typedef enum {
    SXUSB_STATE_UNINITIALISED = 0,
    SXUSB_STATE_CREATED = 1,
    SXUSB_STATE_CLOSED = 2,
    SXUSB_STATE_FOUND = 3,
    SXUSB_STATE_OPEN = 4,
    SXUSB_STATE_FAILED = 5,
    SXUSB_STATE_GONE = 6  // the device left the bus: only a new open reaches it again
} sxusb_state;

typedef struct sxusb {
    uint32_t use_library;  // 1: libusb; 0: kernel driver node
    char serial[SXUSB_SERIAL_TEXT_SIZE];
    int node_fd;  // 0 when closed
    libusb_context* context;
    libusb_device_handle* device;
    uint32_t state;
    uint8_t interface_number;
    uint8_t out_endpoint;
    uint8_t in_endpoint;
    uint8_t receive[SXUSB_IN_SIZE];
    uint32_t received;  // bytes of receive not yet handed out
    uint8_t* next;      // next byte to hand out
    uint16_t check;
} sxusb;

#define aVALIDSXUSB(h) ((h) != nullptr && (h)->check == SXUSB_CHECK)

// True for a device of the family: vendor 0x24FF and a product ID below 0x8000.
bool is_strandix_device(libusb_device* device);
// Finds the link interface (class 0xFF, subclass 0x88, protocol 0x10) in configuration 0 and its
// two bulk endpoints; aErrConfiguration when the interface or either direction is missing.
aErr find_usb_endpoints(sxusb* handle, libusb_device* device);

bool sxusb_is_kernel_driver_installed(uint32_t serialNumber);
sxusb* sxusb_create_usb(uint32_t useLibrary);
aErr sxusb_destroy(sxusb** handle);
aErr sxusb_open_strandix_device(sxusb* handle, const char* serialText);
// Writes and gets report a device that left the bus as aErrConnection (from then on, until the
// handle is closed and opened again); a get with nothing to hand out yet is aErrNotReady.
aErr sxusb_write_to_device(sxusb* handle, const uint8_t* data, uint32_t count);
aErr sxusb_get_from_device(sxusb* handle, uint8_t* byte);
aErr sxusb_close_strandix_device(sxusb* handle);
// Waits up to timeoutMs until a get may deliver a byte: aErrNone when it is worth calling,
// aErrNotReady when nothing came, aErrConnection when the node has hung up. On the libusb path
// a get waits for its IN transfer itself, so this returns at once: aErrNone, or aErrConnection
// once the device has left the bus.
aErr sxusb_wait_for_data(sxusb* handle, uint32_t timeoutMs);

#endif
