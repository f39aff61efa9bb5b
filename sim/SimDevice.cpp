// The simulated device's wire side: transports, framing, sync, heartbeats and fault switches.
#include "SimDevice.h"

#include "aTime.h"
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const size_t kMaxReceivedLog = 1 << 20;
const int kTickMs = 10;
const uint8_t kSyncAddress = 0xAD;
const uint8_t kControlAddress = 0xAF;
const int kSyncRequestPackets = 6;

}  // namespace

SimPacket SimPacket::Make(uint8_t address, std::initializer_list<uint8_t> bytes)
{
    SimPacket p;
    p.address = address;
    for (uint8_t b : bytes)
        if (p.length < sizeof(p.data))
            p.data[p.length++] = b;
    return p;
}

std::vector<uint8_t> SimPacket::Wire() const
{
    std::vector<uint8_t> wire(2u + length);
    wire[0] = address;
    wire[1] = length;
    for (uint8_t i = 0; i < length; i++)
        wire[2u + i] = data[i];
    return wire;
}

SimDevice::SimDevice(const SimDeviceConfig& config, SimDeviceLogic* logic) : config_(config), logic_(logic)
{
}

SimDevice::~SimDevice()
{
    Stop();
    if (listenFd_ >= 0)
        close(listenFd_);
    if (connFd_ >= 0)
        close(connFd_);
    if (ptySlaveKeep_ >= 0)
        close(ptySlaveKeep_);
    for (int fd : wakePipe_)
        if (fd >= 0)
            close(fd);
}

bool SimDevice::ListenTcp(uint16_t port, bool anyAddress)
{
    anyAddress_ = anyAddress;
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0)
        return false;
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(anyAddress ? INADDR_ANY : INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    return true;
}

bool SimDevice::OpenPty()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master)) {
        close(master);
        return false;
    }
    ptyPath_ = ptsname(master);
    // Hold the line open (a master whose slave has no opener reports a hang-up) and make it
    // raw until the host applies its own settings.
    ptySlaveKeep_ = open(ptyPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptySlaveKeep_ >= 0) {
        struct termios t;
        if (tcgetattr(ptySlaveKeep_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(ptySlaveKeep_, TCSANOW, &t);
        }
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    connFd_ = master;
    fixedConnection_ = true;
    return true;
}

bool SimDevice::AttachFd(int fd)
{
    if (fd < 0)
        return false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    connFd_ = fd;
    fixedConnection_ = true;
    return true;
}

bool SimDevice::Start()
{
    if (thread_.joinable() || (listenFd_ < 0 && connFd_ < 0))
        return false;
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
        stopRequested_ = false;
        lastActivityMs_ = (int64_t)aTime_MonoMS();
        if (connFd_ >= 0)
            stats_.connections++;
    }
    nextHeartbeatMs_ = (int64_t)aTime_MonoMS() + config_.heartbeatMs;
    thread_ = std::thread(&SimDevice::Run, this);
    return true;
}

void SimDevice::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    Wake();
    if (thread_.joinable())
        thread_.join();
}

bool SimDevice::Running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void SimDevice::Wake()
{
    if (wakePipe_[1] >= 0) {
        uint8_t b = 1;
        ssize_t n = write(wakePipe_[1], &b, 1);
        (void)n;
    }
}

void SimDevice::Touch()
{
    lastActivityMs_ = (int64_t)aTime_MonoMS();
}

void SimDevice::Enqueue(std::vector<uint8_t> bytes, bool delayed)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int64_t due = (int64_t)aTime_MonoMS() + (delayed ? config_.replyDelayMs : 0);
        // Keep the order of the wire even when the delay changes.
        if (!outgoing_.empty() && outgoing_.back().dueMs > due)
            due = outgoing_.back().dueMs;
        outgoing_.push_back({due, std::move(bytes)});
        Touch();
    }
    Wake();
}

void SimDevice::Send(const SimPacket& packet)
{
    Enqueue(packet.Wire(), true);
}

void SimDevice::SendBytes(const std::vector<uint8_t>& bytes)
{
    Enqueue(bytes, true);
}

void SimDevice::SendHeartbeat()
{
    std::vector<uint8_t> wire;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (heartbeatOutstanding_)
            stats_.missedHeartbeats++;
        heartbeatValue_ = nextHeartbeat_;
        nextHeartbeat_ ^= 1;
        heartbeatOutstanding_ = true;
        stats_.heartbeatsSent++;
        wire = {config_.moduleAddress, 2, 0x00, heartbeatValue_};
    }
    Enqueue(std::move(wire), false);
}

void SimDevice::InjectFramingByte(uint8_t byte)
{
    Enqueue({byte}, false);
}

void SimDevice::SetReplyDelay(int ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.replyDelayMs = ms;
}

void SimDevice::DropConnection()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropRequested_ = true;
    }
    Wake();
}

void SimDevice::GoAway(int ms)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        awayRequested_ = true;
        awayMs_ = ms;
    }
    Wake();
}

bool SimDevice::Away() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return away_ || awayRequested_;
}

void SimDevice::SetSyncReply(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    syncReply_ = bytes;
}

SimDeviceStats SimDevice::Stats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

std::vector<uint8_t> SimDevice::Received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void SimDevice::ClearReceived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

bool SimDevice::WaitFor(const std::function<bool(const SimDeviceStats&)>& pred, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(stats_) || !running_; }) &&
           pred(stats_);
}

void SimDevice::CloseConnection()
{
    if (connFd_ < 0)
        return;
    if (!fixedConnection_) {
        struct linger reset = {1, 0};  // the host sees the connection reset
        setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
    close(connFd_);
    connFd_ = -1;
    assembled_ = 0;
    syncRun_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outgoing_.clear();
        heartbeatOutstanding_ = false;
    }
    if (logic_)
        logic_->OnDisconnect(*this);
}

void SimDevice::AcceptConnection()
{
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    CloseConnection();  // a host that reconnects replaces its old connection
    connFd_ = fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.connections++;
        Touch();
    }
    changed_.notify_all();
    nextHeartbeatMs_ = (int64_t)aTime_MonoMS() + config_.heartbeatMs;
    if (logic_)
        logic_->OnConnect(*this);
}

void SimDevice::ReadConnection()
{
    uint8_t buffer[512];
    ssize_t n = read(connFd_, buffer, sizeof(buffer));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        // The host went away. A pseudo-terminal stays up for its next opener.
        if (ptySlaveKeep_ < 0)
            CloseConnection();
        return;
    }
    if (n < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.bytesReceived += (uint64_t)n;
        for (ssize_t i = 0; i < n && received_.size() < kMaxReceivedLog; i++)
            received_.push_back(buffer[i]);
        Touch();
    }
    for (ssize_t i = 0; i < n; i++)
        Feed(buffer[i]);
    changed_.notify_all();
}

// Device-side framing: an address byte (even, or a link-control address), a length byte of at
// most 28, then the data. A byte that cannot start a packet is skipped, which also brings a
// device that lost the frame back in step with the host's sync request.
void SimDevice::Feed(uint8_t byte)
{
    if (assembled_ == 0) {
        bool control = byte == kSyncAddress || byte == kControlAddress;
        if (byte == 0 || ((byte & 1) && !control)) {
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.skippedBytes++;
            return;
        }
        assembling_ = SimPacket();
        assembling_.address = byte;
        assembled_ = 1;
        return;
    }
    if (assembled_ == 1) {
        if (byte > sizeof(assembling_.data)) {
            assembled_ = 0;
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.skippedBytes += 2;
            return;
        }
        assembling_.length = byte;
        assembled_ = 2;
    } else {
        assembling_.data[assembled_ - 2] = byte;
        assembled_++;
    }
    if (assembled_ == assembling_.length + 2) {
        assembled_ = 0;
        HandlePacket(assembling_);
    }
}

void SimDevice::HandlePacket(const SimPacket& packet)
{
    if (packet.address == kSyncAddress && packet.length == 0) {
        // Six per request; answer the first of each group.
        if (syncRun_++ % kSyncRequestPackets == 0) {
            std::vector<uint8_t> reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stats_.syncRequests++;
                reply = syncReply_;
            }
            if (reply.empty())
                reply = {config_.moduleAddress, 0, config_.moduleAddress, 0};
            Enqueue(reply, true);
        }
        return;
    }
    syncRun_ = 0;
    if (packet.address == kControlAddress && packet.length == 1) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (packet.data[0] == 1)
                stats_.linkOpens++;
            else
                stats_.linkCloses++;
        }
        if (logic_)
            packet.data[0] == 1 ? logic_->OnLinkOpen(*this) : logic_->OnLinkClose(*this);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (heartbeatOutstanding_ && packet.address == config_.moduleAddress && packet.length == 2 &&
            packet.data[0] == 0) {
            heartbeatOutstanding_ = false;
            if (packet.data[1] == (uint8_t)(heartbeatValue_ + 2))
                stats_.heartbeatAnswers++;
            else
                stats_.badHeartbeatAnswers++;
            return;
        }
        stats_.packetsToLogic++;
    }
    if (logic_)
        logic_->OnPacket(*this, packet);
}

void SimDevice::FlushDue(int64_t now)
{
    for (;;) {
        std::vector<uint8_t> bytes;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (outgoing_.empty() || outgoing_.front().dueMs > now)
                return;
            bytes = std::move(outgoing_.front().bytes);
            outgoing_.pop_front();
        }
        if (connFd_ < 0)
            continue;  // nobody to hear it
        size_t done = 0;
        int64_t giveUp = (int64_t)aTime_MonoMS() + 1000;
        while (done < bytes.size() && (int64_t)aTime_MonoMS() < giveUp) {
            ssize_t n = write(connFd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += (size_t)n;
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                struct pollfd p = {connFd_, POLLOUT, 0};
                poll(&p, 1, 10);
            } else {
                break;
            }
        }
    }
}

void SimDevice::Run()
{
    for (;;) {
        int64_t now = (int64_t)aTime_MonoMS();
        bool drop = false;
        bool goAway = false;
        int64_t nextDue = now + kTickMs;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopRequested_)
                break;
            if (now - lastActivityMs_ > config_.idleTimeoutMs)
                break;
            drop = dropRequested_;
            dropRequested_ = false;
            goAway = awayRequested_;
            awayRequested_ = false;
            if (goAway && !fixedConnection_) {
                away_ = true;
                awayUntilMs_ = awayMs_ < 0 ? INT64_MAX : now + awayMs_;
            }
            if (!outgoing_.empty() && outgoing_.front().dueMs < nextDue)
                nextDue = outgoing_.front().dueMs;
        }
        if (drop || goAway)
            CloseConnection();
        if (goAway && !fixedConnection_ && listenFd_ >= 0) {
            close(listenFd_);
            listenFd_ = -1;
        }
        if (away_ && now >= awayUntilMs_ && ListenTcp(port_, anyAddress_)) {
            std::lock_guard<std::mutex> lock(mutex_);
            away_ = false;
            Touch();
        }
        if (config_.heartbeatMs > 0 && connFd_ >= 0 && now >= nextHeartbeatMs_) {
            nextHeartbeatMs_ = now + config_.heartbeatMs;
            SendHeartbeat();
        }
        FlushDue(now);

        struct pollfd fds[3];
        int count = 0;
        fds[count++] = {wakePipe_[0], POLLIN, 0};
        int listenAt = -1, connAt = -1;
        if (listenFd_ >= 0) {
            listenAt = count;
            fds[count++] = {listenFd_, POLLIN, 0};
        }
        if (connFd_ >= 0) {
            connAt = count;
            fds[count++] = {connFd_, POLLIN, 0};
        }
        int wait = (int)(nextDue > now ? nextDue - now : 0);
        if (poll(fds, count, wait) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint8_t drain[64];
            while (read(wakePipe_[0], drain, sizeof(drain)) > 0) {
            }
        }
        if (listenAt >= 0 && (fds[listenAt].revents & POLLIN))
            AcceptConnection();
        if (connAt >= 0 && connFd_ >= 0 && (fds[connAt].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (ptySlaveKeep_ >= 0 && !(fds[connAt].revents & POLLIN)) {
                // Only a hang-up of a pseudo-terminal: wait for the next opener.
            } else {
                ReadConnection();
            }
        }
        if (logic_)
            logic_->OnTick(*this);
    }
    CloseConnection();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    changed_.notify_all();
}
