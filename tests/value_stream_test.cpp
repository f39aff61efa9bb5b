// Value streams: sample decoding, the lock-free callback queue, and the stream filter, map and
// callback worker of a Link connected over a real TCP link on 127.0.0.1 to the simulated
// module (which streams its system entity's options when asked, and lets tests inject samples).
// test-labels: threads
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Entity.h"
#include "Link.h"
#include "LocklessQueue.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"

using namespace Vantorix;
using namespace Vantorix::Strandix;

namespace {

const uint8_t kModule = 4;

// The sample packet data of a stream: command, option, index, type, time stamp, value, trailer.
std::vector<uint8_t> sSampleData(uint8_t command, uint8_t option, uint8_t index, uint8_t type, uint64_t stamp,
                                 uint32_t value)
{
    std::vector<uint8_t> d = {command, option, (uint8_t)(index | 0x40), type};
    for (int shift = 56; shift >= 0; shift -= 8)
        d.push_back((uint8_t)(stamp >> shift));
    int bytes = (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4;
    for (int i = bytes - 1; i >= 0; i--)
        d.push_back((uint8_t)(value >> (8 * i)));
    d.push_back(0);
    return d;
}

SimPacket sSimPacket(uint8_t address, const std::vector<uint8_t>& data)
{
    SimPacket p;
    p.address = address;
    for (uint8_t b : data)
        p.data[p.length++] = b;
    return p;
}

aPacket* sPacket(uint8_t address, const std::vector<uint8_t>& data)
{
    return aPacket_CreateWithData(address, (uint8_t)data.size(), data.data());
}

// Polls cond every millisecond for at most ms.
bool sEventually(const std::function<bool()>& cond, int ms = 3000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

bool sAnyStreamPacket(const aPacket* packet, void*)
{
    return Link::isStreamPacket(packet);
}

// A simulated module at address 4 on 127.0.0.1 and a Module connected to it.
struct StreamSim {
    SimModuleConfig config;
    std::unique_ptr<SimModuleLogic> logic;
    std::unique_ptr<SimDevice> device;
    std::unique_ptr<Module> module;

    StreamSim()
    {
        config.address = kModule;
        config.router = kModule;
        config.serialNumber = 0x5EA0C0DE;
        logic.reset(new SimModuleLogic(config));
        logic->Streams().SetPeriod(0);  // on change only, unless a test asks for a schedule
        SimDeviceConfig wire;
        wire.serialNumber = config.serialNumber;
        wire.moduleAddress = kModule;
        wire.idleTimeoutMs = 60000;
        device.reset(new SimDevice(wire, logic.get()));
        EXPECT_TRUE(device->ListenTcp(0));
        EXPECT_TRUE(device->Start());
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serial_number = config.serialNumber;
        spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
        spec.t.ip.ip_port = device->Port();
        module.reset(new Module(kModule, false, 0));
        EXPECT_EQ(aErrNone, module->connectFromSpec(spec));
    }
    ~StreamSim()
    {
        module.reset();
        device->Stop();
    }
    Link& link() { return *module->getLink(); }
    void inject(const std::vector<uint8_t>& data, uint8_t address = kModule) { device->Send(sSimPacket(address, data)); }
    // A non-stream packet after the ones before it: once it is in the input, they were handled.
    void barrier()
    {
        inject({0x17, 0x55});
        uint8_t match[2] = {0x17, 0x55};
        aPacket* p = aLink_AwaitFirst(link().getLinkId(),
                                      [](const aPacket* q, void* ref) {
                                          const uint8_t* m = static_cast<const uint8_t*>(ref);
                                          return q->length == 2 && q->data[0] == m[0] && q->data[1] == m[1];
                                      },
                                      match, 3000);
        ASSERT_NE(nullptr, p);
        aPacket_Destroy(&p);
    }
};

// Counts calls and remembers the values and the threads they came on.
struct CallRecord {
    std::mutex mutex;
    std::vector<uint8_t> options;
    std::vector<std::thread::id> threads;
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return options.size();
    }
    StreamCallback callback()
    {
        return [this](const aPacket* packet, void*) {
            std::lock_guard<std::mutex> lock(mutex);
            options.push_back(packet->data[1]);
            threads.push_back(std::this_thread::get_id());
            return aErrNone;
        };
    }
};

}  // namespace

TEST(StreamSample, KeysAndDecoding)
{
    EXPECT_EQ(0x12040A0301ull, Link::createStreamKey(4, 0x0A, 3, 1, 0x12));
    EXPECT_EQ(0x12, Link::getStreamKeyElement(0x12040A0301ull, STREAM_KEY_SUBINDEX));
    EXPECT_EQ(0x0A, Link::getStreamKeyElement(0x12040A0301ull, STREAM_KEY_COMMAND));
    EXPECT_EQ(0, Link::getStreamKeyElement(0x12040A0301ull, 5));

    // The 32-bit sample of option 3, index 1 of command 10 on module 4.
    std::vector<uint8_t> data = {0x0A, 0x03, 0x41, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0x00, 0x00, 0x12, 0x34, 0x00};
    aPacket* p = sPacket(4, data);
    uint8_t type = 0;
    EXPECT_TRUE(Link::getStreamPacketType(p, &type));
    EXPECT_EQ(3, type);
    EXPECT_TRUE(Link::isStreamSample(p));
    uint64_t stamp = 0;
    uint32_t value = 0;
    uint8_t sub = 0xEE;
    ASSERT_EQ(aErrNone, Link::getStreamSample(p, &stamp, &value, &sub));
    EXPECT_EQ(0x0000000100000002ull, stamp);
    EXPECT_EQ(0x1234u, value);
    EXPECT_EQ(0, sub);
    EXPECT_EQ(0x040A0301ull, Link::createStreamKey(p->address, p->data[0], p->data[1] & 0x3F, p->data[2] & 0x1F, sub));
    uint32_t high = 0, low = 0;
    Link::getTimestampParts(stamp, &high, &low);
    EXPECT_EQ(1u, high);
    EXPECT_EQ(2u, low);
    aPacket_Destroy(&p);

    // One byte short: still a stream packet (its last byte reads as a byte-run trailer), no sample.
    data.pop_back();
    p = sPacket(4, data);
    EXPECT_TRUE(Link::isStreamPacket(p));
    EXPECT_TRUE(Link::getStreamPacketType(p, &type));
    EXPECT_EQ(4, type);
    EXPECT_FALSE(Link::isStreamSample(p));
    EXPECT_EQ(aErrSize, Link::getStreamSample(p, nullptr, &value, nullptr));
    aPacket_Destroy(&p);

    // A sub-indexed 16-bit sample; a trailer of 0 but the wrong length is no sample either.
    std::vector<uint8_t> sub16 = {0x0A, 0x05, 0x42, 0x06, 0x07, 0, 0, 0, 0, 0, 0, 0, 9, 0xBE, 0xEF, 0x00};
    p = sPacket(6, sub16);
    ASSERT_EQ(aErrNone, Link::getStreamSample(p, &stamp, &value, &sub));
    EXPECT_EQ(7, sub);
    EXPECT_EQ(9u, stamp);
    EXPECT_EQ(0xBEEFu, value);
    aPacket_Destroy(&p);
    sub16.insert(sub16.begin() + 13, 0x00);
    p = sPacket(6, sub16);
    EXPECT_EQ(aErrPacket, Link::getStreamSample(p, nullptr, nullptr, nullptr));
    aPacket_Destroy(&p);

    // Not stream packets: command 8, a get/set option, no stream flag, too short, unknown type.
    const std::vector<std::vector<uint8_t>> others = {
        {0x08, 0x03, 0x41, 0x03, 0x00}, {0x0A, 0x43, 0x41, 0x03, 0x00}, {0x0A, 0x03, 0x01, 0x03, 0x00},
        {0x0A, 0x03, 0x41, 0x00},       {0x0A, 0x03, 0x41, 0x09, 0x00}};
    for (const auto& other : others) {
        p = sPacket(4, other);
        EXPECT_FALSE(Link::getStreamPacketType(p, &type));
        EXPECT_EQ(0, type);
        EXPECT_EQ(aErrPacket, Link::getStreamSample(p, nullptr, nullptr, nullptr));
        aPacket_Destroy(&p);
    }
}

TEST(StreamQueue, HoldsOneLessThanItsSlotsAndKeepsOrder)
{
    LocklessQueue_SPSC<int> queue(500);
    for (int i = 0; i < 499; i++)
        ASSERT_TRUE(queue.push(int(i)));
    EXPECT_FALSE(queue.push(499));
    int out = -1;
    for (int i = 0; i < 499; i++) {
        ASSERT_TRUE(queue.pop(out));
        ASSERT_EQ(i, out);
    }
    EXPECT_FALSE(queue.pop(out));

    // One producer and one consumer thread: everything arrives once, in order, across many
    // wraps of a small ring.
    LocklessQueue_SPSC<uint32_t> ring(7);
    const uint32_t total = 200000;
    std::thread producer([&] {
        for (uint32_t i = 0; i < total;) {
            if (ring.push(uint32_t(i)))
                i++;
            else
                std::this_thread::yield();
        }
    });
    uint32_t expected = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (expected < total && std::chrono::steady_clock::now() < deadline) {
        uint32_t v = 0;
        if (ring.pop(v)) {
            ASSERT_EQ(expected, v);
            expected++;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(total, expected);
}

TEST(ValueStreams, WildcardCallbackAnswersLaterGets)
{
    // What the callbacks use outlives the link (declared first, destroyed last).
    CallRecord calls;
    int token = 0;
    StreamSim sim;
    Link& link = sim.link();
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, 0x0A, 0xFF, 1, true, calls.callback(), &token));
    EXPECT_TRUE(sim.logic->Streams().Streaming(kModule));
    uint8_t streaming = 0;
    ASSERT_EQ(aErrNone, link.isLinkStreaming(kModule, &streaming));
    EXPECT_EQ(1, streaming);

    // Nothing streamed yet: the registration alone holds no value.
    uint32_t value = 0;
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, 0x0A, 3, 1, 0, &value));

    sim.inject(sSampleData(0x0A, 3, 1, 3, 0x100000002ull, 0x1234));
    sim.inject(sSampleData(0x0A, 5, 1, 1, 7, 0x42));
    sim.inject(sSampleData(0x0A, 5, 2, 1, 7, 0x43));  // another index: not registered
    sim.barrier();
    ASSERT_TRUE(sEventually([&] { return calls.count() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> lock(calls.mutex);
        EXPECT_EQ((std::vector<uint8_t>{3, 5}), calls.options);
        for (auto id : calls.threads)
            EXPECT_NE(std::this_thread::get_id(), id);
    }
    // Stream packets never reach the input, matched or not.
    EXPECT_EQ(nullptr, aLink_GetFirst(link.getLinkId(), sAnyStreamPacket, nullptr));

    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, 0x0A, 3, 1, 0, &value));
    EXPECT_EQ(0x1234u, value);
    EXPECT_EQ(aErrStreamStale, link.getStreamValue(kModule, 0x0A, 3, 1, 0, &value));
    EXPECT_EQ(0x1234u, value);
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, 0x0A, 5, 2, 0, &value));

    // The entity's gets are answered from the stream without asking the device (which has no
    // command 10 and would refuse).
    EntityClass entity;
    entity.init(sim.module.get(), 0x0A, 1);
    uint8_t byte = 0;
    EXPECT_EQ(aErrNone, entity.getUEI8(5, &byte));
    EXPECT_EQ(0x42, byte);
    EXPECT_EQ(aErrStreamStale, entity.getUEI8(5, &byte));
    EXPECT_EQ(aErrInvalidEntity, entity.getUEI8(7, &byte));

    std::map<uint64_t, uint32_t> status = {{1, 1}};
    ASSERT_EQ(aErrNone, entity.getStreamStatus(&status));
    EXPECT_EQ((std::map<uint64_t, uint32_t>{{0x040A0301ull, 0x1234}, {0x040A0501ull, 0x42}}), status);
    EXPECT_EQ(aErrParam, link.getStreamStatus(kModule, 0x0A, 0xFF, 1, 0xFF, nullptr));

    // The 16-byte variant is no sample: it goes to the input and changes no value.
    std::vector<uint8_t> cut = sSampleData(0x0A, 3, 1, 3, 9, 0x9999);
    cut.pop_back();
    sim.inject(cut);
    sim.barrier();
    aPacket* notSample = aLink_GetFirst(link.getLinkId(), sAnyStreamPacket, nullptr);
    EXPECT_NE(nullptr, notSample);
    aPacket_Destroy(&notSample);
    EXPECT_EQ(aErrStreamStale, link.getStreamValue(kModule, 0x0A, 3, 1, 0, &value));
    EXPECT_EQ(0x1234u, value);

    // Replies that look like stream packets reach the caller waiting for them while streams are
    // registered: an information reply about a command with bit 6 set, as a byte run (the
    // device refuses the command) and with the trailer 0.
    EXPECT_EQ(aErrInvalidEntity, sim.module->hasUEI(0x5F, 0x02, 0x00, 0));
    sim.inject({0x49, 0x01, 0x5F, 0x02, 0x00, 0x00});
    const uint8_t match[] = {0x49, 0x01, 0x5F};
    uint8_t length = sizeof(match);
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, match, &length, reply, 2000));
    EXPECT_EQ((std::vector<uint8_t>{0x49, 0x01, 0x5F, 0x02, 0x00, 0x00}), std::vector<uint8_t>(reply, reply + length));
}

TEST(ValueStreams, RefusalsAndRemovingTheLastEntry)
{
    StreamSim sim;
    Link& link = sim.link();

    // Odd or 0xFF module addresses are refused before anything is sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const size_t before = sim.device->Received().size();
    EXPECT_EQ(aErrParam, link.enableStream(5, 0x0A, 3, 1, true));
    EXPECT_EQ(aErrParam, link.enableStream(0xFF, 0x0A, 3, 1, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(before, sim.device->Received().size());
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());

    // A device that refuses: its code comes back and the local entry goes again.
    sim.logic->SetAnswerAbsent(true);
    EXPECT_EQ(aErrConnection, link.enableStream(6, 0x0A, 3, 1, true));
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
    sim.inject(sSampleData(0x0A, 3, 1, 3, 1, 1), 6);
    aPacket* p = aLink_AwaitFirst(link.getLinkId(), sAnyStreamPacket, nullptr, 2000);
    EXPECT_NE(nullptr, p);
    aPacket_Destroy(&p);

    // Two registrations; removing one keeps the filter, removing the last lets samples through.
    ASSERT_EQ(aErrNone, link.enableStream(kModule, 0x0A, 3, 1, true));
    ASSERT_EQ(aErrNone, link.enableStream(kModule, 0x0B, 0xFF, 0, true));
    EXPECT_EQ(2u, link.filterActiveStreamKeys(kModule, 0xFF, 0xFF, 0xFF, 0xFF).size());
    ASSERT_EQ(aErrNone, link.enableStream(kModule, 0x0A, 3, 1, false));
    sim.inject(sSampleData(0x0B, 2, 0, 1, 1, 1));
    sim.barrier();
    EXPECT_EQ(nullptr, aLink_GetFirst(link.getLinkId(), sAnyStreamPacket, nullptr));
    ASSERT_EQ(aErrNone, link.enableStream(kModule, 0x0B, 0xFF, 0, false));
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
    uint32_t value = 0;
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, 0x0B, 2, 0, 0, &value));
    EXPECT_FALSE(sim.logic->Streams().Streaming(kModule));
    uint8_t streaming = 1;
    ASSERT_EQ(aErrNone, link.isLinkStreaming(kModule, &streaming));
    EXPECT_EQ(0, streaming);
    sim.inject(sSampleData(0x0B, 2, 0, 1, 1, 1));
    p = aLink_AwaitFirst(link.getLinkId(), sAnyStreamPacket, nullptr, 2000);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0x0B, p->data[0]);
    aPacket_Destroy(&p);

    // Without a connection nothing can be registered.
    ASSERT_EQ(aErrNone, link.disconnect());
    EXPECT_EQ(aErrConfiguration, link.enableStream(kModule, 0x0A, 3, 1, true));
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
    EntityClass unbound;
    EXPECT_EQ(aErrResource, unbound.setStreamEnabled(true));
}

TEST(ValueStreams, StreamsSurviveALinkReset)
{
    StreamSim sim;
    Link& link = sim.link();
    ASSERT_EQ(aErrNone, link.enableStream(kModule, 0x0A, 3, 1, true));
    ASSERT_EQ(aErrNone, link.reset());
    ASSERT_TRUE(sEventually([&] { return link.getStatus() == LINK_RUNNING && sim.device->Stats().connections >= 2; }));
    sim.inject(sSampleData(0x0A, 3, 1, 3, 0, 0x77));
    sim.barrier();
    EXPECT_EQ(nullptr, aLink_GetFirst(link.getLinkId(), sAnyStreamPacket, nullptr));
    uint32_t value = 0;
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, 0x0A, 3, 1, 0, &value));
    EXPECT_EQ(0x77u, value);
}

TEST(ValueStreams, StalledWorkerDropsTheCallThatDoesNotFitAndNeverHoldsUpTheReader)
{
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<int> calls{0};
    std::atomic<bool> entered{false};
    StreamSim sim;
    Link& link = sim.link();
    StreamCallback stall = [&](const aPacket*, void*) {
        if (!entered.exchange(true)) {
            std::unique_lock<std::mutex> lock(mutex);
            released.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
        }
        calls++;
        return aErrNone;
    };
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, 0x0A, 3, 1, true, stall, nullptr));
    sim.inject(sSampleData(0x0A, 3, 1, 3, 0, 0));
    ASSERT_TRUE(sEventually([&] { return entered.load(); }));

    // The worker is stuck in its first call: 499 calls fit in the queue, the 500th does not.
    for (uint32_t i = 1; i <= 500; i++)
        sim.inject(sSampleData(0x0A, 3, 1, 3, i, i));
    uint32_t value = 0;
    ASSERT_TRUE(sEventually([&] { return link.getStreamValue(kModule, 0x0A, 3, 1, 0, &value) == aErrNone && value == 500; },
                            10000));
    EXPECT_EQ(1u, link.droppedStreamCalls());

    // The reader goes on: an ordinary exchange with the device still works.
    EntityClass system;
    system.init(sim.module.get(), 3, 0);
    uint32_t serial = 0;
    EXPECT_EQ(aErrNone, system.getUEI32(9, &serial));
    EXPECT_EQ(0x5EA0C0DEu, serial);

    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    ASSERT_TRUE(sEventually([&] { return calls.load() == 500; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(500, calls.load());
}

TEST(ValueStreams, RemovalWaitsForARunningCallbackAndACallbackMayRemoveItself)
{
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    std::atomic<aErr> selfResult{aErrUnknown};
    std::atomic<bool> selfDone{false};
    CallRecord again;
    StreamSim sim;
    Link& link = sim.link();
    StreamCallback slow = [&](const aPacket*, void*) {
        calls++;
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        finished = true;
        return aErrNone;
    };
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, 0x0A, 3, 1, true, slow, nullptr));
    sim.inject(sSampleData(0x0A, 3, 1, 3, 0, 1));
    sim.inject(sSampleData(0x0A, 3, 1, 3, 0, 2));
    ASSERT_TRUE(sEventually([&] { return inside.load(); }));
    ASSERT_EQ(aErrNone, link.enableStream(kModule, 0x0A, 3, 1, false));
    // Once removed, no callback runs any more; the queued second call was released unrun.
    EXPECT_TRUE(finished.load());
    const int seen = calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen, calls.load());

    // A callback that removes its own registration (from the worker thread) must not wait for
    // itself; the link streams again afterwards with a fresh worker.
    StreamCallback once = [&](const aPacket*, void*) {
        if (!selfDone.load()) {
            selfResult = link.enableStream(kModule, 0x0A, 4, 1, false);
            selfDone = true;
        }
        return aErrNone;
    };
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, 0x0A, 4, 1, true, once, nullptr));
    sim.inject(sSampleData(0x0A, 4, 1, 3, 0, 1));
    ASSERT_TRUE(sEventually([&] { return selfDone.load(); }));
    EXPECT_EQ(aErrNone, selfResult.load());
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, 0x0A, 4, 1, true, again.callback(), nullptr));
    sim.inject(sSampleData(0x0A, 4, 1, 3, 0, 2));
    EXPECT_TRUE(sEventually([&] { return again.count() == 1; }));

    // Destroying the connected module (and its link) with a callback running waits for it.
    inside = false;
    finished = false;
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, 0x0A, 3, 1, true, slow, nullptr));
    sim.inject(sSampleData(0x0A, 3, 1, 3, 0, 3));
    ASSERT_TRUE(sEventually([&] { return inside.load(); }));
    sim.module.reset();
    EXPECT_TRUE(finished.load());
}

TEST(ValueStreams, SimulatedDeviceStreamsTheSystemEntity)
{
    std::atomic<int> calls{0};
    std::atomic<uint32_t> lastValue{0};
    std::atomic<bool> onCaller{false};
    const std::thread::id caller = std::this_thread::get_id();
    StreamSim sim;
    EntityClass system;
    system.init(sim.module.get(), 3, 0);
    StreamCallback watch = [&](const aPacket* packet, void*) {
        uint32_t v = 0;
        if (Link::getStreamSample(packet, nullptr, &v, nullptr) == aErrNone && packet->data[1] == 0x16) {
            lastValue = v;
            calls++;
        }
        if (std::this_thread::get_id() == caller)
            onCaller = true;
        return aErrNone;
    };
    ASSERT_EQ(aErrNone, system.setStreamEnabled(true));
    ASSERT_EQ(aErrNone, system.registerOptionCallback(0x16, true, watch, nullptr));

    // A reading that moves on the device arrives as a sample: fresh once, then stale.
    sim.logic->SetSystemValue(kModule, 0x16, 77);
    ASSERT_TRUE(sEventually([&] { return lastValue.load() == 77; }));
    uint32_t value = 0;
    EXPECT_EQ(aErrNone, system.getUEI32(0x16, &value));
    EXPECT_EQ(77u, value);
    EXPECT_EQ(aErrStreamStale, system.getUEI32(0x16, &value));
    EXPECT_EQ(77u, value);
    // A value the host sets streams back as well.
    ASSERT_EQ(aErrNone, system.setUEI8(0x26, 3));
    uint8_t byte = 0;
    ASSERT_TRUE(sEventually([&] { return system.getUEI8(0x26, &byte) == aErrNone; }));
    EXPECT_EQ(3, byte);
    std::map<uint64_t, uint32_t> status;
    ASSERT_EQ(aErrNone, system.getStreamStatus(&status));
    EXPECT_EQ(77u, status[Link::createStreamKey(kModule, 3, 0x16, 0, 0)]);
    EXPECT_EQ(3u, status[Link::createStreamKey(kModule, 3, 0x26, 0, 0)]);

    // On a schedule every streamed option comes again and again.
    sim.logic->Streams().SetPeriod(20);
    const int before = calls.load();
    EXPECT_TRUE(sEventually([&] { return calls.load() >= before + 3; }));
    EXPECT_TRUE(sEventually([&] { return system.getUEI32(9, &value) == aErrNone; }));
    EXPECT_EQ(0x5EA0C0DEu, value);
    EXPECT_FALSE(onCaller.load());

    // Off again: the device stops, and gets go to the device.
    ASSERT_EQ(aErrNone, system.setStreamEnabled(false));
    EXPECT_FALSE(sim.logic->Streams().Streaming(kModule));
    EXPECT_TRUE(sim.link().filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
    uint8_t streaming = 1;
    ASSERT_EQ(aErrNone, sim.link().isLinkStreaming(kModule, &streaming));
    EXPECT_EQ(0, streaming);
    sim.logic->SetSystemValue(kModule, 0x16, 78);
    EXPECT_EQ(aErrNone, system.getUEI32(0x16, &value));
    EXPECT_EQ(78u, value);
    EXPECT_EQ(aErrNone, system.getUEI32(0x16, &value));
}
