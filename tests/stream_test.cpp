// Byte streams: all-or-nothing reads, the push-back ring, records, file streams, serial
// settings on a real pseudo-terminal, and socket reconnection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "IsolatedHome.h"
#include "aStream.h"

namespace {

// An in-memory transport: get takes from `in` (aErrNotReady when empty, or aErrEOF once
// `ended`), put and write append to `out`.
struct Pipe {
    std::deque<uint8_t> in;
    bool ended = false;
    std::string out;
    int puts = 0, writes = 0;
    bool deleted = false;

    static aErr Get(uint8_t* b, void* ref)
    {
        Pipe* p = static_cast<Pipe*>(ref);
        if (p->in.empty())
            return p->ended ? aErrEOF : aErrNotReady;
        *b = p->in.front();
        p->in.pop_front();
        return aErrNone;
    }
    static aErr Put(const uint8_t* b, void* ref)
    {
        Pipe* p = static_cast<Pipe*>(ref);
        p->puts++;
        p->out.push_back((char)*b);
        return aErrNone;
    }
    static aErr Write(const uint8_t* b, size_t n, void* ref)
    {
        Pipe* p = static_cast<Pipe*>(ref);
        p->writes++;
        p->out.append(reinterpret_cast<const char*>(b), n);
        return aErrNone;
    }
    static aErr Delete(void* ref)
    {
        static_cast<Pipe*>(ref)->deleted = true;
        return aErrNone;
    }
    void Add(const std::string& s) { in.insert(in.end(), s.begin(), s.end()); }
};

struct PipeStream {
    Pipe pipe;
    aStream* s = aStream_Create(Pipe::Get, Pipe::Put, Pipe::Write, Pipe::Delete, &pipe);
    ~PipeStream()
    {
        if (s)
            aStream_Destroy(&s);
    }
};

std::string Str(const uint8_t* b, size_t n)
{
    return std::string(reinterpret_cast<const char*>(b), n);
}

}  // namespace

TEST(StreamRead, IsAllOrNothingAcrossAPause)
{
    PipeStream ps;
    ps.pipe.Add("ab");
    uint8_t buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(aStream_Read(ps.s, buf, 4), aErrNotReady);
    EXPECT_EQ(Str(buf, 4), "xxxx");
    ps.pipe.Add("cd");
    ASSERT_EQ(aStream_Read(ps.s, buf, 4), aErrNone);
    EXPECT_EQ(Str(buf, 4), "abcd");

    ps.pipe.Add("ef");
    ps.pipe.ended = true;
    uint8_t tail[4] = {};
    EXPECT_EQ(aStream_Read(ps.s, tail, 4), aErrEOF);
    EXPECT_EQ(Str(tail, 2), "ef");
    EXPECT_EQ(aStream_Read(nullptr, tail, 1), aErrParam);
}

TEST(StreamRead, PushBackRingGrowsAndKeepsOrderAfterWrapping)
{
    PipeStream ps;
    // Move the ring's head forward first, so that the growth copies a wrapped ring.
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(aStreamBufferChar(ps.s, 0), aErrNone);
    uint8_t sink[300];
    ASSERT_EQ(aStream_Read(ps.s, sink, 300), aErrNone);
    EXPECT_EQ(ps.s->bufferSize, 512u);
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(aStreamBufferChar(ps.s, (uint8_t)(i % 251)), aErrNone);
    EXPECT_EQ(ps.s->bufferSize, 1024u);
    EXPECT_EQ(ps.s->bufferCount, 600u);
    ps.pipe.Add("Z");
    uint8_t out[601];
    ASSERT_EQ(aStream_Read(ps.s, out, 601), aErrNone);
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(out[i], (uint8_t)(i % 251)) << i;
    EXPECT_EQ(out[600], 'Z');  // pushed-back bytes come before new ones
}

TEST(StreamRecord, TerminatorsMaximumAndPauses)
{
    PipeStream ps;
    const uint8_t T = ';';
    ps.pipe.Add("ab;cd");
    uint8_t rec[16];
    size_t len = 99;
    ASSERT_EQ(aStream_ReadRecord(ps.s, rec, &len, sizeof(rec), &T, 1), aErrNone);
    EXPECT_EQ(Str(rec, len), "ab");
    // "cd" then a pause: nothing is consumed, and the record completes later.
    EXPECT_EQ(aStream_ReadRecord(ps.s, rec, &len, sizeof(rec), &T, 1), aErrNotReady);
    ps.pipe.Add("e;");
    ASSERT_EQ(aStream_ReadRecord(ps.s, rec, &len, sizeof(rec), &T, 1), aErrNone);
    EXPECT_EQ(Str(rec, len), "cde");

    // A record reaching the maximum ends there; the rest stays for the next read.
    ps.pipe.Add("123456;");
    ASSERT_EQ(aStream_ReadRecord(ps.s, rec, &len, 4, &T, 1), aErrNone);
    EXPECT_EQ(Str(rec, len), "1234");
    ASSERT_EQ(aStream_ReadRecord(ps.s, rec, &len, 4, &T, 1), aErrNone);
    EXPECT_EQ(Str(rec, len), "56");

    // A multi-byte terminator broken part way gives its bytes to the record.
    const uint8_t crlf[2] = {'\r', '\n'};
    ps.pipe.Add("a\rb\r\n");
    ASSERT_EQ(aStream_ReadRecord(ps.s, rec, &len, sizeof(rec), crlf, 2), aErrNone);
    EXPECT_EQ(Str(rec, len), "a\rb");

    ps.pipe.Add("last");
    ps.pipe.ended = true;
    ASSERT_EQ(aStream_ReadRecord(ps.s, rec, &len, sizeof(rec), &T, 1), aErrNone);
    EXPECT_EQ(Str(rec, len), "last");
    EXPECT_EQ(aStream_ReadRecord(ps.s, rec, &len, sizeof(rec), &T, 1), aErrEOF);
    EXPECT_EQ(len, 0u);
}

TEST(StreamRecord, CStringsAndWrites)
{
    PipeStream ps;
    ps.pipe.Add(std::string("0123456789\0", 11));
    char text[8];
    ASSERT_EQ(aStream_ReadCString(ps.s, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "0123456");

    ps.pipe.in.clear();
    ps.pipe.Add("OK\r\nrest");
    ASSERT_EQ(aStream_ReadCStringRecord(ps.s, text, sizeof(text), "\r\n"), aErrNone);
    EXPECT_STREQ(text, "OK");

    const uint8_t one = 'x';
    EXPECT_EQ(aStream_Write(ps.s, &one, 1), aErrNone);
    EXPECT_EQ(ps.pipe.puts, 1);
    EXPECT_EQ(ps.pipe.writes, 0);
    EXPECT_EQ(aStream_Write(ps.s, &one, 0), aErrNone);
    EXPECT_EQ(ps.pipe.out, "x");
    EXPECT_EQ(aStream_WriteCStringRecord(ps.s, "AB", "\r\n"), aErrNone);
    EXPECT_EQ(ps.pipe.out, std::string("xAB\r\n\0", 6));
    EXPECT_EQ(aStream_WriteCString(ps.s, "C"), aErrNone);
    EXPECT_EQ(ps.pipe.out.substr(6), std::string("C\0", 2));

    Pipe* pipe = &ps.pipe;
    EXPECT_EQ(aStream_Destroy(&ps.s), aErrNone);
    EXPECT_EQ(ps.s, nullptr);
    EXPECT_TRUE(pipe->deleted);
    EXPECT_EQ(aStream_Destroy(&ps.s), aErrParam);
}

TEST(FileStream, CopiesAFileAndReportsTheEnd)
{
    TempDir dir;
    WriteFileText(dir.file("in"), "hello\nworld");
    aStream* in = nullptr;
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(dir.file("in").c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(dir.file("out").c_str(), &out), aErrNone);
    uint8_t first[3];
    ASSERT_EQ(aStream_Read(in, first, 3), aErrNone);
    aStreamBufferChar(in, 'H');  // given back bytes are flushed first
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    uint8_t more;
    EXPECT_EQ(aStream_Read(in, &more, 1), aErrEOF);
    aStream_Destroy(&in);
    aStream_Destroy(&out);
    EXPECT_EQ(ReadFileText(dir.file("out")), "Hlo\nworld");

    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &in), aErrResource);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(aStream_CreateFileOutput(nullptr, &out), aErrResource);
}

TEST(SerialStream, AppliesRawSettingsOnARealPtyAndRestoresThem)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string path = ptsname(master);
    int observer = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(observer, 0);
    struct termios before;
    ASSERT_EQ(tcgetattr(observer, &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO);  // a fresh terminal echoes

    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, false, 2, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/nonexistent/tty", 6, false, 0, 0, &s), aErrNotFound);
    // (A pseudo-terminal always keeps eight bits without parity in its control flags.)
    ASSERT_EQ(aStream_CreateSerial(path.c_str(), 6, true, aSerial_Bits_8, aSerial_Stop_bits_2, &s), aErrNone);
    struct termios t;
    ASSERT_EQ(tcgetattr(observer, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & IGNPAR);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Bytes both ways; an empty line reads as "not ready", never blocking.
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    const uint8_t hello[3] = {0xAF, 0x01, 0x01};
    ASSERT_EQ(aStream_Write(s, hello, 3), aErrNone);
    uint8_t got[3];
    size_t n = 0;
    while (n < 3) {
        struct pollfd p = {master, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 2000), 0);
        ssize_t r = read(master, got + n, 3 - n);
        ASSERT_GT(r, 0);
        n += (size_t)r;
    }
    EXPECT_EQ(memcmp(got, hello, 3), 0);
    ASSERT_EQ(write(master, "\x02\x00", 2), 2);
    EXPECT_EQ(aStream_Wait(s, 2000), aErrNone);
    uint8_t two[2];
    ASSERT_EQ(aStream_Read(s, two, 2), aErrNone);
    EXPECT_EQ(two[0], 2);

    aStream_Destroy(&s);
    ASSERT_EQ(tcgetattr(observer, &t), 0);
    EXPECT_TRUE(t.c_lflag & ECHO);  // the settings found at open are back
    close(observer);
    close(master);
}

namespace {

// A listening socket on 127.0.0.1 whose accepted connections the test controls.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = 0;
    Listener()
    {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    int Accept()
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            return -1;
        return accept(fd, nullptr, nullptr);
    }
};

void Reset(int fd)
{
    struct linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

// Reads one byte, waiting for it up to two seconds.
aErr ReadByte(aStream* s, uint8_t* b)
{
    aErr err = aErrNotReady;
    for (int i = 0; i < 200 && err == aErrNotReady; i++) {
        err = aStream_Read(s, b, 1);
        if (err == aErrNotReady)
            aStream_Wait(s, 10);
    }
    return err;
}

}  // namespace

TEST(SocketStream, ReconnectsAfterThePeerResetsOrClosesTheConnection)
{
    Listener l;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port, &s), aErrNone);
    int first = l.Accept();
    ASSERT_GE(first, 0);
    ASSERT_EQ(write(first, "A", 1), 1);
    uint8_t b = 0;
    ASSERT_EQ(ReadByte(s, &b), aErrNone);
    EXPECT_EQ(b, 'A');

    // Reset: the next get reconnects and then reads from the new connection.
    Reset(first);
    usleep(20000);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    int second = l.Accept();
    ASSERT_GE(second, 0);
    ASSERT_EQ(write(second, "B", 1), 1);
    ASSERT_EQ(ReadByte(s, &b), aErrNone);
    EXPECT_EQ(b, 'B');

    // An orderly close is a lost connection too, rather than an endless "nothing yet".
    close(second);
    usleep(20000);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    int third = l.Accept();
    ASSERT_GE(third, 0);

    // The write side reconnects as well.
    Reset(third);
    usleep(20000);
    const uint8_t msg[3] = {1, 2, 3};
    aErr err = aErrNone;
    for (int i = 0; i < 5 && err == aErrNone; i++)
        err = aStream_Write(s, msg, 3);  // the first write after a reset may still succeed
    EXPECT_EQ(err, aErrNone);
    int fourth = l.Accept();
    ASSERT_GE(fourth, 0);
    uint8_t got[3] = {};
    struct pollfd p = {fourth, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 2000), 0);
    EXPECT_GT(read(fourth, got, 3), 0);
    EXPECT_EQ(got[0], 1);
    close(fourth);

    // With nobody listening any more the loss is reported.
    close(l.fd);
    l.fd = socket(AF_INET, SOCK_STREAM, 0);
    usleep(20000);
    EXPECT_NE(ReadByte(s, &b), aErrNone);
    aStream_Destroy(&s);

    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
}
