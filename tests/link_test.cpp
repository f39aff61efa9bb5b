// The link engine against the simulated device, end to end over TCP on 127.0.0.1, a
// pseudo-terminal serial line and a socketpair.
// test-labels: threads
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "SimDevice.h"
#include "SimEchoLogic.h"
#include "aLink.h"
#include "aPacketLog.h"
#include "aTime.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool WaitStatus(aLinkId id, linkStatus want, int timeoutMs = 3000)
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (aLink_GetStatus(id) == want)
            return true;
        aTime_MSSleep(5);
    }
    return aLink_GetStatus(id) == want;
}

bool SecondIs(const aPacket* p, void* ref)
{
    return p->length >= 2 && p->data[1] == *static_cast<uint8_t*>(ref);
}

// Sends a packet to the echoing device and waits for the echo.
// After a resynchronisation the device may still be answering sync requests the link sent
// while it was out of step (each answer reads as two empty packets once the link runs): wait
// until no more arrive, then empty the input, so a later reply is not lost to the overflow rule.
template <typename Device>
void Settle(Device& device, aLinkId id)
{
    uint64_t seen = device.Stats().syncRequests;
    for (int quiet = 0, i = 0; quiet < 6 && i < 100; i++) {
        aTime_MSSleep(50);
        uint64_t now = device.Stats().syncRequests;
        quiet = now == seen ? quiet + 1 : 0;
        seen = now;
    }
    while (aPacket* p = aLink_GetPacket(id))
        aPacket_Destroy(&p);
}

bool RoundTrip(aLinkId id, uint8_t tag, uint64_t timeoutMs = 2000)
{
    const uint8_t data[3] = {0x10, tag, 0x20};
    aPacket* p = aPacket_CreateWithData(2, 3, data);
    aErr err = aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
    if (err != aErrNone)
        return false;
    aPacket* reply = aLink_AwaitFirst(id, SecondIs, &tag, timeoutMs);
    bool ok = reply && reply->length == 3 && reply->data[2] == 0x20;
    if (reply)
        aPacket_Destroy(&reply);
    return ok;
}

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// A simulated device on TCP with a link to it.
struct TcpRig {
    SimEchoLogic echo;
    SimDevice device;
    aLinkId id = 0;
    explicit TcpRig(SimDeviceConfig config = {}) : device(config, &echo)
    {
        config.idleTimeoutMs = 20000;
        EXPECT_TRUE(device.ListenTcp(0));
        EXPECT_TRUE(device.Start());
        id = aLink_CreateTCPIP(kLoopback, device.Port());
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(device.WaitFor([](const SimDeviceStats& s) { return s.linkOpens >= 1; }, 3000));
    }
    ~TcpRig()
    {
        if (id)
            aLink_Destroy(&id);
        device.Stop();
    }
};

// A port on 127.0.0.1 that nobody listens on.
uint16_t sUnusedPort()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    socklen_t len = sizeof(a);
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    close(probe);
    return ntohs(a.sin_port);
}

SimDeviceConfig Module(uint8_t address, int heartbeatMs = 0)
{
    SimDeviceConfig c;
    c.moduleAddress = address;
    c.heartbeatMs = heartbeatMs;
    return c;
}

}  // namespace

TEST(LinkEngine, OpensAndClosesTheLinkOnTheWire)
{
    TcpRig rig;
    std::vector<uint8_t> rx = rig.device.Received();
    ASSERT_GE(rx.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(rx.begin(), rx.begin() + 3), (std::vector<uint8_t>{0xAF, 0x01, 0x01}));
    EXPECT_EQ(aLink_GetStatus(rig.id), LINK_RUNNING);
    EXPECT_TRUE(RoundTrip(rig.id, 1));

    ASSERT_EQ(aLink_Destroy(&rig.id), aErrNone);
    EXPECT_EQ(rig.id, 0u);
    ASSERT_TRUE(rig.device.WaitFor([](const SimDeviceStats& s) { return s.linkCloses >= 1; }, 3000));
    rx = rig.device.Received();
    EXPECT_EQ(std::vector<uint8_t>(rx.end() - 3, rx.end()), (std::vector<uint8_t>{0xAF, 0x01, 0x00}));
}

TEST(LinkEngine, AnswersHeartbeatsWithoutQueueingThem)
{
    TcpRig rig(Module(4, 40));
    ASSERT_TRUE(rig.device.WaitFor([](const SimDeviceStats& s) { return s.heartbeatAnswers >= 4; }, 5000));
    SimDeviceStats st = rig.device.Stats();
    EXPECT_EQ(st.badHeartbeatAnswers, 0u);
    // Heartbeats alternate x = 0 and x = 1: answered with 2 and 3.
    std::vector<uint8_t> rx = rig.device.Received();
    EXPECT_TRUE(Contains(rx, {0x04, 0x02, 0x00, 0x02}));
    EXPECT_TRUE(Contains(rx, {0x04, 0x02, 0x00, 0x03}));
    EXPECT_EQ(aLink_GetPacket(rig.id), nullptr);

    // A caller waiting for a reply reads the link itself: it answers the heartbeats meanwhile.
    std::atomic<bool> waiting{true};
    std::thread caller([&] {
        uint8_t tag = 0x77;
        while (waiting)
            EXPECT_EQ(aLink_AwaitFirst(rig.id, SecondIs, &tag, 200), nullptr);
    });
    const uint64_t answered = rig.device.Stats().heartbeatAnswers;
    EXPECT_TRUE(rig.device.WaitFor([&](const SimDeviceStats& s) { return s.heartbeatAnswers >= answered + 4; }, 5000));
    waiting = false;
    caller.join();
    EXPECT_EQ(rig.device.Stats().badHeartbeatAnswers, 0u);
    EXPECT_EQ(aLink_GetPacket(rig.id), nullptr);

    // Length 3 with a first data byte of 0 is an ordinary packet.
    rig.device.SendBytes({0x04, 0x03, 0x00, 0x01, 0x02});
    aPacket* p = aLink_AwaitPacket(rig.id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->length, 3);
    EXPECT_EQ(p->data[2], 0x02);
    aPacket_Destroy(&p);
}

TEST(LinkEngine, FramingErrorResynchronisesOnlyOnAProperReply)
{
    TcpRig rig(Module(6));
    ASSERT_TRUE(RoundTrip(rig.id, 1));

    // A reply from two different addresses is not a sync: the link stays syncing, and
    // waiting for a packet on it returns at once. The reply stops short of a last byte, which
    // would start the next sync by itself and keep the link and the device trading requests
    // and replies; the byte sent below would then land at a random place in that exchange.
    rig.device.SetSyncReply({0x06, 0x00, 0x08});
    rig.device.ClearReceived();
    rig.device.InjectFramingByte(0x00);
    ASSERT_TRUE(rig.device.WaitFor([](const SimDeviceStats& s) { return s.syncRequests >= 1; }, 3000));
    EXPECT_TRUE(Contains(rig.device.Received(),
                         {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0}));
    aTime_MSSleep(200);
    EXPECT_EQ(aLink_GetStatus(rig.id), LINK_SYNCING);
    auto start = std::chrono::steady_clock::now();
    uint8_t tag = 1;
    EXPECT_EQ(aLink_AwaitFirst(rig.id, SecondIs, &tag, 3000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

    // The next byte from the device starts a new sync, which the proper reply completes.
    rig.device.SetSyncReply({});
    uint64_t before = rig.device.Stats().syncRequests;
    rig.device.SendBytes({0x06});
    ASSERT_TRUE(rig.device.WaitFor([&](const SimDeviceStats& s) { return s.syncRequests > before; }, 3000));
    ASSERT_TRUE(WaitStatus(rig.id, LINK_RUNNING));
    Settle(rig.device, rig.id);
    EXPECT_TRUE(RoundTrip(rig.id, 2));

    // A length byte above 28 breaks the frame as well.
    before = rig.device.Stats().syncRequests;
    rig.device.SendBytes({0x06, 0x1D});
    ASSERT_TRUE(rig.device.WaitFor([&](const SimDeviceStats& s) { return s.syncRequests > before; }, 3000));
    ASSERT_TRUE(WaitStatus(rig.id, LINK_RUNNING));
    Settle(rig.device, rig.id);
    EXPECT_TRUE(RoundTrip(rig.id, 3));
}

TEST(LinkEngine, LinksToOneDeviceAreShared)
{
    TcpRig rig;
    aLinkId again = aLink_CreateTCPIP(kLoopback, rig.device.Port());
    EXPECT_EQ(again, rig.id);
    ASSERT_EQ(aLink_Destroy(&again), aErrNone);
    {
        // Another device on the same address but another port has a link of its own.
        TcpRig other;
        EXPECT_NE(other.id, rig.id);
        EXPECT_TRUE(RoundTrip(other.id, 8));
        EXPECT_TRUE(other.device.WaitFor([](const SimDeviceStats& s) { return s.linkOpens >= 1; }, 1000));
    }
    EXPECT_EQ(aLink_GetStatus(rig.id), LINK_RUNNING);
    EXPECT_TRUE(RoundTrip(rig.id, 7));
    aLinkId last = rig.id;
    ASSERT_EQ(aLink_Destroy(&rig.id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(last), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Destroy(&last), aErrParam);
    EXPECT_EQ(aLink_PutPacket(last, nullptr), aErrParam);
}

TEST(LinkEngine, ResetReconnectsATcpLink)
{
    TcpRig rig;
    ASSERT_EQ(aLink_PacketDebug_Enable(rig.id), aErrNone);
    // A caller waiting for a reply reads the stream itself: the reset takes the stream from it
    // (the wait ends empty) and gives the link a new one.
    aPacket* unanswered = nullptr;
    std::thread waiting([&] {
        uint8_t tag = 0x77;
        unanswered = aLink_AwaitFirst(rig.id, SecondIs, &tag, 5000);
    });
    aTime_MSSleep(50);
    ASSERT_EQ(aLink_Reset(rig.id), aErrNone);
    waiting.join();
    EXPECT_EQ(unanswered, nullptr);
    ASSERT_TRUE(rig.device.WaitFor([](const SimDeviceStats& s) { return s.linkOpens >= 2; }, 3000));
    EXPECT_GE(rig.device.Stats().connections, 2u);
    EXPECT_TRUE(RoundTrip(rig.id, 4));
    // The packet log stays with the link and holds the new connection's traffic.
    bool received = false;
    for (int i = 0; i < 50 && !received; i++) {
        uint32_t tag = 0, length = 64;
        uint8_t data[64];
        if (aLink_PacketDebug_Read(rig.id, &tag, &length, data) != aErrNone)
            break;
        received = tag == aPACKETLOG_RECEIVED && std::vector<uint8_t>(data, data + length) ==
                                                     std::vector<uint8_t>{0x02, 0x03, 0x10, 4, 0x20};
    }
    EXPECT_TRUE(received);
}

// A reset re-opens its link outside the link table's lock: against a dead peer it keeps trying
// for about two seconds, during which other links keep their pace and the reset link's own
// calls fail at once; destroying the link ends the reset.
TEST(LinkEngine, ResetAgainstADeadPeerLeavesOtherLinksAlone)
{
    aLinkId dead = aLink_CreateTCPIP(kLoopback, sUnusedPort());  // every re-open is refused
    ASSERT_NE(dead, 0u);
    SimEchoLogic echo;
    SimDevice device(Module(2), &echo);  // the other link: a serial line
    ASSERT_TRUE(device.OpenPty());
    ASSERT_TRUE(device.Start());
    aLinkId live = aLink_CreateSerial(0x5152, device.PtyPath().c_str(), 115200);
    ASSERT_NE(live, 0u);
    aErr resetResult = aErrNone;
    std::thread reset([&] { resetResult = aLink_Reset(dead); });
    const uint8_t data[1] = {0x10};
    aPacket* request = aPacket_CreateWithData(2, 1, data);
    bool resetting = false;
    for (int i = 0; i < 1000 && !resetting; i++) {
        resetting = aLink_PutPacket(dead, request) == aErrBusy;
        if (!resetting)
            aTime_MSSleep(1);
    }
    aPacket_Destroy(&request);
    ASSERT_TRUE(resetting);
    EXPECT_EQ(aLink_Reset(dead), aErrBusy);
    EXPECT_EQ(aLink_AwaitPacket(dead, 1000), nullptr);

    uint64_t slowest = 0;
    for (uint8_t tag = 1; tag <= 20; tag++) {
        const uint64_t start = aTime_MonoMS();
        EXPECT_TRUE(RoundTrip(live, tag));
        slowest = std::max(slowest, aTime_MonoMS() - start);
    }
    EXPECT_LT(slowest, 1000u) << "another link's reset held up a round trip";
    EXPECT_EQ(aLink_Destroy(&dead), aErrNone);
    reset.join();
    EXPECT_EQ(resetResult, aErrCancel);
    aLink_Destroy(&live);
    device.Stop();
}

TEST(LinkEngine, SurvivesTheDeviceDroppingTheConnection)
{
    TcpRig rig;
    ASSERT_TRUE(RoundTrip(rig.id, 1));
    rig.device.DropConnection();
    ASSERT_TRUE(rig.device.WaitFor([](const SimDeviceStats& s) { return s.connections >= 2; }, 3000));
    bool ok = false;
    for (uint8_t tag = 10; tag < 20 && !ok; tag++)
        ok = RoundTrip(rig.id, tag, 500);
    EXPECT_TRUE(ok);
}

TEST(LinkEngine, UnreachableTcpDeviceReportsAnIoFault)
{
    // A port nobody listens on: the link exists and says so through its status.
    aLinkId id = aLink_CreateTCPIP(kLoopback, sUnusedPort());
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(WaitStatus(id, LINK_IO_FAULT));
    EXPECT_EQ(aLink_AwaitPacket(id, 10), nullptr);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkEngine, UserFilterTakesPacketsBeforeEverythingElse)
{
    TcpRig rig(Module(2));
    std::atomic<int> seen{0};
    auto takeAll = [](const aPacket*, void* ref) {
        (*static_cast<std::atomic<int>*>(ref))++;
        return true;
    };
    ASSERT_EQ(aLink_InstallUserPacketFilter(rig.id, takeAll, &seen), aErrNone);
    rig.device.SendHeartbeat();
    uint8_t tag = 5;
    EXPECT_FALSE(RoundTrip(rig.id, tag, 300));
    EXPECT_GE(seen.load(), 2);
    EXPECT_EQ(rig.device.Stats().heartbeatAnswers, 0u);
    EXPECT_EQ(aLink_GetPacket(rig.id), nullptr);

    ASSERT_EQ(aLink_InstallUserPacketFilter(rig.id, nullptr, nullptr), aErrNone);
    EXPECT_TRUE(RoundTrip(rig.id, 6));
    EXPECT_EQ(aLink_InstallUserPacketFilter(0, nullptr, nullptr), aErrParam);
}

TEST(LinkEngine, PacketDebugLogsTrafficBothWays)
{
    TcpRig rig;
    EXPECT_EQ(aLink_PacketDebug_Read(rig.id, nullptr, nullptr, nullptr), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(rig.id, 0x4000001), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(rig.id, 4096), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(rig.id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(rig.id, 4096), aErrBusy);
    ASSERT_TRUE(RoundTrip(rig.id, 9));
    aTime_MSSleep(20);  // the writer logs just after its pause
    bool sent = false, received = false;
    for (int i = 0; i < 50; i++) {
        uint32_t tag = 0, length = 64;
        uint8_t data[64];
        if (aLink_PacketDebug_Read(rig.id, &tag, &length, data) != aErrNone)
            break;
        std::vector<uint8_t> rec(data, data + length);
        if (rec == std::vector<uint8_t>{0x02, 0x03, 0x10, 9, 0x20})
            (tag == 1 ? sent : received) = true;
    }
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received);
    EXPECT_EQ(aLink_PacketDebug_Disable(rig.id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_Enable(0), aErrParam);
}

TEST(LinkEngine, ConcurrentRequestsEachFindTheirReply)
{
    TcpRig rig(Module(2, 20));
    std::atomic<int> ok{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; t++)
        callers.emplace_back([&, t] {
            for (int i = 0; i < 10; i++)
                if (RoundTrip(rig.id, (uint8_t)(t * 16 + i), 3000))
                    ok++;
        });
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(ok.load(), 40);
    EXPECT_EQ(rig.device.Stats().badHeartbeatAnswers, 0u);
}

TEST(LinkEngine, SerialLinkOverAPseudoTerminal)
{
    SimEchoLogic echo;
    SimDevice device(Module(2, 30), &echo);
    ASSERT_TRUE(device.OpenPty());
    ASSERT_TRUE(device.Start());
    EXPECT_EQ(aLink_CreateSerial(0x5151, device.PtyPath().c_str(), 14400), 0u);
    aLinkId id = aLink_CreateSerial(0x5150, device.PtyPath().c_str(), 115200);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(device.WaitFor([](const SimDeviceStats& s) { return s.linkOpens >= 1; }, 3000));
    std::vector<uint8_t> rx = device.Received();
    EXPECT_EQ(std::vector<uint8_t>(rx.begin(), rx.begin() + 3), (std::vector<uint8_t>{0xAF, 0x01, 0x01}));
    EXPECT_TRUE(RoundTrip(id, 1));
    EXPECT_EQ(aLink_CreateSerial(0x5150, "/dev/null", 9600), id);  // shared by serial number
    aLinkId shared = id;
    aLink_Destroy(&shared);

    // A serial link cannot be re-opened from an address: the reset is refused and the link
    // goes on as it was.
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_TRUE(RoundTrip(id, 2));
    ASSERT_TRUE(device.WaitFor([](const SimDeviceStats& s) { return s.heartbeatAnswers >= 2; }, 3000));

    aLink_Destroy(&id);
    ASSERT_TRUE(device.WaitFor([](const SimDeviceStats& s) { return s.linkCloses >= 1; }, 3000));
    rx = device.Received();
    EXPECT_EQ(std::vector<uint8_t>(rx.end() - 3, rx.end()), (std::vector<uint8_t>{0xAF, 0x01, 0x00}));
    device.Stop();
}

namespace {

aErr FdGet(uint8_t* b, void* ref)
{
    ssize_t n = recv(*static_cast<int*>(ref), b, 1, MSG_DONTWAIT);
    return n == 1 ? aErrNone : (n < 0 && errno == EAGAIN ? aErrNotReady : aErrIO);
}
aErr FdWrite(const uint8_t* b, size_t n, void* ref)
{
    return send(*static_cast<int*>(ref), b, n, MSG_NOSIGNAL) == (ssize_t)n ? aErrNone : aErrIO;
}
aErr FdPut(const uint8_t* b, void* ref)
{
    return FdWrite(b, 1, ref);
}
aErr FdDelete(void* ref)
{
    close(*static_cast<int*>(ref));
    return aErrNone;
}

}  // namespace

TEST(LinkEngine, LinkOnACallersStreamWithoutReadinessWait)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    SimEchoLogic echo;
    SimDevice device(Module(2, 25), &echo);
    ASSERT_TRUE(device.AttachFd(pair[1]));
    ASSERT_TRUE(device.Start());
    static int hostFd;
    hostFd = pair[0];
    aStream* stream = aStream_Create(FdGet, FdPut, FdWrite, FdDelete, &hostFd);
    aLinkId id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(RoundTrip(id, 1));
    ASSERT_TRUE(device.WaitFor([](const SimDeviceStats& s) { return s.heartbeatAnswers >= 2; }, 3000));
    EXPECT_EQ(aLink_Reset(id), aErrParam);  // nothing to re-open it from
    EXPECT_TRUE(RoundTrip(id, 2));
    aLink_Destroy(&id);
    device.Stop();
}
