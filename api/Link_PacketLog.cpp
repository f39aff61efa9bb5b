// The packet log of a link, written to a text file by a logger thread: one line per packet,
// "length > bytes" for packets sent to the device, "length < bytes" for packets received.
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "aPacketLog.h"
#include "aTime.h"

namespace Vantorix {
namespace Strandix {

namespace {

constexpr uint32_t kRecordCapacity = 64;
constexpr uint32_t kIdleSleepMs = 5;

void sDrainPacketLog(aFileRef file, uint32_t parameter)
{
    uint8_t buffer[kRecordCapacity];
    uint32_t tag = 0;
    uint32_t length = sizeof(buffer);
    if (aLink_PacketDebug_Read((aLinkId)parameter, &tag, &length, buffer) != aErrNone || length == 0) {
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
    if (!m_impl->packetLogger) {
        m_impl->packetLogger = aLogger_Create(m_impl->linkId, sDrainPacketLog, path);
        if (!m_impl->packetLogger)
            return aErrResource;
    }
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
    return err;
}

}  // namespace Strandix
}  // namespace Vantorix
