// Discovery of devices on the local IPv4 networks: a request multicast from every interface,
// replies collected until the network has been quiet for 2 s.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "aDiscovery.h"
#include "aTime.h"

bool aDiscovery_DecodeReply(const uint8_t* datagram, size_t length, uint32_t senderAddress, linkSpec* spec)
{
    if (datagram == nullptr || spec == nullptr || length < aDISCOVERY_REPLY_MIN_SIZE)
        return false;
    const uint8_t* s = datagram + aDISCOVERY_REPLY_SERIAL_LE;
    const uint32_t serialNumber = (uint32_t)s[0] | ((uint32_t)s[1] << 8) | ((uint32_t)s[2] << 16) | ((uint32_t)s[3] << 24);
    const uint8_t* p = datagram + aDISCOVERY_REPLY_PORT_LE;
    memset(spec, 0, sizeof(linkSpec));
    spec->type = TCPIP;
    spec->serial_number = serialNumber;
    spec->router_serial_number = serialNumber;
    spec->module = datagram[aDISCOVERY_REPLY_MODULE];
    spec->router = datagram[aDISCOVERY_REPLY_MODULE];
    spec->model = length > aDISCOVERY_REPLY_MODEL ? datagram[aDISCOVERY_REPLY_MODEL] : 0xFF;
    spec->t.ip.ip_address = senderAddress;
    spec->t.ip.ip_port = (uint32_t)p[0] | ((uint32_t)p[1] << 8);
    return true;
}

static int sListener(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    struct sockaddr_in any;
    memset(&any, 0, sizeof(any));
    any.sin_family = AF_INET;
    any.sin_port = htons(aDISCOVERY_REPLY_PORT);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    struct timeval wait = {aDISCOVERY_REPLY_WAIT_MS / 1000, (aDISCOVERY_REPLY_WAIT_MS % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(fd, (struct sockaddr*)&any, sizeof(any)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request out of the interface with that address (network byte order; INADDR_ANY
// for the default interface).
static bool sSendRequest(in_addr_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    struct in_addr interface;
    interface.s_addr = interfaceAddress;
    struct sockaddr_in group;
    memset(&group, 0, sizeof(group));
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
    uint8_t request[aDISCOVERY_DATAGRAM_SIZE];
    memset(request, 0, sizeof(request));
    request[0] = aDISCOVERY_REQUEST_BYTE;
    bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof(interface)) == 0 &&
                sendto(fd, request, sizeof(request), 0, (struct sockaddr*)&group, sizeof(group)) == (ssize_t)sizeof(request);
    close(fd);
    return sent;
}

static bool sSendRequests(void)
{
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return sSendRequest(htonl(INADDR_ANY));
    bool sent = false;
    for (struct ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        const uint32_t address = SockAddrToUint32(i->ifa_addr);
        if (address == 0 || address == INADDR_LOOPBACK)
            continue;
        if (sSendRequest(htonl(address)))
            sent = true;
    }
    freeifaddrs(interfaces);
    return sent;
}

// Every enumeration listens on the one reply port, where the kernel hands a unicast reply to a
// single socket: two at once in this process would take each other's replies. So they take
// turns (threads updating several devices each seek their own device again).
static pthread_mutex_t sEnumerationLock = PTHREAD_MUTEX_INITIALIZER;

struct sEnumerationTurn {
    sEnumerationTurn() { pthread_mutex_lock(&sEnumerationLock); }
    ~sEnumerationTurn() { pthread_mutex_unlock(&sEnumerationLock); }
};

uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref)
{
    if (callback == nullptr)
        return 0;
    sEnumerationTurn turn;
    int listener = sListener();
    if (listener < 0)
        return 0;
    uint32_t counted = 0;
    if (sSendRequests()) {
        const uint64_t end = aTime_MonoMS() + aDISCOVERY_MAX_MS;
        bool goOn = true;
        while (goOn && aTime_MonoMS() < end) {
            uint8_t reply[aDISCOVERY_DATAGRAM_SIZE];
            memset(reply, 0, sizeof(reply));
            struct sockaddr_in from;
            socklen_t fromLength = sizeof(from);
            ssize_t n = recvfrom(listener, reply, sizeof(reply), 0, (struct sockaddr*)&from, &fromLength);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;  // 2 s of silence (or the socket failed)
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (spec == nullptr)
                break;
            if (aDiscovery_DecodeReply(reply, (size_t)n, from.sin_addr.s_addr, spec)) {
                bool countIt = false;
                goOn = callback(spec, &countIt, ref);
                if (countIt)
                    counted++;
            }
            aLinkSpec_Destroy(&spec);
        }
    }
    close(listener);
    return counted;
}
