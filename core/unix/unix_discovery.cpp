// Discovery dispatch, the find functions, and address conversion.
#include "aDiscovery.h"

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref)
{
    if (callback == nullptr)
        return 0;
    if (type == USB)
        return aDiscovery_EnumerateUSB(callback, ref);
    if (type == TCPIP)
        return aDiscovery_EnumerateTCPIP(callback, ref);
    return 0;
}

typedef struct sFindRequest {
    linkSpec* result;  // carries the wanted serial number until a match is copied in
    uint32_t serialNumber;
    bool anyNonZero;
} sFindRequest;

static bool sFindCallback(const linkSpec* spec, bool* countIt, void* ref)
{
    sFindRequest* request = (sFindRequest*)ref;
    const bool match = request->anyNonZero ? spec->serial_number != 0 : spec->serial_number == request->serialNumber;
    if (!match)
        return true;
    memcpy(request->result, spec, sizeof(linkSpec));
    *countIt = true;
    return false;
}

static linkSpec* sFind(linkType type, uint32_t serialNumber, bool anyNonZero)
{
    sFindRequest request;
    request.result = aLinkSpec_Create(type);
    if (request.result == nullptr)
        return nullptr;
    request.result->serial_number = serialNumber;
    request.serialNumber = serialNumber;
    request.anyNonZero = anyNonZero;
    if (aDiscovery_EnumerateModules(type, sFindCallback, &request) == 0)
        aLinkSpec_Destroy(&request.result);
    return request.result;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber)
{
    return sFind(type, serialNumber, false);
}

linkSpec* aDiscovery_FindFirstModule(linkType type)
{
    return sFind(type, 0, true);
}

uint32_t SockAddrToUint32(const struct sockaddr* address)
{
    if (address == nullptr || address->sa_family != AF_INET)
        return 0;
    struct sockaddr_in in;
    memcpy(&in, address, sizeof(in));
    return ntohl(in.sin_addr.s_addr);
}
