// Link value streams: registration with the device, the stream filter's installation, and the
// streamed values.
#include "Link.h"
#include "LinkImpl.h"

namespace Vantorix {
namespace Strandix {

aErr Link::impl::installStreamFilter(bool on)
{
    if (linkId == 0)
        return aErrConfiguration;
    if (on) {
        aErr err = streams.startWorker();
        if (err != aErrNone)
            return err;
        err = aLink_InstallUserPacketFilter(linkId, LinkStreams::linkStreamFilter, &streams);
        if (err == aErrNone)
            streams.filterInstalled = true;
        else if (!streams.filterInstalled)
            streams.stopWorker();
        return err;
    }
    aErr err = aErrNone;
    // Only a filter of our own is removed: another Link may share the engine link.
    if (streams.filterInstalled)
        err = aLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
    // Once the engine has let go of the filter (or the engine link is gone), nothing feeds the
    // queue any more, so the worker can be stopped and its queue released.
    streams.filterInstalled = false;
    streams.clear();
    streams.stopWorker();
    return err;
}

void Link::impl::reinstallStreamFilter()
{
    if (linkId != 0 && streams.filterInstalled)
        aLink_InstallUserPacketFilter(linkId, LinkStreams::linkStreamFilter, &streams);
}

// Removes the entries a failed registration made or left, and the filter with the last one.
static void sUndoRegistration(Link::impl* impl, uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (impl->streams.removeMatching(module, command, option, index, kStreamWildcard) && impl->streams.filterInstalled)
        impl->installStreamFilter(false);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  const StreamCallback& callback, void* reference)
{
    if ((module & 1) || module == kStreamWildcard)
        return aErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, kStreamWildcard);

    bool empty = false;
    if (enable)
        m_impl->streams.setEntry(key, callback, reference);
    else
        empty = m_impl->streams.removeMatching(module, command, option, index, kStreamWildcard);
    // The map's mutex is not held here: the engine calls the filter, which takes it, with its
    // own filter lock held.
    aErr err = m_impl->installStreamFilter(!empty);
    if (err != aErrNone) {
        if (enable)
            sUndoRegistration(m_impl, module, command, option, index);
        return err;
    }

    const uint8_t streamOption = enable ? kStreamOptionEnable : kStreamOptionDisable;
    uei request{};
    request.module = module;
    request.command = kCmdStream;
    request.option = (uint8_t)(streamOption | aUEI_SET);
    request.specifier = aUEI_INDEX_FLAG;
    request.type = ueiTypeInt;
    request.v.intVal = (uint32_t)key;
    err = sendUEI(request);
    if (err == aErrNone) {
        uei reply{};
        err = receiveUEI(module, kCmdStream, (uint8_t)(streamOption | aUEI_SET_REPLY), 0, &reply);
        if (err == aErrNone && aUEI_IsError(&reply))
            err = (aErr)reply.v.byteVal;
    }
    if (err != aErrNone)
        sUndoRegistration(m_impl, module, command, option, index);
    return err;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming)
{
    if (!streaming)
        return aErrParam;
    uei request{};
    request.module = module;
    request.command = kCmdStream;
    request.option = (uint8_t)(kStreamOptionEnable | aUEI_GET);
    request.specifier = aUEI_INDEX_FLAG;
    request.type = ueiTypeVoid;
    aErr err = sendUEI(request);
    if (err != aErrNone)
        return err;
    uei reply{};
    err = receiveUEI(module, kCmdStream, kStreamOptionEnable, 0, &reply);
    if (err != aErrNone)
        return err;
    if (aUEI_IsError(&reply))
        return (aErr)reply.v.byteVal;
    if (reply.type != ueiTypeByte)
        return aErrSize;
    *streaming = reply.v.byteVal;
    return aErrNone;
}

aErr Link::getStreamValue(uint64_t key, uint32_t* value)
{
    return m_impl->streams.value(key, value);
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex,
                          uint32_t* value)
{
    return m_impl->streams.value(createStreamKey(module, command, option, index, subIndex), value);
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex,
                           std::map<uint64_t, uint32_t>* status)
{
    if (!status)
        return aErrParam;
    status->clear();
    m_impl->streams.status(module, command, option, index, subIndex, status);
    return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subIndex)
{
    // The map's mutex is private to the link, so a caller's walk always takes it.
    return m_impl->streams.filterActiveStreamKeys(module, command, option, index, subIndex, true);
}

uint64_t Link::droppedStreamCalls() const
{
    return m_impl->streams.droppedCalls();
}

}  // namespace Strandix
}  // namespace Vantorix
