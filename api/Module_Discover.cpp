// Connecting a Module to a device found by discovery.
#include "Module.h"

namespace Vantorix {
namespace Strandix {

aErr Module::connect(linkType type, unsigned int serial)
{
    if (serial == 0)
        return aErrParam;
    return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, unsigned int serial)
{
    if (!ensureLink())
        return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serial, m_model);
    if (err == aErrNone)
        autoNetwork();
    return err;
}

}  // namespace Strandix
}  // namespace Vantorix
