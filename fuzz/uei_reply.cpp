// Replies from a device: the input is a run of packets (length byte, then up to 28 data bytes),
// each offered to the UEI reply filters and decoders as a byte-run receive and a plain reply.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t buffer[40];
    uei run{};
    run.module = 2;
    run.command = 3;
    run.option = 0x20;
    run.specifier = 0;
    run.type = ueiTypeBytes;
    run.v.bytesVal.data = buffer;
    run.v.bytesVal.size = sizeof(buffer);
    size_t at = 0;
    while (at < size) {
        uint8_t length = (uint8_t)(data[at++] % (aSTRANDIX_MAX_PACKET_BYTES + 1));
        if (length > size - at)
            length = (uint8_t)(size - at);
        aPacket* packet = aPacket_CreateWithData(2, length, data + at);
        at += length;
        if (!packet)
            return 0;
        uei plain{};
        plain.module = 2;
        plain.command = length > 0 ? packet->data[0] : 0;
        plain.option = length > 1 ? packet->data[1] : 0;
        if (aUEI_Filter(packet, &plain))
            aUEI_Decode(packet, &plain);
        if (aUEI_BytesFilter(packet, &run)) {
            bool more = false;
            aErr err = aUEI_AppendChunk(packet, &run, &more);
            if (err != aErrNone || !more) {
                run.v.bytesVal.length = 0;
                run.v.bytesVal.sequence = 0;
            }
        }
        uint8_t prefix[2] = {3, 0x20};
        aUEIMatch match{prefix, 2};
        (void)aUEI_MatchFilter(packet, &match);
        aPacket_Destroy(&packet);
    }
    return 0;
}
