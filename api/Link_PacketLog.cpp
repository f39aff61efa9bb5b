// The packet log of a link, written to a text file by a logger thread: one line per packet,
// "length > bytes" for packets sent to the device, "length < bytes" for packets received.
#include <cstring>
#include <map>
#include <mutex>

#include "Link.h"
#include "LinkImpl.h"
#include "aPacketLog.h"
#include "aTime.h"

namespace Vantorix {
namespace Strandix {

namespace {

constexpr uint32_t kRecordCapacity = 64;
constexpr uint32_t kIdleSleepMs = 5;

// Logger key -> the engine link whose packet log the logger drains now. A reconnection makes a
// new engine link; the key stays.
std::mutex sLogLinksLock;
std::map<uint32_t, aLinkId> sLogLinks;
uint32_t sNextLogKey = 1;

aLinkId sLogLink(uint32_t key)
{
    std::lock_guard<std::mutex> lock(sLogLinksLock);
    auto it = sLogLinks.find(key);
    return it == sLogLinks.end() ? 0 : it->second;
}

void sSetLogLink(uint32_t key, aLinkId id)
{
    std::lock_guard<std::mutex> lock(sLogLinksLock);
    sLogLinks[key] = id;
}

void sDrainPacketLog(aFileRef file, uint32_t parameter)
{
    uint8_t buffer[kRecordCapacity];
    uint32_t tag = 0;
    uint32_t length = sizeof(buffer);
    if (aLink_PacketDebug_Read(sLogLink(parameter), &tag, &length, buffer) != aErrNone || length == 0) {
        aTime_MSSleep(kIdleSleepMs);
        return;
    }
    if (length > sizeof(buffer))
        length = sizeof(buffer);
    aFile_Printf(file, "%d %s ", (int)length, tag == aPACKETLOG_SENT ? ">" : "<");
    for (uint32_t i = 0; i < length; i++) {
        if (tag == aPACKETLOG_MARKER)
            aFile_Printf(file, "%c", buffer[i] ? (char)buffer[i] : ' ');
        else
            aFile_Printf(file, "0x%X ", buffer[i]);
    }
    aFile_Printf(file, "\r\n");
}

}  // namespace

aErr Link::enablePacketLog(const char* path)
{
    if (m_impl->linkId == 0)
        return aErrConfiguration;
    if (!path || !*path)
        return aErrParam;
    aErr err = aLink_PacketDebug_Enable(m_impl->linkId);
    if (err != aErrNone)
        return err;
    if (m_impl->packetLogKey == 0) {
        std::lock_guard<std::mutex> lock(sLogLinksLock);
        m_impl->packetLogKey = sNextLogKey++;
    }
    sSetLogLink(m_impl->packetLogKey, m_impl->linkId);
    if (!m_impl->packetLogger) {
        m_impl->packetLogger = aLogger_Create(m_impl->packetLogKey, sDrainPacketLog, path);
        if (!m_impl->packetLogger)
            return aErrResource;
    }
    m_impl->packetLogOn = true;
    err = aLogger_Enable(m_impl->packetLogger);
    if (err != aErrNone)
        return err;
    static const uint8_t kStart[] = "START";
    return aLink_PacketDebug_Write(m_impl->linkId, aPACKETLOG_MARKER, sizeof(kStart), kStart);
}

aErr Link::disablePacketLog()
{
    if (m_impl->linkId == 0)
        return aErrConfiguration;
    aErr err = aLink_PacketDebug_Disable(m_impl->linkId);
    if (m_impl->packetLogger)
        aLogger_Disable(m_impl->packetLogger);
    m_impl->packetLogOn = false;
    return err;
}

void Link::impl::followPacketLog()
{
    if (!packetLogOn || linkId == 0)
        return;
    sSetLogLink(packetLogKey, linkId);
    if (aLink_PacketDebug_Enable(linkId) == aErrNone && packetLogger)
        aLogger_Enable(packetLogger);
}

void Link::impl::dropPacketLog()
{
    if (packetLogger)
        aLogger_Destroy(&packetLogger);
    if (packetLogKey != 0) {
        std::lock_guard<std::mutex> lock(sLogLinksLock);
        sLogLinks.erase(packetLogKey);
    }
    packetLogKey = 0;
    packetLogOn = false;
}

}  // namespace Strandix
}  // namespace Vantorix
