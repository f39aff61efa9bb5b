// UEI packet layout: encoding of requests, selection and decoding of replies.
#include "aUEI.h"

#include <cstring>

void aUEI_StoreShort(uint8_t* buffer, uint16_t value)
{
    buffer[0] = (uint8_t)(value >> 8);
    buffer[1] = (uint8_t)value;
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value)
{
    buffer[0] = (uint8_t)(value >> 24);
    buffer[1] = (uint8_t)(value >> 16);
    buffer[2] = (uint8_t)(value >> 8);
    buffer[3] = (uint8_t)value;
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer)
{
    return (uint16_t)((buffer[0] << 8) | buffer[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer)
{
    return ((uint32_t)buffer[0] << 24) | ((uint32_t)buffer[1] << 16) | ((uint32_t)buffer[2] << 8) | buffer[3];
}

void aUEI_ModifyIntBuffer(uint8_t* buffer, size_t words)
{
    if (!buffer)
        return;
    for (size_t i = 0; i < words; i++) {
        uint32_t value = aUEI_RetrieveInt(buffer + 4 * i);
        memcpy(buffer + 4 * i, &value, 4);
    }
}

static aErr sPut(uint8_t address, const uint8_t* data, uint8_t length, aUEIPacketSink sink, void* ref)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
        return aErrResource;
    aErr err = sink ? sink(packet, ref) : aErrParam;
    aPacket_Destroy(&packet);
    return err;
}

// Writes the scalar value of the uei at out; returns the bytes written, or -1 for a type that
// is not a scalar.
static int sStoreScalar(const uei* u, uint8_t* out)
{
    switch (u->type) {
    case ueiTypeVoid:
        return 0;
    case ueiTypeByte:
        out[0] = u->v.byteVal;
        return 1;
    case ueiTypeShort:
        aUEI_StoreShort(out, u->v.shortVal);
        return 2;
    case ueiTypeInt:
        aUEI_StoreInt(out, u->v.intVal);
        return 4;
    default:
        return -1;
    }
}

aErr aUEI_Encode(const uei* u, aUEIPacketSink sink, void* ref)
{
    if (!u || !sink)
        return aErrParam;
    uint8_t data[aSTRANDIX_MAX_PACKET_BYTES];
    data[0] = u->command;
    data[1] = u->option;
    data[2] = u->specifier;
    if (u->type != ueiTypeBytes) {
        int n = sStoreScalar(u, data + aUEI_HEADER_BYTES);
        if (n < 0)
            return aErrParam;
        return sPut(u->module, data, (uint8_t)(aUEI_HEADER_BYTES + n), sink, ref);
    }

    const ueiBytes& run = u->v.bytesVal;
    if (run.length > 0 && !run.data)
        return aErrParam;
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        size_t chunk = run.length - offset;
        if (chunk > aUEI_CHUNK_BYTES)
            chunk = aUEI_CHUNK_BYTES;
        if (chunk > 0)
            memcpy(data + aUEI_HEADER_BYTES, run.data + offset, chunk);
        offset += chunk;
        uint8_t trailer = (uint8_t)(sequence & aUEI_SEQUENCE_MASK);
        if (offset < run.length)
            trailer |= aUEI_MORE_CHUNKS;
        data[aUEI_HEADER_BYTES + chunk] = trailer;
        aErr err = sPut(u->module, data, (uint8_t)(aUEI_HEADER_BYTES + chunk + 1), sink, ref);
        if (err != aErrNone)
            return err;
        sequence++;
    } while (offset < run.length);
    return aErrNone;
}

aErr aUEI_EncodeWithSubIndex(const uei* u, uint8_t subIndex, aUEIPacketSink sink, void* ref)
{
    if (!u || !sink)
        return aErrParam;
    uint8_t data[aSTRANDIX_MAX_PACKET_BYTES];
    data[0] = u->command;
    data[1] = u->option;
    data[2] = u->specifier;
    data[3] = subIndex;
    int n = sStoreScalar(u, data + aUEI_HEADER_BYTES + 1);
    if (n < 0)
        return aErrParam;
    return sPut(u->module, data, (uint8_t)(aUEI_HEADER_BYTES + 1 + n), sink, ref);
}

static bool sHeaderMatches(const aPacket* packet, const uei* u)
{
    return aVALIDPACKET(packet) && u && packet->address == u->module && packet->length >= aUEI_HEADER_BYTES &&
           packet->data[0] == u->command && packet->data[1] == u->option &&
           (packet->data[2] & aUEI_INDEX_MASK) == (u->specifier & aUEI_INDEX_MASK);
}

bool aUEI_Filter(const aPacket* packet, void* ref)
{
    return sHeaderMatches(packet, static_cast<const uei*>(ref));
}

void aUEI_Decode(const aPacket* packet, uei* u)
{
    if (!aVALIDPACKET(packet) || !u || packet->length < aUEI_HEADER_BYTES)
        return;
    if (packet->data[2] & aUEI_ERROR_FLAG) {
        u->specifier = packet->data[2];
        // An error reply without its code byte still counts as an error.
        u->v.byteVal = packet->length > aUEI_HEADER_BYTES ? packet->data[3] : (uint8_t)aErrUnknown;
        u->type = ueiTypeByte;
        return;
    }
    const uint8_t* value = packet->data + aUEI_HEADER_BYTES;
    switch (packet->length) {
    case 3:
        u->type = ueiTypeVoid;
        break;
    case 4:
        u->type = ueiTypeByte;
        u->v.byteVal = value[0];
        break;
    case 5:
        u->type = ueiTypeShort;
        u->v.shortVal = aUEI_RetrieveShort(value);
        break;
    case 7:
        u->type = ueiTypeInt;
        u->v.intVal = aUEI_RetrieveInt(value);
        break;
    default:
        break;
    }
}

bool aUEI_IsError(const uei* u)
{
    return u && (u->specifier & aUEI_ERROR_FLAG) != 0;
}

bool aUEI_BytesFilter(const aPacket* packet, void* ref)
{
    const uei* u = static_cast<const uei*>(ref);
    if (!sHeaderMatches(packet, u))
        return false;
    if (packet->data[2] & aUEI_ERROR_FLAG)
        return true;
    if (packet->length < aUEI_HEADER_BYTES + 1)
        return false;
    uint8_t trailer = packet->data[packet->length - 1];
    return (trailer & aUEI_SEQUENCE_MASK) == (u->v.bytesVal.sequence & aUEI_SEQUENCE_MASK);
}

aErr aUEI_AppendChunk(const aPacket* packet, uei* u, bool* more)
{
    if (!aVALIDPACKET(packet) || !u || !more)
        return aErrParam;
    *more = false;
    if (packet->length >= aUEI_HEADER_BYTES && (packet->data[2] & aUEI_ERROR_FLAG)) {
        u->specifier = packet->data[2];
        return packet->length > aUEI_HEADER_BYTES ? (aErr)packet->data[3] : aErrUnknown;
    }
    if (packet->length < aUEI_HEADER_BYTES + 1)
        return aErrPacket;
    ueiBytes& run = u->v.bytesVal;
    size_t count = (size_t)packet->length - aUEI_HEADER_BYTES - 1;
    if (count > 0) {
        if (!run.data || run.length + count > run.size)
            return aErrMemory;
        memcpy(run.data + run.length, packet->data + aUEI_HEADER_BYTES, count);
        run.length += count;
    }
    uint8_t trailer = packet->data[packet->length - 1];
    *more = (trailer & aUEI_MORE_CHUNKS) != 0;
    if (*more)
        run.sequence = (uint8_t)(((trailer & aUEI_SEQUENCE_MASK) + 1) & aUEI_SEQUENCE_MASK);
    return aErrNone;
}

bool aUEI_MatchFilter(const aPacket* packet, void* ref)
{
    const aUEIMatch* match = static_cast<const aUEIMatch*>(ref);
    if (!aVALIDPACKET(packet) || !match)
        return false;
    if (packet->length < match->count)
        return false;
    return match->count == 0 || memcmp(packet->data, match->bytes, match->count) == 0;
}
