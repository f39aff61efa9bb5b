// The private part of a Link, shared by the files that implement its exchanges.
#ifndef SX_API_LINKIMPL_H
#define SX_API_LINKIMPL_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "Link.h"
#include "LinkStreams.h"
#include "aLogger.h"

namespace Vantorix {
namespace Strandix {

struct Link::impl {
    Link* owner = nullptr;
    aLinkId linkId = 0;
    aLoggerRef packetLogger = nullptr;
    // The logger drains the packet log of whatever engine link the Link has now: it knows the
    // link by this key (see Link_PacketLog.cpp), which connect points at each new engine link.
    uint32_t packetLogKey = 0;
    bool packetLogOn = false;
    LinkStreams streams;
    std::string name;
    linkSpec* specifier = nullptr;

    // Installs the stream filter on the engine link (starting the worker first) or removes it
    // (clearing the stream map and stopping the worker). aErrConfiguration without an engine
    // link; else the engine's result.
    aErr installStreamFilter(bool on);
    // After the engine link was reset: puts back a filter that was installed.
    void reinstallStreamFilter();
    // After a new engine link was made: the packet log, when on, follows it.
    void followPacketLog();
    // The Link goes: its logger and key go too.
    void dropPacketLog();
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
