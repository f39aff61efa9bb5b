// Link exchanges: UEI requests and replies, command packets and the module-address query.
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "aPacketFifo.h"

namespace Vantorix {
namespace Strandix {

aErr Link::checkExchange(uint8_t module) const
{
    if (!isConnected())
        return aErrConnection;
    if (module == 0 || (module & 1))
        return aErrPacket;
    return aErrNone;
}

static aErr sPutOnLink(const aPacket* packet, void* ref)
{
    return aLink_PutPacket(*static_cast<const aLinkId*>(ref), packet);
}

// Sets the header that a reply to module, command, option and index must carry.
static void sExpectReply(uei* reply, uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    reply->module = module;
    reply->command = command;
    reply->option = option;
    reply->specifier = index;
}

aErr Link::sendUEI(const uei& request)
{
    aErr err = checkExchange(request.module);
    if (err != aErrNone)
        return err;
    aLinkId id = m_impl->linkId;
    return aUEI_Encode(&request, sPutOnLink, &id);
}

aErr Link::sendUEI(const uei& request, uint8_t subIndex)
{
    aErr err = checkExchange(request.module);
    if (err != aErrNone)
        return err;
    aLinkId id = m_impl->linkId;
    return aUEI_EncodeWithSubIndex(&request, subIndex, sPutOnLink, &id);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply)
{
    aErr err = reply ? checkExchange(module) : aErrParam;
    if (err != aErrNone)
        return err;
    sExpectReply(reply, module, command, option, index);
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, aUEI_Filter, reply, kReplyTimeoutMs);
    if (!packet)
        return aErrTimeout;
    aUEI_Decode(packet, reply);
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::receiveUEIBytes(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply)
{
    aErr err = reply ? checkExchange(module) : aErrParam;
    if (err != aErrNone)
        return err;
    sExpectReply(reply, module, command, option, index);
    reply->type = ueiTypeBytes;
    reply->v.bytesVal.length = 0;
    reply->v.bytesVal.sequence = 0;
    // At most one reply per sequence number before the run must have ended.
    for (int chunk = 0; chunk <= aUEI_SEQUENCE_MASK; chunk++) {
        aPacket* packet = aLink_AwaitFirst(m_impl->linkId, aUEI_BytesFilter, reply, kReplyTimeoutMs);
        if (!packet)
            return aErrTimeout;
        bool more = false;
        err = aUEI_AppendChunk(packet, reply, &more);
        aPacket_Destroy(&packet);
        if (err != aErrNone || !more)
            return err;
    }
    return aErrOverrun;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    aErr err = checkExchange(module);
    if (err != aErrNone)
        return err;
    uei header{};
    header.module = module;
    header.command = command;
    header.option = option;
    header.specifier = index;
    aLink_DrainPackets(m_impl->linkId, aUEI_Filter, &header);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data)
{
    aErr err = checkExchange(module);
    if (err != aErrNone)
        return err;
    if (length >= aSTRANDIX_MAX_PACKET_BYTES)
        return aErrParam;
    if (length > 0 && !data)
        return aErrParam;
    uint8_t bytes[aSTRANDIX_MAX_PACKET_BYTES];
    bytes[0] = command;
    if (length > 0)
        memcpy(bytes + 1, data, length);
    aPacket* packet = aPacket_CreateWithData(module, (uint8_t)(length + 1), bytes);
    if (!packet)
        return aErrResource;
    err = aLink_PutPacket(m_impl->linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data)
{
    return receivePacket(module, match, length, data, kReplyTimeoutMs);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data, uint32_t timeoutMs)
{
    aErr err = checkExchange(module);
    if (err != aErrNone)
        return err;
    if (!length || !data || (*length > 0 && !match) || *length > aSTRANDIX_MAX_PACKET_BYTES)
        return aErrParam;
    aUEIMatch filter{match, *length};
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, aUEI_MatchFilter, &filter, timeoutMs);
    if (!packet)
        return aErrTimeout;
    *length = packet->length;
    memcpy(data, packet->data, packet->length);
    aPacket_Destroy(&packet);
    return aErrNone;
}

static bool sEmptyPacket(const aPacket* packet, void*)
{
    return aVALIDPACKET(packet) && packet->length == 0;
}

aErr Link::getModuleAddress(unsigned char* address)
{
    if (!address)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    // A device may answer with more than one empty packet: drop what an earlier query left, so
    // that it does not pile up in the input.
    aLink_DrainPackets(m_impl->linkId, sEmptyPacket, nullptr);
    aPacket* query = aPacket_CreateWithData(aLINK_SYNC_ADDRESS, 0, nullptr);
    if (!query)
        return aErrNotReady;
    aErr err = aLink_PutPacket(m_impl->linkId, query);
    aPacket_Destroy(&query);
    if (err != aErrNone)
        return aErrNotReady;
    aPacket* reply = aLink_AwaitFirst(m_impl->linkId, sEmptyPacket, nullptr, kReplyTimeoutMs);
    if (!reply)
        return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

}  // namespace Strandix
}  // namespace Vantorix
