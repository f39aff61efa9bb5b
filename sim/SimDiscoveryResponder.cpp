#include "SimDiscoveryResponder.h"

#include "aTime.h"
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const char* const kGroup = "232.2.2.2";
const uint16_t kRequestPort = 9888;
const uint16_t kReplyPort = 9889;

}  // namespace

SimDiscoveryResponder::SimDiscoveryResponder(const SimDiscoveryConfig& config) : config_(config) {}

SimDiscoveryResponder::~SimDiscoveryResponder()
{
    Stop();
}

std::vector<uint8_t> SimDiscoveryResponder::EncodeReply(const SimDiscoveryConfig& config)
{
    if (!config.rawReply.empty())
        return config.rawReply;
    std::vector<uint8_t> reply(16, 0);
    reply[1] = config.moduleAddress;
    reply[2] = (uint8_t)(config.port & 0xFF);
    reply[3] = (uint8_t)(config.port >> 8);
    for (int i = 0; i < 4; i++)
        reply[4 + i] = (uint8_t)(config.serialNumber >> (8 * i));
    reply[12] = config.model;
    return reply;
}

bool SimDiscoveryResponder::Start()
{
    if (thread_.joinable())
        return false;
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    int on = 1;
    struct sockaddr_in any;
    memset(&any, 0, sizeof(any));
    any.sin_family = AF_INET;
    any.sin_port = htons(kRequestPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    struct ip_mreq membership;
    memset(&membership, 0, sizeof(membership));
    inet_pton(AF_INET, kGroup, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    // Several simulated devices may listen side by side.
    if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(fd_, (struct sockaddr*)&any, sizeof(any)) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    stop_ = false;
    running_ = true;
    thread_ = std::thread(&SimDiscoveryResponder::Run, this);
    return true;
}

void SimDiscoveryResponder::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    running_ = false;
}

void SimDiscoveryResponder::Run()
{
    int64_t lastActivity = (int64_t)aTime_MonoMS();
    while (!stop_ && (int64_t)aTime_MonoMS() - lastActivity < config_.idleTimeoutMs) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        uint8_t request[64];
        struct sockaddr_in from;
        socklen_t fromLength = sizeof(from);
        ssize_t n = recvfrom(fd_, request, sizeof(request), MSG_DONTWAIT, (struct sockaddr*)&from, &fromLength);
        if (n < 1 || request[0] != 0x01)
            continue;
        lastActivity = (int64_t)aTime_MonoMS();
        requests_++;
        if (silent_)
            continue;
        SimDiscoveryConfig current = config_;
        if (serialNumber_ != 0)
            current.serialNumber = serialNumber_;
        const std::vector<uint8_t> reply = EncodeReply(current);
        from.sin_port = htons(kReplyPort);
        sendto(fd_, reply.data(), reply.size(), 0, (struct sockaddr*)&from, sizeof(from));
    }
    running_ = false;
}
