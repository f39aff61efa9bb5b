// Any datagram on the discovery reply port: decoding never reads past it, refuses what is too
// short to carry a serial number, and fills the specifier only from the datagram's own bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aDiscovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The datagram in a buffer of its own size, so that any over-read is caught.
    uint8_t* datagram = new uint8_t[size > 0 ? size : 1];
    if (size > 0)
        memcpy(datagram, data, size);
    linkSpec spec;
    memset(&spec, 0xA5, sizeof(spec));
    const bool decoded = aDiscovery_DecodeReply(datagram, size, 0x0100007F, &spec);
    if (decoded != (size >= aDISCOVERY_REPLY_MIN_SIZE))
        __builtin_trap();
    if (decoded) {
        if (spec.type != TCPIP || spec.module != datagram[1] || spec.router != spec.module ||
            spec.t.ip.ip_port != (uint32_t)(datagram[2] | (datagram[3] << 8)) ||
            spec.router_serial_number != spec.serial_number || spec.t.ip.ip_address != 0x0100007F)
            __builtin_trap();
        if (spec.model != (size > 12 ? datagram[12] : 0xFFu))
            __builtin_trap();
    }
    delete[] datagram;
    return 0;
}
