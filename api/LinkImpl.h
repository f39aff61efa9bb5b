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
    LinkStreams streams;
    std::string name;
    linkSpec* specifier = nullptr;

    // Installs the stream filter on the engine link (starting the worker first) or removes it
    // (clearing the stream map and stopping the worker). aErrConfiguration without an engine
    // link; else the engine's result.
    aErr installStreamFilter(bool on);
    // After the engine link was reset: puts back a filter that was installed.
    void reinstallStreamFilter();
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
