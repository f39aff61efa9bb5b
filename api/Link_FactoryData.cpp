// Factory-data transfers (command 0x5E).
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"

namespace Vantorix {
namespace Strandix {

namespace {

constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactorySet = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr uint8_t kFactoryError = 0x80;
constexpr size_t kFactorySetChunk = 26;

bool sFactoryFilter(const aPacket* packet, void* ref)
{
    uint8_t operation = (uint8_t)(*static_cast<const uint8_t*>(ref) & 0x0F);
    return aVALIDPACKET(packet) && packet->length >= 2 && packet->data[0] == kCmdFactoryData &&
           (packet->data[1] == operation || packet->data[1] == (operation | kFactoryError));
}

}  // namespace

// Sends one factory-data request (data after the command byte) and awaits its reply.
static aErr sFactoryExchange(Link& link, aLinkId id, uint8_t module, const uint8_t* request, uint8_t length,
                             aPacket** reply)
{
    *reply = nullptr;
    aErr err = link.sendPacket(module, kCmdFactoryData, length, request);
    if (err != aErrNone)
        return err;
    uint8_t operation = request[0];
    *reply = aLink_AwaitFirst(id, sFactoryFilter, &operation, kReplyTimeoutMs);
    return *reply ? aErrNone : aErrTimeout;
}

static aErr sFactoryError(const aPacket* reply)
{
    return reply->length >= 3 ? (aErr)reply->data[2] : aErrUnknown;
}

static aErr sFactoryClose(Link& link, aLinkId id, uint8_t module, size_t total)
{
    uint8_t request[] = {kFactoryClose, (uint8_t)(total >> 8), (uint8_t)total};
    aPacket* reply = nullptr;
    aErr err = sFactoryExchange(link, id, module, request, sizeof(request), &reply);
    if (err != aErrNone)
        return err;
    if ((reply->data[1] & kFactoryError) && reply->length == 3)
        err = (aErr)reply->data[2];
    aPacket_Destroy(&reply);
    return err;
}

aErr Link::getFactoryData(uint8_t module, uint8_t command, uint8_t* buffer, size_t size, size_t* length)
{
    if (!buffer || !length)
        return aErrParam;
    *length = 0;
    size_t total = 0;
    bool first = true;
    for (;;) {
        uint8_t request[] = {(uint8_t)(first ? (command | kFactoryFirst) : command)};
        first = false;
        aPacket* reply = nullptr;
        aErr err = sFactoryExchange(*this, m_impl->linkId, module, request, sizeof(request), &reply);
        if (err != aErrNone)
            return err;
        if (reply->data[1] & kFactoryError) {
            err = sFactoryError(reply);
            aPacket_Destroy(&reply);
            return err;
        }
        size_t n = (size_t)reply->length - 2;
        if (total + n > size) {
            aPacket_Destroy(&reply);
            return aErrOverrun;
        }
        memcpy(buffer + total, reply->data + 2, n);
        total += n;
        bool full = reply->length == aSTRANDIX_MAX_PACKET_BYTES;
        aPacket_Destroy(&reply);
        if (!full)
            break;
        // A full reply means more may follow; the slot is bounded by what a 16-bit length says.
        if (total > 0xFFFF)
            return aErrOverrun;
    }
    aErr err = sFactoryClose(*this, m_impl->linkId, module, total);
    if (err == aErrNone)
        *length = total;
    return err;
}

aErr Link::setFactoryData(uint8_t module, uint8_t command, const uint8_t* data, size_t length)
{
    if (length > 0 && !data)
        return aErrParam;
    if (length > 0xFFFF)
        return aErrSize;
    size_t offset = 0;
    bool first = true;
    do {
        size_t chunk = length - offset < kFactorySetChunk ? length - offset : kFactorySetChunk;
        uint8_t request[1 + kFactorySetChunk];
        request[0] = (uint8_t)(command | kFactorySet | (first ? kFactoryFirst : 0));
        if (chunk > 0)
            memcpy(request + 1, data + offset, chunk);
        first = false;
        aPacket* reply = nullptr;
        aErr err = sFactoryExchange(*this, m_impl->linkId, module, request, (uint8_t)(1 + chunk), &reply);
        if (err != aErrNone)
            return err;
        if (reply->data[1] & kFactoryError)
            err = sFactoryError(reply);
        else if (reply->length != 2)
            err = aErrSize;
        aPacket_Destroy(&reply);
        if (err != aErrNone)
            return err;
        offset += chunk;
    } while (offset < length);
    return sFactoryClose(*this, m_impl->linkId, module, length);
}

}  // namespace Strandix
}  // namespace Vantorix
