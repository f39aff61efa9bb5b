// Serial-port streams on termios: raw bytes, reads that return at once with whatever is there.
#include "aStream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#define aSERIAL_PATH_SIZE 4096
// A write that cannot move any byte for this long fails (nobody is draining the port).
#define aSERIAL_WRITE_TIMEOUT_MS 2000

typedef struct aUnixSerialStream {
    uint32_t baudIndex;
    char portPath[aSERIAL_PATH_SIZE];
    int fd;
    struct termios saved;
    struct termios applied;
    uint16_t check;
} aUnixSerialStream;

#define sVALIDSERIAL(s) ((s) != nullptr && (s)->check == aSERIALSTREAM_CHECK)

static speed_t sSpeed(uint32_t baudIndex)
{
    static const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    return baudIndex < sizeof(speeds) / sizeof(speeds[0]) ? speeds[baudIndex] : B0;
}

static aErr sSerialGet(uint8_t* byte, void* ref)
{
    aUnixSerialStream* s = static_cast<aUnixSerialStream*>(ref);
    if (!sVALIDSERIAL(s) || !byte)
        return aErrParam;
    ssize_t n = read(s->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

static aErr sSerialWrite(const uint8_t* bytes, size_t count, void* ref)
{
    aUnixSerialStream* s = static_cast<aUnixSerialStream*>(ref);
    if (!sVALIDSERIAL(s) || (!bytes && count > 0))
        return aErrParam;
    size_t done = 0;
    while (done < count) {
        struct pollfd p = {s->fd, POLLOUT, 0};
        int ready = poll(&p, 1, aSERIAL_WRITE_TIMEOUT_MS);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return aErrIO;
        ssize_t n = write(s->fd, bytes + done, count - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return aErrIO;
        }
        done += (size_t)n;
    }
    return aErrNone;
}

static aErr sSerialPut(const uint8_t* byte, void* ref)
{
    return sSerialWrite(byte, 1, ref);
}

static aErr sSerialWait(uint32_t timeoutMs, void* ref)
{
    aUnixSerialStream* s = static_cast<aUnixSerialStream*>(ref);
    if (!sVALIDSERIAL(s))
        return aErrParam;
    struct pollfd p = {s->fd, POLLIN, 0};
    int n = poll(&p, 1, (int)timeoutMs);
    if (n <= 0)
        return aErrNotReady;
    if (p.revents & POLLIN)
        return aErrNone;
    return aErrConnection;  // hung up: reads would report nothing forever
}

static aErr sSerialDelete(void* ref)
{
    aUnixSerialStream* s = static_cast<aUnixSerialStream*>(ref);
    if (!sVALIDSERIAL(s))
        return aErrParam;
    if (s->fd > 0) {
        tcsetattr(s->fd, TCSANOW, &s->saved);
        close(s->fd);
        s->fd = -1;
        memset(&s->saved, 0, sizeof(s->saved));
        memset(&s->applied, 0, sizeof(s->applied));
    }
    s->check = 0;
    free(s);
    return aErrNone;
}

static aErr sOpen(aUnixSerialStream* s, bool parity, uint32_t bits, uint32_t stopBits)
{
    s->fd = open(s->portPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s->fd < 0) {
        if (errno == ENOENT)
            return aErrNotFound;
        if (errno == EACCES)
            return aErrPermission;
        return aErrIO;
    }
    if (fcntl(s->fd, F_SETFL, 0) != 0 || tcgetattr(s->fd, &s->saved) != 0)
        return aErrIO;
    s->applied = s->saved;
    s->applied.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    s->applied.c_oflag = 0;
    s->applied.c_lflag = 0;
    s->applied.c_cflag = CLOCAL | CREAD | (bits == aSerial_Bits_8 ? CS8 : CS7) | (parity ? PARENB : 0) |
                         (stopBits == aSerial_Stop_bits_2 ? CSTOPB : 0);
    s->applied.c_cc[VMIN] = 0;
    s->applied.c_cc[VTIME] = 0;
    speed_t speed = sSpeed(s->baudIndex);
    cfsetispeed(&s->applied, speed);
    cfsetospeed(&s->applied, speed);
    if (tcsetattr(s->fd, TCSANOW, &s->applied) != 0 || tcflush(s->fd, TCIOFLUSH) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aStream_CreateSerial(const char* portPath, uint32_t baudIndex, bool parity, uint32_t bits, uint32_t stopBits,
                          aStream** out)
{
    if (!portPath || !out)
        return aErrResource;
    *out = nullptr;
    if (bits > aSerial_Bits_7 || stopBits > aSerial_Stop_bits_2)
        return aErrParam;
    if (strlen(portPath) >= aSERIAL_PATH_SIZE)
        return aErrFileNameLength;
    aUnixSerialStream* s = static_cast<aUnixSerialStream*>(calloc(1, sizeof(aUnixSerialStream)));
    if (!s)
        return aErrResource;
    s->baudIndex = baudIndex;
    strcpy(s->portPath, portPath);
    s->fd = -1;
    s->check = aSERIALSTREAM_CHECK;
    aStream* stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s);
    if (!stream) {
        free(s);
        return aErrResource;
    }
    aErr err = sOpen(s, parity, bits, stopBits);
    if (err != aErrNone) {
        if (s->fd >= 0) {
            close(s->fd);
            s->fd = -1;
        }
        aStream_Destroy(&stream);
        return err;
    }
    aStream_SetWaitProc(stream, sSerialWait);
    *out = stream;
    return aErrNone;
}
