#include "PtyLine.h"

#include "aTime.h"
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

void sSleepUntilUs(int64_t when)
{
    int64_t now = (int64_t)aTime_MonoUS();
    if (when <= now)
        return;
    struct timespec ts;
    int64_t d = when - now;
    ts.tv_sec = (time_t)(d / 1000000);
    ts.tv_nsec = (long)(d % 1000000) * 1000;
    nanosleep(&ts, nullptr);
}

uint32_t sSpeedToBaud(speed_t s)
{
    switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 0;
    }
}

}  // namespace

PtyLine::PtyLine() {}

PtyLine::~PtyLine() { Close(); }

bool PtyLine::Open()
{
    Close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        return false;
    char* name = nullptr;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || (name = ptsname(master_)) == nullptr) {
        Close();
        return false;
    }
    slavePath_ = name;
    slaveKeep_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slaveKeep_ < 0) {
        Close();
        return false;
    }
    // Raw until the program sets its own mode: no echo, no line editing, no CR/LF mapping.
    struct termios tio;
    if (tcgetattr(slaveKeep_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slaveKeep_, TCSANOW, &tio);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    pending_.clear();
    inClockUs_ = outClockUs_ = 0;
    return true;
}

void PtyLine::Close()
{
    if (slaveKeep_ >= 0)
        close(slaveKeep_);
    if (master_ >= 0)
        close(master_);
    slaveKeep_ = master_ = -1;
    slavePath_.clear();
    pending_.clear();
}

uint32_t PtyLine::HostBaud() const
{
    struct termios tio;
    if (slaveKeep_ < 0 || tcgetattr(slaveKeep_, &tio) != 0)
        return 0;
    return sSpeedToBaud(cfgetispeed(&tio));
}

int64_t PtyLine::ByteUs() const { return baud_ ? (int64_t)10000000 / baud_ : 0; }

bool PtyLine::ReadByte(uint8_t& byte, int timeoutMs)
{
    if (master_ < 0)
        return false;
    int64_t deadline = (int64_t)aTime_MonoUS() + (int64_t)timeoutMs * 1000;
    bool waited = false;
    while (pending_.empty()) {
        uint8_t buffer[64];
        ssize_t n = read(master_, buffer, sizeof(buffer));
        if (n > 0) {
            // Bytes that were already waiting follow the previous ones on the wire without a
            // gap (so a simulator that fell behind catches up); bytes that had to be waited for
            // start arriving now.
            int64_t now = (int64_t)aTime_MonoUS();
            if (waited && inClockUs_ < now)
                inClockUs_ = now;
            if (inClockUs_ < now - 1000000)
                inClockUs_ = now - 1000000;
            pending_.insert(pending_.end(), buffer, buffer + n);
            break;
        }
        waited = true;
        int64_t left = deadline - (int64_t)aTime_MonoUS();
        if (left <= 0)
            return false;
        struct pollfd p = {master_, POLLIN, 0};
        int ms = (int)((left + 999) / 1000);
        if (poll(&p, 1, ms > 50 ? 50 : ms) < 0 && errno != EINTR)
            return false;
    }
    inClockUs_ += ByteUs();
    // Sleep only when more than a little ahead of the wire, so pacing costs few system calls.
    if (inClockUs_ - (int64_t)aTime_MonoUS() > 500)
        sSleepUntilUs(inClockUs_);
    byte = pending_.front();
    pending_.pop_front();
    return true;
}

void PtyLine::Write(const uint8_t* data, size_t count)
{
    if (master_ < 0)
        return;
    int64_t now = (int64_t)aTime_MonoUS();
    if (outClockUs_ < now)
        outClockUs_ = now;
    size_t done = 0;
    while (done < count) {
        size_t chunk = count - done < 16 ? count - done : 16;
        outClockUs_ += ByteUs() * (int64_t)chunk;
        sSleepUntilUs(outClockUs_ - ByteUs());
        size_t sent = 0;
        int stalls = 0;
        while (sent < chunk) {
            ssize_t n = write(master_, data + done + sent, chunk - sent);
            if (n > 0) {
                sent += (size_t)n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return;
            // The program is not reading; a line drops what nobody takes in time.
            if (++stalls > 1000)
                return;
            struct pollfd p = {master_, POLLOUT, 0};
            poll(&p, 1, 1);
        }
        done += chunk;
    }
}

void PtyLine::DiscardInput()
{
    pending_.clear();
    uint8_t buffer[256];
    while (read(master_, buffer, sizeof(buffer)) > 0) {
    }
}
