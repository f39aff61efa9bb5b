// Packet FIFOs: ordering, filters, the overflow rule, timed waits and destruction while other
// threads are inside.
// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "aPacketFifo.h"
#include "aTime.h"

namespace {

aErr PutTagged(aPacketFifoId fifo, uint8_t tag)
{
    aPacket* p = aPacket_CreateWithData(2, 1, &tag);
    aErr err = aPacketFifo_Put(fifo, p);
    aPacket_Destroy(&p);
    return err;
}

// Takes a packet and returns its tag (-1 for none).
int Tag(aPacket* p)
{
    if (!p)
        return -1;
    int tag = p->data[0];
    aPacket_Destroy(&p);
    return tag;
}

bool TagIs(const aPacket* p, void* ref)
{
    return p->data[0] == *static_cast<uint8_t*>(ref);
}

bool TagBelow(const aPacket* p, void* ref)
{
    return p->data[0] < *static_cast<uint8_t*>(ref);
}

struct Fifo {
    aPacketFifoId id = aPacketFifo_Create();
    ~Fifo()
    {
        if (id)
            aPacketFifo_Destroy(&id);
    }
};

int64_t ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

TEST(PacketFifo, IdentifiersAreConsecutiveAndNeverReused)
{
    aPacketFifoId a = aPacketFifo_Create();
    aPacketFifoId b = aPacketFifo_Create();
    EXPECT_EQ(b, a + 1);
    aPacketFifoId stale = a;
    EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
    EXPECT_EQ(PutTagged(stale, 1), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(stale), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(stale), 0);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    aPacketFifoId c = aPacketFifo_Create();
    EXPECT_GT(c, b);
    aPacketFifo_Destroy(&b);
    aPacketFifo_Destroy(&c);
}

TEST(PacketFifo, TwentyFirstPacketEmptiesTheFifo)
{
    Fifo f;
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(PutTagged(f.id, (uint8_t)i), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 20);
    EXPECT_EQ(PutTagged(f.id, 20), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0);
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
    // Still usable afterwards, in order.
    PutTagged(f.id, 7);
    PutTagged(f.id, 8);
    EXPECT_EQ(Tag(aPacketFifo_Get(f.id)), 7);
    EXPECT_EQ(Tag(aPacketFifo_Get(f.id)), 8);
}

TEST(PacketFifo, FiltersTakeFromAnywhereAndKeepTheRestInOrder)
{
    Fifo f;
    for (uint8_t t : {1, 2, 3})
        PutTagged(f.id, t);
    uint8_t want = 2;
    EXPECT_EQ(Tag(aPacketFifo_GetFirst(f.id, TagIs, &want)), 2);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 2);
    // Removing the tail and then putting must keep the list linked correctly.
    want = 3;
    EXPECT_EQ(Tag(aPacketFifo_GetFirst(f.id, TagIs, &want)), 3);
    PutTagged(f.id, 4);
    want = 9;
    EXPECT_EQ(aPacketFifo_GetFirst(f.id, TagIs, &want), nullptr);
    EXPECT_EQ(Tag(aPacketFifo_Get(f.id)), 1);
    EXPECT_EQ(Tag(aPacketFifo_Get(f.id)), 4);
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);

    for (uint8_t t : {1, 2, 3})
        PutTagged(f.id, t);
    uint8_t below = 3;
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, TagBelow, &below), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1);
    PutTagged(f.id, 5);  // the tail must have moved with the drain
    EXPECT_EQ(Tag(aPacketFifo_Get(f.id)), 3);
    EXPECT_EQ(Tag(aPacketFifo_Get(f.id)), 5);
}

TEST(PacketFifo, AwaitTimesOutAfterTheFullTime)
{
    Fifo f;
    // Several waits, so that the sub-second part of the clock varies between them.
    for (int i = 0; i < 3; i++) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(aPacketFifo_Await(f.id, 500), nullptr);
        int64_t ms = ElapsedMs(start);
        EXPECT_GE(ms, 495);
        EXPECT_LT(ms, 5000);
        aTime_MSSleep(130);
    }
    uint8_t want = 1;
    auto start = std::chrono::steady_clock::now();
    PutTagged(f.id, 2);  // present but never selected
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, TagIs, &want, 300), nullptr);
    EXPECT_GE(ElapsedMs(start), 295);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1);
}

TEST(PacketFifo, WaitersWithDifferentFiltersEachGetTheirPacket)
{
    Fifo f;
    PutTagged(f.id, 9);  // a packet nobody waits for stays put
    uint8_t wantA = 1, wantB = 2;
    int gotA = -1, gotB = -1;
    std::thread a([&] { gotA = Tag(aPacketFifo_AwaitFirst(f.id, TagIs, &wantA, 3000)); });
    std::thread b([&] { gotB = Tag(aPacketFifo_AwaitFirst(f.id, TagIs, &wantB, 3000)); });
    aTime_MSSleep(50);
    PutTagged(f.id, 2);
    PutTagged(f.id, 1);
    a.join();
    b.join();
    EXPECT_EQ(gotA, 1);
    EXPECT_EQ(gotB, 2);
    EXPECT_EQ(Tag(aPacketFifo_Get(f.id)), 9);

    int got = -1;
    std::thread c([&] { got = Tag(aPacketFifo_Await(f.id, 3000)); });
    aTime_MSSleep(30);
    PutTagged(f.id, 4);
    c.join();
    EXPECT_EQ(got, 4);
}

TEST(PacketFifo, DestroyWakesEveryWaiterPromptly)
{
    aPacketFifoId id = aPacketFifo_Create();
    std::atomic<int> returned{0};
    std::vector<std::thread> waiters;
    uint8_t want = 1;
    for (int i = 0; i < 4; i++)
        waiters.emplace_back([&, i] {
            aPacket* p = i % 2 ? aPacketFifo_Await(id, 10000) : aPacketFifo_AwaitFirst(id, TagIs, &want, 10000);
            EXPECT_EQ(p, nullptr);
            returned++;
        });
    aTime_MSSleep(100);
    auto start = std::chrono::steady_clock::now();
    aPacketFifoId destroyId = id;
    EXPECT_EQ(aPacketFifo_Destroy(&destroyId), aErrNone);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(returned, 4);
    EXPECT_LT(ElapsedMs(start), 2000);  // not the 10 s of their time-out
}

TEST(PacketFifo, DestroyWhileOtherThreadsAreInsideIsSafe)
{
    // Under ASan or TSan a FIFO freed under a thread still inside it shows up here.
    for (int round = 0; round < 30; round++) {
        aPacketFifoId id = aPacketFifo_Create();
        std::atomic<bool> go{true};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; t++)
            threads.emplace_back([&, t] {
                uint8_t want = (uint8_t)t;
                while (go) {
                    PutTagged(id, (uint8_t)t);
                    Tag(aPacketFifo_AwaitFirst(id, TagIs, &want, 2));
                    aPacketFifo_GetLength(id);
                    aPacketFifo_DrainPackets(id, TagIs, &want);
                }
            });
        aTime_MSSleep(3);
        aPacketFifoId destroyId = id;
        EXPECT_EQ(aPacketFifo_Destroy(&destroyId), aErrNone);
        EXPECT_EQ(PutTagged(id, 1), aErrParam);
        go = false;
        for (auto& t : threads)
            t.join();
    }
}
