#include "Serial_SDPLoader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
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

void sSleepUs(int64_t us)
{
    if (us <= 0)
        return;
    struct timespec ts = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
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
    sSleepUs(1000000);
    tcflush(fd, TCIOFLUSH);
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

size_t Serial_SDPLoader::readData(std::vector<uint8_t>& data, unsigned timeoutMs)
{
    if (p->fd <= 0)
        return 0;
    if (timeoutMs > 0) {
        // The port takes the bytes long before they are on the wire (a USB adapter or a
        // pseudo-terminal buffers them): allow what is still queued, bounded by its line time.
        int64_t limit = (int64_t)aTime_MonoUS() + 2000000;
        int queued = 0;
        while (ioctl(p->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && (int64_t)aTime_MonoUS() < limit)
            sSleepUs(1000);
        sSleepUs(p->wireFreeAtUs - (int64_t)aTime_MonoUS());
        sSleepUs((int64_t)timeoutMs * 1000);
    }
    size_t before = data.size();
    uint8_t b;
    while (read(p->fd, &b, 1) == 1)
        data.push_back(b);
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
