#include "SimUsbWire.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SimDevice.h"

SimUsbWireBackend::SimUsbWireBackend()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    hostEnd_ = fds[0];
    deviceEnd_ = fds[1];
    fcntl(hostEnd_, F_SETFL, fcntl(hostEnd_, F_GETFL) | O_NONBLOCK);
}

SimUsbWireBackend::~SimUsbWireBackend()
{
    if (hostEnd_ >= 0)
        close(hostEnd_);
    if (deviceEnd_ >= 0)
        close(deviceEnd_);
}

bool SimUsbWireBackend::Attach(SimDevice& device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (deviceEnd_ < 0)
        return false;
    bool ok = device.AttachFd(deviceEnd_);
    if (ok)
        deviceEnd_ = -1;  // the device owns it now
    return ok;
}

void SimUsbWireBackend::FromHost(const uint8_t* data, size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t sent = 0;
    // A device that stopped reading cannot hold up the bus for long.
    for (int waits = 0; sent < count && hostEnd_ >= 0 && waits < 100;) {
        ssize_t n = send(hostEnd_, data + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        struct pollfd p = {hostEnd_, POLLOUT, 0};
        poll(&p, 1, 10);
        waits++;
    }
}

size_t SimUsbWireBackend::ToHost(uint8_t* data, size_t max)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (hostEnd_ < 0 || max == 0)
        return 0;
    ssize_t n = recv(hostEnd_, data, max, MSG_DONTWAIT);
    return n > 0 ? (size_t)n : 0;
}

void SimUsbWireBackend::Plugged(bool plugged)
{
    if (!plugged)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    uint8_t drain[256];
    for (int i = 0; hostEnd_ >= 0 && i < 4096; i++) {
        if (recv(hostEnd_, drain, sizeof(drain), MSG_DONTWAIT) <= 0)
            break;
    }
}
