// Finding a device by serial number or model, then connecting to it.
#include "Link.h"
#include "LinkImpl.h"
#include "aDiscovery.h"

namespace Vantorix {
namespace Strandix {

namespace {

struct ModelSearch {
    uint8_t model;
    bool found;
    linkSpec spec;
};

bool sFirstOfModel(const linkSpec* spec, bool* countIt, void* ref)
{
    ModelSearch* search = static_cast<ModelSearch*>(ref);
    if (search->model != 0 && (uint8_t)spec->model != search->model)
        return true;
    search->spec = *spec;
    search->found = true;
    *countIt = true;
    return false;
}

}  // namespace

aErr Link::discoverAndConnect(linkType type, unsigned int serial, unsigned char model)
{
    if (serial != 0) {
        linkSpec* found = aDiscovery_FindModule(type, serial);
        if (!found)
            return aErrNotFound;
        aErr err = setLinkSpecifier(*found);
        aLinkSpec_Destroy(&found);
        if (err != aErrNone)
            return err;
        return connect();
    }
    ModelSearch search{model, false, linkSpec{}};
    aDiscovery_EnumerateModules(type, sFirstOfModel, &search);
    if (!search.found)
        return aErrNotFound;
    aErr err = setLinkSpecifier(search.spec);
    if (err != aErrNone)
        return err;
    return connect();
}

}  // namespace Strandix
}  // namespace Vantorix
