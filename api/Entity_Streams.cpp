// EntityClass: the entity's value streams on its module's link.
#include "Entity.h"

namespace Vantorix {
namespace Strandix {

aErr EntityClass::setStreamEnabled(bool enable)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->enableStream(getModule()->getModuleAddress(), getCommand(), 0xFF, getIndex(), enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, const StreamCallback& callback, void* reference)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->registerStreamCallback(getModule()->getModuleAddress(), getCommand(), option, getIndex(), enable,
                                     callback, reference);
}

aErr EntityClass::getStreamStatus(std::map<uint64_t, uint32_t>* status)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->getStreamStatus(getModule()->getModuleAddress(), getCommand(), 0xFF, getIndex(), 0xFF, status);
}

}  // namespace Strandix
}  // namespace Vantorix
