// Packet records and the byte-by-byte assembly rules of the wire format.
#include "aPacket.h"

#include <cstdlib>
#include <cstring>

aPacket* aPacket_Create(void)
{
    aPacket* packet = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
    if (packet)
        packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_Create();
    if (!packet)
        return nullptr;
    if (length > aSTRANDIX_MAX_PACKET_BYTES)
        length = aSTRANDIX_MAX_PACKET_BYTES;
    packet->address = address;
    packet->length = length;
    if (data && length > 0)
        memcpy(packet->data, data, length);
    packet->byteCount = (uint8_t)(length + 2);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return nullptr;
    return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    packet->byteCount = 0;
    packet->address = 0;
    packet->length = 0;
    memset(packet->data, 0, sizeof(packet->data));
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    if (packet->byteCount >= aPACKET_MAX_WIRE_BYTES) {
        // Saturate rather than wrap, so a stream of bytes without a reset keeps failing.
        packet->byteCount = aPACKET_MAX_WIRE_BYTES + 1;
        return aErrOverrun;
    }
    packet->byteCount++;
    if (packet->address == 0) {
        // Odd addresses are link control, sent only from host to device.
        if (byte == 0 || (byte & 1))
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->length == 0) {
        packet->length = byte;
        return byte > aSTRANDIX_MAX_PACKET_BYTES ? aErrPacket : aErrNone;
    }
    if (packet->byteCount <= packet->length + 2) {
        packet->data[packet->byteCount - 3] = byte;
        return aErrNone;
    }
    return aErrPacket;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->byteCount == packet->length + 2;
}

static aErr sField(const aPacket* packet, uint8_t* out, uint8_t minLength, uint8_t index, uint8_t mask)
{
    if (!out)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->length < minLength)
        return aErrPacket;
    *out = packet->data[index] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd)
{
    return sField(packet, cmd, 1, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option)
{
    return sField(packet, option, 2, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index)
{
    return sField(packet, index, 3, 2, 0x1F);
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (!packet || !*packet)
        return aErrParam;
    (*packet)->check = 0;
    free(*packet);
    *packet = nullptr;
    return aErrNone;
}
