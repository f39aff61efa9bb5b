// Store-slot transfers (command 4): capacity and size queries, open, read, write and close.
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"

namespace Vantorix {
namespace Strandix {

namespace {

enum : uint8_t {
    slotCapacity = 1,
    slotSize = 2,
    slotOpenRead = 3,
    slotOpenWrite = 4,
    slotRead = 6,
    slotWrite = 7,
    slotClose = 8,
};
constexpr uint8_t kSlotErrorFlag = 0x80;
constexpr uint8_t kNoHandle = 255;
constexpr size_t kSlotWriteChunk = 25;

struct SlotReply {
    uint8_t operation;
    uint8_t store;  // operations 1 to 4
    uint8_t slot;
    uint8_t handle;  // operations 5 to 8
};

bool sSlotFilter(const aPacket* packet, void* ref)
{
    const SlotReply* want = static_cast<const SlotReply*>(ref);
    if (!aVALIDPACKET(packet) || packet->length < 4 || packet->data[0] != kCmdStoreSlot)
        return false;
    if ((packet->data[1] & ~kSlotErrorFlag) != want->operation)
        return false;
    if (want->operation <= slotOpenWrite)
        return packet->data[2] == want->store && packet->data[3] == want->slot;
    return packet->data[2] == want->handle;
}

bool sIsError(const aPacket* packet)
{
    return (packet->data[1] & kSlotErrorFlag) != 0;
}

}  // namespace

// Sends one slot request and awaits its reply (released by the caller).
static aErr sSlotExchange(Link& link, aLinkId id, uint8_t module, const uint8_t* request, uint8_t length,
                          SlotReply want, uint32_t timeoutMs, aPacket** reply)
{
    *reply = nullptr;
    aErr err = link.sendPacket(module, kCmdStoreSlot, length, request);
    if (err != aErrNone)
        return err;
    *reply = aLink_AwaitFirst(id, sSlotFilter, &want, timeoutMs);
    return *reply ? aErrNone : aErrTimeout;
}

static aErr sSlotQuery(Link& link, aLinkId id, uint8_t module, uint8_t operation, uint8_t store, uint8_t slot,
                       size_t* out)
{
    if (!out)
        return aErrParam;
    *out = 0;
    uint8_t request[] = {operation, store, slot};
    aPacket* reply = nullptr;
    aErr err = sSlotExchange(link, id, module, request, sizeof(request), SlotReply{operation, store, slot, 0},
                             kReplyTimeoutMs, &reply);
    if (err != aErrNone)
        return err;
    if (sIsError(reply))
        err = reply->length >= 5 ? (aErr)reply->data[4] : aErrUnknown;
    else if (reply->length == 6)
        *out = ((size_t)reply->data[4] << 8) | reply->data[5];
    else
        err = aErrUnknown;
    aPacket_Destroy(&reply);
    return err;
}

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity)
{
    return sSlotQuery(*this, m_impl->linkId, module, slotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size)
{
    return sSlotQuery(*this, m_impl->linkId, module, slotSize, store, slot, size);
}

static aErr sSlotOpen(Link& link, aLinkId id, uint8_t module, uint8_t operation, uint8_t store, uint8_t slot,
                      uint8_t* handle)
{
    *handle = kNoHandle;
    uint8_t request[] = {operation, store, slot};
    aPacket* reply = nullptr;
    aErr err = sSlotExchange(link, id, module, request, sizeof(request), SlotReply{operation, store, slot, 0},
                             kSlotOpenTimeoutMs, &reply);
    if (err != aErrNone)
        return err;
    if (reply->length < 5)
        err = aErrUnknown;
    else if (sIsError(reply))
        err = (aErr)reply->data[4];
    else
        *handle = reply->data[4];
    aPacket_Destroy(&reply);
    if (err == aErrNone && *handle == kNoHandle)
        err = aErrMedia;
    return err;
}

static aErr sSlotClose(Link& link, aLinkId id, uint8_t module, uint8_t handle)
{
    uint8_t request[] = {slotClose, handle};
    aPacket* reply = nullptr;
    aErr err = sSlotExchange(link, id, module, request, sizeof(request), SlotReply{slotClose, 0, 0, handle},
                             kReplyTimeoutMs, &reply);
    if (err != aErrNone)
        return err;
    if (sIsError(reply))
        err = (aErr)reply->data[3];
    else if (reply->length != 4)
        err = aErrIO;
    aPacket_Destroy(&reply);
    return err;
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length)
{
    if (length > 0 && !data)
        return aErrParam;
    uint8_t handle = kNoHandle;
    aErr err = sSlotOpen(*this, m_impl->linkId, module, slotOpenWrite, store, slot, &handle);
    if (err != aErrNone)
        return err;
    for (size_t offset = 0; offset < length && err == aErrNone;) {
        size_t chunk = length - offset < kSlotWriteChunk ? length - offset : kSlotWriteChunk;
        uint8_t request[2 + kSlotWriteChunk];
        request[0] = slotWrite;
        request[1] = handle;
        memcpy(request + 2, data + offset, chunk);
        uint8_t sum = 0;
        for (size_t i = 0; i < chunk; i++)
            sum = (uint8_t)(sum + data[offset + i]);
        aPacket* reply = nullptr;
        err = sSlotExchange(*this, m_impl->linkId, module, request, (uint8_t)(2 + chunk),
                            SlotReply{slotWrite, 0, 0, handle}, kReplyTimeoutMs, &reply);
        if (err != aErrNone)
            break;
        if (sIsError(reply))
            err = (aErr)reply->data[3];
        else if (reply->length != 4 || reply->data[3] != sum)
            err = aErrIO;
        aPacket_Destroy(&reply);
        offset += chunk;
    }
    if (err != aErrNone) {
        // Release the handle on the device; the first failure is what the caller learns.
        sSlotClose(*this, m_impl->linkId, module, handle);
        return err;
    }
    return sSlotClose(*this, m_impl->linkId, module, handle);
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t size,
                           size_t* length)
{
    if (!length || (size > 0 && !buffer))
        return aErrParam;
    *length = 0;
    size_t slotBytes = 0;
    aErr err = storeSlotSize(module, store, slot, &slotBytes);
    if (err != aErrNone)
        return err;
    uint8_t handle = kNoHandle;
    err = sSlotOpen(*this, m_impl->linkId, module, slotOpenRead, store, slot, &handle);
    if (err != aErrNone)
        return err;
    const size_t wanted = slotBytes < size ? slotBytes : size;
    size_t got = 0;
    while (got < wanted && err == aErrNone) {
        uint8_t request[] = {slotRead, handle};
        aPacket* reply = nullptr;
        err = sSlotExchange(*this, m_impl->linkId, module, request, sizeof(request), SlotReply{slotRead, 0, 0, handle},
                            kReplyTimeoutMs, &reply);
        if (err != aErrNone)
            break;
        if (sIsError(reply)) {
            err = (aErr)reply->data[3];
        } else if (reply->length <= 3) {
            err = aErrUnknown;
        } else {
            size_t n = (size_t)reply->length - 3;
            if (n > wanted - got)
                n = wanted - got;
            memcpy(buffer + got, reply->data + 3, n);
            got += n;
        }
        aPacket_Destroy(&reply);
    }
    aErr closed = sSlotClose(*this, m_impl->linkId, module, handle);
    if (err == aErrNone)
        err = closed;
    *length = got;
    if (err == aErrNone && size < slotBytes)
        err = aErrOverrun;
    return err;
}

}  // namespace Strandix
}  // namespace Vantorix
