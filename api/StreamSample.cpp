// Stream keys and the recognition and decoding of stream sample packets.
//
// Stream packet data: command (not 8), option (bits 6 and 7 clear), index | 0x40, sample type,
// then the sample (a subindex byte for types 5 to 7, the time stamp as two big-endian 32-bit
// words, high word first, and the big-endian value) and a trailer byte as in UEI byte runs.
#include "Link.h"

namespace Vantorix {
namespace Strandix {

namespace {

const uint8_t kStreamFlag = 0x40;
const uint8_t kNotStreamCommand = 8;
const uint8_t kStreamMinLength = 5;

// Data bytes of a complete single sample, by type (index 0 unused; type 4 is never one).
const uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};

uint8_t sTrailer(const aPacket* packet)
{
    return packet->data[packet->length - 1];
}

uint32_t sValueBytes(uint8_t type)
{
    switch (type) {
    case kStreamTypeByte:
    case kStreamTypeSubByte:
        return 1;
    case kStreamTypeShort:
    case kStreamTypeSubShort:
        return 2;
    default:
        return 4;
    }
}

}  // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex)
{
    return ((uint64_t)subIndex << 32) | ((uint64_t)module << 24) | ((uint64_t)command << 16) |
           ((uint64_t)option << 8) | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, int element)
{
    switch (element) {
    case STREAM_KEY_MODULE:
        return (uint8_t)(key >> 24);
    case STREAM_KEY_COMMAND:
        return (uint8_t)(key >> 16);
    case STREAM_KEY_OPTION:
        return (uint8_t)(key >> 8);
    case STREAM_KEY_INDEX:
        return (uint8_t)key;
    case STREAM_KEY_SUBINDEX:
        return (uint8_t)(key >> 32);
    default:
        return 0;
    }
}

bool Link::isStreamPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->length >= kStreamMinLength && packet->length <= aSTRANDIX_MAX_PACKET_BYTES &&
           packet->data[0] != kNotStreamCommand && (packet->data[1] & 0xC0) == 0 && (packet->data[2] & kStreamFlag) != 0;
}

bool Link::getStreamPacketType(const aPacket* packet, uint8_t* type)
{
    uint8_t found = 0;
    if (isStreamPacket(packet)) {
        if (sTrailer(packet) != 0)
            found = kStreamTypeBytes;
        else if (packet->data[3] >= kStreamTypeByte && packet->data[3] <= kStreamTypeSubInt)
            found = packet->data[3];
    }
    if (type)
        *type = found;
    return found != 0;
}

bool Link::isSubindexType(uint8_t type)
{
    return type >= kStreamTypeSubByte && type <= kStreamTypeSubInt;
}

bool Link::isStreamSample(const aPacket* packet)
{
    uint8_t type = 0;
    if (!getStreamPacketType(packet, &type) || type == kStreamTypeBytes)
        return false;
    return sTrailer(packet) == 0 && packet->length == kSampleLength[type];
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subIndex)
{
    uint8_t type = 0;
    if (!getStreamPacketType(packet, &type))
        return aErrPacket;
    if (type == kStreamTypeBytes)
        return aErrSize;
    if (!isStreamSample(packet))
        return aErrPacket;
    const bool withSubIndex = isSubindexType(type);
    const uint8_t o = withSubIndex ? 5 : 4;
    const uint8_t* d = packet->data;
    if (subIndex)
        *subIndex = withSubIndex ? d[4] : 0;
    if (timestamp)
        *timestamp = ((uint64_t)aUEI_RetrieveInt(d + o) << 32) | aUEI_RetrieveInt(d + o + 4);
    if (value) {
        const uint8_t* v = d + o + 8;
        switch (sValueBytes(type)) {
        case 1:
            *value = v[0];
            break;
        case 2:
            *value = aUEI_RetrieveShort(v);
            break;
        default:
            *value = aUEI_RetrieveInt(v);
            break;
        }
    }
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low)
{
    if (high)
        *high = (uint32_t)(timestamp >> 32);
    if (low)
        *low = (uint32_t)timestamp;
}

}  // namespace Strandix
}  // namespace Vantorix
