// The private part of a Link, shared by the files that implement its exchanges.
#ifndef SX_API_LINKIMPL_H
#define SX_API_LINKIMPL_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "Link.h"
#include "aLogger.h"

namespace Vantorix {
namespace Strandix {

struct StreamEntry {
    uint32_t value = 0;
    bool fresh = false;
};

struct Link::impl {
    Link* owner = nullptr;
    aLinkId linkId = 0;
    aLoggerRef packetLogger = nullptr;
    std::mutex streamMutex;
    std::map<uint64_t, StreamEntry> streamEntries;  // guarded by streamMutex
    bool streamFilterInstalled = false;
    std::string name;
    linkSpec* specifier = nullptr;
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
