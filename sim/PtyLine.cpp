#include "PtyLine.h"

#include "aTime.h"
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The line's clocks count nanoseconds: a byte time in whole microseconds would make the line
// about 1% faster than its rate at 115200 baud.
int64_t sNowNs() { return (int64_t)aTime_MonoUS() * 1000; }

void sSleepUntilNs(int64_t when) { aTime_SleepUntilUS((uint64_t)((when + 999) / 1000)); }

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
    inClockNs_ = outClockNs_ = 0;
    received_ = sent_ = 0;
    openedNs_ = sNowNs();
    if (const char* path = getenv("SXSIM_LINE_LOG"))
        log_ = fopen(path, "a");
    return true;
}

void PtyLine::Close()
{
    if (slaveKeep_ >= 0)
        close(slaveKeep_);
    if (master_ >= 0)
        close(master_);
    slaveKeep_ = master_ = -1;
    if (log_)
        fclose(log_);
    log_ = nullptr;
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

int64_t PtyLine::ByteNs() const { return baud_ ? (int64_t)10000000000 / baud_ : 0; }

bool PtyLine::ReadByte(uint8_t& byte, int timeoutMs)
{
    if (master_ < 0)
        return false;
    int64_t deadline = sNowNs() + (int64_t)timeoutMs * 1000000;
    bool waited = false;
    while (pending_.empty()) {
        uint8_t buffer[64];
        ssize_t n = read(master_, buffer, sizeof(buffer));
        if (n > 0) {
            // Bytes that were already waiting follow the previous ones on the wire without a
            // gap (so a simulator that fell behind catches up); bytes that had to be waited for
            // start arriving now.
            int64_t now = sNowNs();
            if (waited && inClockNs_ < now)
                inClockNs_ = now;
            if (inClockNs_ < now - 1000000000)
                inClockNs_ = now - 1000000000;
            pending_.insert(pending_.end(), buffer, buffer + n);
            Log("in", buffer, (size_t)n);
            break;
        }
        waited = true;
        int64_t left = deadline - sNowNs();
        if (left <= 0)
            return false;
        struct pollfd p = {master_, POLLIN, 0};
        int ms = (int)((left + 999999) / 1000000);
        if (poll(&p, 1, ms > 50 ? 50 : ms) < 0 && errno != EINTR)
            return false;
    }
    inClockNs_ += ByteNs();
    // Sleep only when more than a little ahead of the wire, so pacing costs few system calls.
    if (inClockNs_ - sNowNs() > 500000)
        sSleepUntilNs(inClockNs_);
    byte = pending_.front();
    pending_.pop_front();
    received_++;
    return true;
}

void PtyLine::Write(const uint8_t* data, size_t count)
{
    if (master_ < 0)
        return;
    Log("out", data, count);
    int64_t now = sNowNs();
    if (outClockNs_ < now)
        outClockNs_ = now;
    size_t done = 0;
    while (done < count) {
        size_t chunk = count - done < 16 ? count - done : 16;
        outClockNs_ += ByteNs() * (int64_t)chunk;
        sSleepUntilNs(outClockNs_ - ByteNs());
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
        sent_ += chunk;
    }
}

void PtyLine::Log(const char* direction, const uint8_t* data, size_t count)
{
    if (!log_)
        return;
    fprintf(log_, "%.3f %s %s %zu", (sNowNs() - openedNs_) / 1000000.0, slavePath_.c_str(), direction, count);
    for (size_t i = 0; i < count && i < 16; i++)
        fprintf(log_, " %02X", data[i]);
    fprintf(log_, "\n");
    fflush(log_);
}

void PtyLine::DiscardInput()
{
    pending_.clear();
    uint8_t buffer[256];
    while (read(master_, buffer, sizeof(buffer)) > 0) {
    }
}
