// TCP socket streams: a non-blocking connection that reconnects itself when the peer resets it.
//
// The reader (get) and the writer (put/write) may both find the connection lost and reconnect;
// the record's lock makes each socket call and each reconnect one step, so neither direction
// ever uses a descriptor that the other has just closed.
#include "aStream.h"
#include "aTime.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#define aSOCKET_CONNECTED 0x1u
// A connect attempt gives up after this long (a host that does not answer at all).
#define aSOCKET_CONNECT_TIMEOUT_MS 3000
// Bytes taken from the socket in one receive and handed out one at a time.
#define aSOCKET_RECEIVE_BUFFER 512

typedef struct aSocketStream {
    uint16_t port;
    struct sockaddr_in address;
    int fd;  // -1 when none
    uint32_t flags;
    uint16_t check;
    pthread_mutex_t lock;
    uint8_t received[aSOCKET_RECEIVE_BUFFER];
    size_t receivedAt;     // next byte to hand out
    size_t receivedCount;  // bytes in received
} aSocketStream;

#define sVALIDSOCKET(s) ((s) != nullptr && (s)->check == aSOCKETSTREAM_CHECK)

// Lock held.
static void sClose(aSocketStream* s)
{
    s->flags &= ~aSOCKET_CONNECTED;
    s->receivedAt = s->receivedCount = 0;
    if (s->fd >= 0) {
        close(s->fd);
        s->fd = -1;
        aTime_MSSleep(10);
    }
}

static aErr sConnectError(int error)
{
    switch (error) {
    case ECONNRESET:
    case EAGAIN:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return aErrConnection;
    default:
        return aErrIO;
    }
}

static aErr sApplyOptions(int fd)
{
    int one = 1;
    struct timeval noTimeout = {0, 0};
    struct linger lingerNone = {1, 0};  // a close resets the connection at once
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerNone, sizeof(lingerNone)) != 0 || ioctl(fd, FIONBIO, &one) != 0)
        return aErrIO;
    return aErrNone;
}

// (Re)connects. Lock held.
static aErr sConnect(aSocketStream* s)
{
    sClose(s);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    // Connect without blocking so that an unreachable host costs a bounded time.
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&s->address), sizeof(s->address)) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            int n = poll(&p, 1, aSOCKET_CONNECT_TIMEOUT_MS);
            socklen_t len = sizeof(error);
            if (n == 0)
                error = ETIMEDOUT;
            else if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        close(fd);
        return sConnectError(error);
    }
    fcntl(fd, F_SETFL, flags);
    s->fd = fd;
    s->flags |= aSOCKET_CONNECTED;
    aErr err = sApplyOptions(fd);
    if (err != aErrNone)
        sClose(s);
    return err;
}

static bool sLost(int error)
{
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

// Hands out the next received byte. Whatever the socket holds is taken in one receive, so a
// burst of bytes costs one system call rather than two per byte.
static aErr sSocketGet(uint8_t* byte, void* ref)
{
    aSocketStream* s = static_cast<aSocketStream*>(ref);
    if (!sVALIDSOCKET(s) || !byte)
        return aErrParam;
    pthread_mutex_lock(&s->lock);
    aErr err = aErrNone;
    bool retried = false;
    for (;;) {
        if (s->receivedAt < s->receivedCount) {
            *byte = s->received[s->receivedAt++];
            err = aErrNone;
            break;
        }
        if (!(s->flags & aSOCKET_CONNECTED)) {
            err = aErrConnection;
            break;
        }
        ssize_t n = recv(s->fd, s->received, sizeof(s->received), MSG_DONTWAIT);
        if (n < 0) {
            int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                err = aErrNotReady;
                break;
            }
            if (sLost(error) && !retried) {
                retried = true;
                err = sConnect(s);
                if (err != aErrNone)
                    break;
                continue;
            }
            err = aErrConnection;
            break;
        }
        if (n == 0) {
            // The peer closed the connection: without a new one nothing will ever arrive again.
            if (retried) {
                err = aErrConnection;
                break;
            }
            retried = true;
            err = sConnect(s);
            if (err != aErrNone)
                break;
            continue;
        }
        s->receivedAt = 0;
        s->receivedCount = (size_t)n;
    }
    pthread_mutex_unlock(&s->lock);
    return err;
}

static aErr sSocketWrite(const uint8_t* bytes, size_t count, void* ref)
{
    aSocketStream* s = static_cast<aSocketStream*>(ref);
    if (!sVALIDSOCKET(s) || (!bytes && count > 0))
        return aErrParam;
    size_t sent = 0;
    int failed = 0;
    while (sent < count) {
        pthread_mutex_lock(&s->lock);
        if (!(s->flags & aSOCKET_CONNECTED)) {
            pthread_mutex_unlock(&s->lock);
            return aErrConnection;
        }
        ssize_t n = send(s->fd, bytes + sent, count - sent, MSG_NOSIGNAL);
        int error = n < 0 ? errno : 0;
        aErr reconnectErr = aErrNone;
        if (n < 0 && (error == EPIPE || error == ECONNRESET || error == ENOTCONN))
            reconnectErr = sConnect(s);
        pthread_mutex_unlock(&s->lock);

        if (n >= 0) {
            sent += (size_t)n;
            failed = 0;
            continue;
        }
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK && error != EPIPE && error != ECONNRESET && error != ENOTCONN)
            return aErrIO;
        if (reconnectErr != aErrNone)
            return reconnectErr;
        if (++failed >= aSOCKET_MAX_SEND_RETRY)
            return aErrWrite;  // bytes are still unsent
        aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
    }
    return aErrNone;
}

static aErr sSocketPut(const uint8_t* byte, void* ref)
{
    return sSocketWrite(byte, 1, ref);
}

static aErr sSocketWait(uint32_t timeoutMs, void* ref)
{
    aSocketStream* s = static_cast<aSocketStream*>(ref);
    if (!sVALIDSOCKET(s))
        return aErrParam;
    pthread_mutex_lock(&s->lock);
    int fd = (s->flags & aSOCKET_CONNECTED) ? s->fd : -1;
    const bool buffered = s->receivedAt < s->receivedCount;
    pthread_mutex_unlock(&s->lock);
    if (buffered || fd < 0)
        return aErrNone;  // bytes are waiting, or let get report the state of the connection
    // A reconnect from the writer may replace the descriptor meanwhile; the poll then ends
    // early (or late by at most the time-out) and get uses the new one.
    struct pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, 1, (int)timeoutMs);
    return n > 0 ? aErrNone : aErrNotReady;
}

static aErr sSocketDelete(void* ref)
{
    aSocketStream* s = static_cast<aSocketStream*>(ref);
    if (!sVALIDSOCKET(s))
        return aErrIO;
    pthread_mutex_lock(&s->lock);
    sClose(s);
    s->flags = 0;
    s->check = 0;
    pthread_mutex_unlock(&s->lock);
    pthread_mutex_destroy(&s->lock);
    free(s);
    return aErrNone;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** out)
{
    if (!out)
        return aErrResource;
    *out = nullptr;
    aSocketStream* s = static_cast<aSocketStream*>(calloc(1, sizeof(aSocketStream)));
    if (!s)
        return aErrResource;
    s->port = port;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    s->fd = -1;
    s->check = aSOCKETSTREAM_CHECK;
    pthread_mutex_init(&s->lock, nullptr);
    pthread_mutex_lock(&s->lock);
    aErr err = sConnect(s);
    pthread_mutex_unlock(&s->lock);
    if (err != aErrNone) {
        sSocketDelete(s);
        return aErrResource;
    }
    aStream* stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
    if (!stream) {
        sSocketDelete(s);
        return aErrResource;
    }
    aStream_SetWaitProc(stream, sSocketWait);
    *out = stream;
    return aErrNone;
}
