// Bytes off a device link: packet assembly as the link reader does it (reset after each
// complete packet and after each framing error), and the record reader of byte streams.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aPacket.h"
#include "aStream.h"

namespace {

struct Bytes {
    const uint8_t* data;
    size_t size;
    size_t at;
};

aErr sGet(uint8_t* byte, void* ref)
{
    Bytes* b = static_cast<Bytes*>(ref);
    if (b->at >= b->size)
        return aErrEOF;
    // Every byte of value 0xFE stands for a pause in the data.
    if (b->data[b->at] == 0xFE) {
        b->at++;
        return aErrNotReady;
    }
    *byte = b->data[b->at++];
    return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    aPacket* packet = aPacket_Create();
    for (size_t i = 0; i < size; i++) {
        aErr err = aPacket_AddByte(packet, data[i]);
        if (err != aErrNone || aPacket_IsComplete(packet)) {
            if (err == aErrNone && (packet->length > aSTRANDIX_MAX_PACKET_BYTES || packet->address == 0 ||
                                    (packet->address & 1)))
                __builtin_trap();
            aPacket_Reset(packet);
        }
    }
    aPacket_Destroy(&packet);

    if (size < 2)
        return 0;
    Bytes bytes = {data + 2, size - 2, 0};
    aStream* stream = aStream_Create(sGet, nullptr, nullptr, nullptr, &bytes);
    const uint8_t terminator[2] = {data[0], data[1]};
    size_t terminatorLength = (data[0] & 1) + 1;
    uint8_t record[64];
    for (int round = 0; round < 256; round++) {
        size_t length = 0;
        aErr err = aStream_ReadRecord(stream, record, &length, 1 + data[1] % sizeof(record), terminator,
                                      terminatorLength);
        if (length > sizeof(record))
            __builtin_trap();
        if (err == aErrEOF)
            break;
    }
    aStream_Destroy(&stream);
    return 0;
}
