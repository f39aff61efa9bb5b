#include "Serial_SDPLoader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "Log.h"
#include "aTime.h"

struct PrivateSerial_SDPLoader {
    int fd = 0;
    std::string port;
    struct termios settings;
    int64_t wireFreeAtUs = 0;  // when the bytes written so far have left the line
};

namespace {

// Appends what the port holds now; false when the line is gone.
bool sTakeAvailable(int fd, std::vector<uint8_t>& data)
{
    uint8_t buffer[256];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0) {
            data.insert(data.end(), buffer, buffer + n);
            continue;
        }
        return n == 0 || errno == EAGAIN || errno == EINTR;
    }
}

// Waits up to the given microseconds for bytes to read; false when the line is gone.
bool sWaitReadable(int fd, int64_t us)
{
    if (us <= 0)
        return true;
    struct pollfd pfd = {fd, POLLIN, 0};
    int n = poll(&pfd, 1, (int)((us + 999) / 1000));
    return !(n > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(pfd.revents & POLLIN));
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& port) : p(new PrivateSerial_SDPLoader)
{
    p->port = port;
    memset(&p->settings, 0, sizeof(p->settings));
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (p->fd > 0) {
        tcflush(p->fd, TCIOFLUSH);
        close(p->fd);
    }
    delete p;
}

bool Serial_SDPLoader::init()
{
    if (p->fd > 0)
        return true;
    int fd = open(p->port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Log::log(DEBUG_iMXSerial, "Cannot open [%s]: %s\n", p->port.c_str(), strerror(errno));
        return false;
    }
    if (!isatty(fd)) {
        Log::log(DEBUG_iMXSerial, "[%s] is not a serial port\n", p->port.c_str());
        close(fd);
        return false;
    }
    struct termios& t = p->settings;
    memset(&t, 0, sizeof(t));
    t.c_cflag = CLOCAL | CREAD | CS8;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        Log::log(DEBUG_iMXSerial, "Cannot set up [%s]: %s\n", p->port.c_str(), strerror(errno));
        close(fd);
        return false;
    }
    p->fd = fd;
    // Drop whatever is still on its way (an answer to an earlier client, noise while the port
    // came up): the line counts as settled once nothing has come for a moment.
    tcflush(fd, TCIOFLUSH);
    int64_t start = (int64_t)aTime_MonoUS(), quietSince = start;
    std::vector<uint8_t> dropped;
    for (;;) {
        int64_t now = (int64_t)aTime_MonoUS();
        if (now - quietSince >= (int64_t)QUIET_MS * 1000 || now - start >= (int64_t)SETTLE_LIMIT_MS * 1000)
            break;
        int64_t left = (int64_t)SETTLE_LIMIT_MS * 1000 - (now - start);
        int64_t quietLeft = (int64_t)QUIET_MS * 1000 - (now - quietSince);
        if (!sWaitReadable(fd, quietLeft < left ? quietLeft : left))
            break;
        size_t before = dropped.size();
        sTakeAvailable(fd, dropped);
        if (dropped.size() > before)
            quietSince = (int64_t)aTime_MonoUS();
    }
    if (!dropped.empty())
        Log::log(DEBUG_iMXSerial, "Dropped %zu bytes while [%s] settled\n", dropped.size(), p->port.c_str());
    tcflush(fd, TCIFLUSH);
    p->wireFreeAtUs = (int64_t)aTime_MonoUS();
    return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& data)
{
    if (p->fd <= 0 || data.empty())
        return -1;
    const uint8_t* bytes = data.data() + 1;
    size_t count = data.size() - 1, sent = 0;
    int64_t stalledSince = (int64_t)aTime_MonoUS();
    while (sent < count) {
        ssize_t n = write(p->fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += (size_t)n;
            stalledSince = (int64_t)aTime_MonoUS();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Log::log(DEBUG_iMXSerial, "Write to [%s] failed: %s\n", p->port.c_str(), strerror(errno));
            return -1;
        }
        if ((int64_t)aTime_MonoUS() - stalledSince > (int64_t)WRITE_STALL_LIMIT_MS * 1000) {
            Log::log(DEBUG_iMXSerial, "Write to [%s] stalled: %zu of %zu bytes sent\n", p->port.c_str(), sent, count);
            return -1;
        }
        struct pollfd pfd = {p->fd, POLLOUT, 0};
        poll(&pfd, 1, 1);
    }
    int64_t now = (int64_t)aTime_MonoUS();
    if (p->wireFreeAtUs < now)
        p->wireFreeAtUs = now;
    p->wireFreeAtUs += (int64_t)count * 10 * 1000000 / BAUD;
    return (ssize_t)count;
}

size_t Serial_SDPLoader::readData(std::vector<uint8_t>& data, unsigned timeoutMs, unsigned dataBytes)
{
    if (p->fd <= 0)
        return 0;
    size_t before = data.size();
    bool up = sTakeAvailable(p->fd, data);
    if (timeoutMs == 0)
        return data.size() - before;
    const size_t want = SECURITY_STATE_SIZE + dataBytes;
    // The port takes the bytes long before they are on the wire (a USB adapter or a
    // pseudo-terminal buffers them): the time-out starts once what is still queued has gone,
    // bounded by its line time. The deadline is known only then.
    const int64_t drainLimit = (int64_t)aTime_MonoUS() + 2000000;
    int64_t deadline = -1;
    while (up && data.size() - before < want) {
        int64_t now = (int64_t)aTime_MonoUS();
        if (deadline < 0) {
            int queued = 0;
            if (!(ioctl(p->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && now < drainLimit))
                deadline = (p->wireFreeAtUs > now ? p->wireFreeAtUs : now) + (int64_t)timeoutMs * 1000;
        }
        if (deadline >= 0 && now >= deadline)
            break;
        up = sWaitReadable(p->fd, deadline < 0 ? 1000 : deadline - now) && sTakeAvailable(p->fd, data);
    }
    return data.size() - before;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& data, unsigned offset, unsigned& value)
{
    if (offset >= 16 || data.size() < 8 + (size_t)offset)
        return false;
    size_t at = 4 + offset;
    value |= (unsigned)data[at] | (unsigned)data[at + 1] << 8 | (unsigned)data[at + 2] << 16 |
             (unsigned)data[at + 3] << 24;
    return true;
}
