// Stream samples from a device: the input is a run of packets (address byte, length byte, then
// up to 28 data bytes), each decoded as a sample and offered to a link's stream filter whose map
// holds exact and wildcard registrations, so that the filter's look-ups and the entries it adds
// see device-made bytes.
#include <cstddef>
#include <cstdint>

#include "LinkStreams.h"

using namespace Vantorix::Strandix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One map for the whole run, afresh with every input. No worker runs, so the filter looks up
    // and stores but queues no calls (the queue never sees device bytes, only copies of them).
    static LinkStreams streams;
    streams.clear();
    StreamCallback callback = [](const aPacket* packet, void*) { return packet->length ? aErrNone : aErrParam; };
    streams.setEntry(Link::createStreamKey(4, 0x0A, 0xFF, 1, 0xFF), callback, nullptr);
    streams.setEntry(Link::createStreamKey(4, 0xFF, 0xFF, 0xFF, 0xFF), callback, nullptr);
    streams.setEntry(Link::createStreamKey(4, 0x0A, 3, 1, 0), StreamCallback(), nullptr);
    size_t at = 0;
    while (at + 2 <= size) {
        uint8_t address = data[at++];
        uint8_t length = (uint8_t)(data[at++] % (aSTRANDIX_MAX_PACKET_BYTES + 1));
        if (length > size - at)
            length = (uint8_t)(size - at);
        aPacket* packet = aPacket_CreateWithData(address, length, data + at);
        at += length;
        if (!packet)
            break;
        uint64_t stamp = 0;
        uint32_t value = 0;
        uint8_t subIndex = 0;
        uint8_t type = 0;
        Link::getStreamPacketType(packet, &type);
        Link::isStreamSample(packet);
        Link::getStreamSample(packet, &stamp, &value, &subIndex);
        LinkStreams::linkStreamFilter(packet, &streams);
        aPacket_Destroy(&packet);
    }
    uint32_t out = 0;
    streams.value(Link::createStreamKey(4, 0x0A, 3, 1, 0), &out);
    std::map<uint64_t, uint32_t> status;
    streams.status(4, 0xFF, 0xFF, 0xFF, 0xFF, &status);
    return 0;
}
