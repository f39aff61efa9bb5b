// UEI packet layouts, reply decoding and the reply filters over a packet FIFO.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "aPacketFifo.h"
#include "aUEI.h"

namespace {

struct Captured {
    std::vector<aPacket> packets;
};

aErr sCapture(const aPacket* packet, void* ref)
{
    static_cast<Captured*>(ref)->packets.push_back(*packet);
    return aErrNone;
}

std::vector<uint8_t> sData(const aPacket& p)
{
    return std::vector<uint8_t>(p.data, p.data + p.length);
}

aPacket sPacket(uint8_t address, std::vector<uint8_t> data)
{
    aPacket* made = aPacket_CreateWithData(address, (uint8_t)data.size(), data.data());
    aPacket copy = *made;
    aPacket_Destroy(&made);
    return copy;
}

uei sHeader(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    uei u{};
    u.module = module;
    u.command = command;
    u.option = option;
    u.specifier = index;
    return u;
}

}  // namespace

TEST(UEILayout, RequestsOfEveryTypeAndTheirReplies)
{
    // A set of option 2 on entity 0 of command 0x0C at module 6 with the byte 1.
    uei set = sHeader(6, 0x0C, 2 | aUEI_SET, aUEI_INDEX_FLAG);
    set.type = ueiTypeByte;
    set.v.byteVal = 1;
    Captured out;
    ASSERT_EQ(aErrNone, aUEI_Encode(&set, sCapture, &out));
    ASSERT_EQ(1u, out.packets.size());
    EXPECT_EQ(6, out.packets[0].address);
    EXPECT_EQ((std::vector<uint8_t>{0x0C, 0x82, 0x20, 0x01}), sData(out.packets[0]));

    // Its error reply carries the device's code.
    uei reply = sHeader(6, 0x0C, 2 | aUEI_SET_REPLY, 0);
    aPacket error = sPacket(6, {0x0C, 0xC2, 0x80, 0x15});
    ASSERT_TRUE(aUEI_Filter(&error, &reply));
    aUEI_Decode(&error, &reply);
    EXPECT_TRUE(aUEI_IsError(&reply));
    EXPECT_EQ(0x15, reply.v.byteVal);

    // Values are big-endian; the length gives the type.
    uei get = sHeader(6, 3, 9, 0);
    aPacket intReply = sPacket(6, {0x03, 0x09, 0x00, 0x00, 0x01, 0x02, 0x03});
    ASSERT_TRUE(aUEI_Filter(&intReply, &get));
    aUEI_Decode(&intReply, &get);
    EXPECT_FALSE(aUEI_IsError(&get));
    EXPECT_EQ(ueiTypeInt, get.type);
    EXPECT_EQ(0x00010203u, get.v.intVal);

    aPacket shortReply = sPacket(6, {0x03, 0x09, 0x00, 0xAB, 0xCD});
    aUEI_Decode(&shortReply, &get);
    EXPECT_EQ(ueiTypeShort, get.type);
    EXPECT_EQ(0xABCD, get.v.shortVal);

    // A length without a type leaves the value alone.
    get.type = ueiTypeVoid;
    aPacket odd = sPacket(6, {0x03, 0x09, 0x00, 1, 2, 3});
    aUEI_Decode(&odd, &get);
    EXPECT_EQ(ueiTypeVoid, get.type);

    uei word = sHeader(6, 3, 0x22 | aUEI_SET, aUEI_INDEX_FLAG);
    word.type = ueiTypeInt;
    word.v.intVal = 0x11223344;
    out.packets.clear();
    ASSERT_EQ(aErrNone, aUEI_EncodeWithSubIndex(&word, 2, sCapture, &out));
    EXPECT_EQ((std::vector<uint8_t>{0x03, 0xA2, 0x20, 0x02, 0x11, 0x22, 0x33, 0x44}), sData(out.packets[0]));

    uei sub = sHeader(6, 3, 1 | aUEI_GET, aUEI_INDEX_FLAG);
    sub.type = ueiTypeVoid;
    out.packets.clear();
    ASSERT_EQ(aErrNone, aUEI_EncodeWithSubIndex(&sub, 2, sCapture, &out));
    EXPECT_EQ((std::vector<uint8_t>{0x03, 0x41, 0x20, 0x02}), sData(out.packets[0]));
}

TEST(UEILayout, FilterComparesAddressCommandOptionAndIndex)
{
    uei want = sHeader(4, 3, 9, 1);
    aPacket ok = sPacket(4, {3, 9, 0x21, 0});  // index flags are ignored
    aPacket otherModule = sPacket(6, {3, 9, 1, 0});
    aPacket otherOption = sPacket(4, {3, 0x49, 1, 0});  // all 8 bits of the option count
    aPacket otherIndex = sPacket(4, {3, 9, 2, 0});
    aPacket tooShort = sPacket(4, {3, 9});
    EXPECT_TRUE(aUEI_Filter(&ok, &want));
    EXPECT_FALSE(aUEI_Filter(&otherModule, &want));
    EXPECT_FALSE(aUEI_Filter(&otherOption, &want));
    EXPECT_FALSE(aUEI_Filter(&otherIndex, &want));
    EXPECT_FALSE(aUEI_Filter(&tooShort, &want));

    uint8_t prefix[] = {0x49, 0xFF};
    aUEIMatch match{prefix, 2};
    aPacket build = sPacket(8, {0x49, 0xFF, 0, 0, 4, 0xD2});
    aPacket other = sPacket(8, {0x49, 0x01, 0});
    aPacket shortOne = sPacket(8, {0x49});
    EXPECT_TRUE(aUEI_MatchFilter(&build, &match));
    EXPECT_FALSE(aUEI_MatchFilter(&other, &match));
    EXPECT_FALSE(aUEI_MatchFilter(&shortOne, &match));
}

TEST(UEIByteRun, ChunksAndTrailers)
{
    std::vector<uint8_t> run(50);
    for (size_t i = 0; i < run.size(); i++)
        run[i] = (uint8_t)i;
    uei set = sHeader(2, 3, 0x20 | aUEI_SET, aUEI_INDEX_FLAG);
    set.type = ueiTypeBytes;
    set.v.bytesVal.data = run.data();
    set.v.bytesVal.length = run.size();
    Captured out;
    ASSERT_EQ(aErrNone, aUEI_Encode(&set, sCapture, &out));
    ASSERT_EQ(3u, out.packets.size());
    EXPECT_EQ(28, out.packets[0].length);
    EXPECT_EQ(28, out.packets[1].length);
    EXPECT_EQ(6, out.packets[2].length);
    EXPECT_EQ(0x80, out.packets[0].data[27]);
    EXPECT_EQ(0x81, out.packets[1].data[27]);
    EXPECT_EQ(0x02, out.packets[2].data[5]);
    EXPECT_EQ(48, out.packets[2].data[3]);

    // Reassembled by the receiving side, in order.
    uei rx = sHeader(2, 3, 0x20, 0);
    std::vector<uint8_t> buffer(64);
    rx.v.bytesVal.data = buffer.data();
    rx.v.bytesVal.size = buffer.size();
    bool more = true;
    for (const aPacket& chunk : out.packets) {
        aPacket reply = chunk;
        reply.data[1] = 0x20;
        reply.data[2] = 0;
        ASSERT_TRUE(aUEI_BytesFilter(&reply, &rx));
        ASSERT_EQ(aErrNone, aUEI_AppendChunk(&reply, &rx, &more));
    }
    EXPECT_FALSE(more);
    ASSERT_EQ(run.size(), rx.v.bytesVal.length);
    EXPECT_TRUE(std::equal(run.begin(), run.end(), buffer.begin()));

    // An empty run is one packet with trailer 0.
    set.v.bytesVal.length = 0;
    out.packets.clear();
    ASSERT_EQ(aErrNone, aUEI_Encode(&set, sCapture, &out));
    ASSERT_EQ(1u, out.packets.size());
    EXPECT_EQ((std::vector<uint8_t>{0x03, 0xA0, 0x20, 0x00}), sData(out.packets[0]));
}

TEST(UEIByteRun, OutOfOrderChunkStaysQueuedUntilItsTurn)
{
    aPacketFifoId fifo = aPacketFifo_Create();
    ASSERT_NE(0u, fifo);
    std::vector<uint8_t> second(10, 0xBB);
    std::vector<uint8_t> first(24, 0xAA);
    std::vector<uint8_t> d1 = {3, 0x20, 0};
    d1.insert(d1.end(), second.begin(), second.end());
    d1.push_back(0x01);
    std::vector<uint8_t> d0 = {3, 0x20, 0};
    d0.insert(d0.end(), first.begin(), first.end());
    d0.push_back(0x80);
    aPacket p1 = sPacket(2, d1);
    aPacket p0 = sPacket(2, d0);
    ASSERT_EQ(aErrNone, aPacketFifo_Put(fifo, &p1));  // sequence 1 arrives first

    uei rx = sHeader(2, 3, 0x20, 0);
    std::vector<uint8_t> buffer(40);
    rx.v.bytesVal.data = buffer.data();
    rx.v.bytesVal.size = buffer.size();
    EXPECT_EQ(nullptr, aPacketFifo_GetFirst(fifo, aUEI_BytesFilter, &rx));
    EXPECT_EQ(1, aPacketFifo_GetLength(fifo));

    ASSERT_EQ(aErrNone, aPacketFifo_Put(fifo, &p0));
    aPacket* got = aPacketFifo_GetFirst(fifo, aUEI_BytesFilter, &rx);
    ASSERT_NE(nullptr, got);
    bool more = false;
    EXPECT_EQ(aErrNone, aUEI_AppendChunk(got, &rx, &more));
    EXPECT_TRUE(more);
    aPacket_Destroy(&got);
    got = aPacketFifo_GetFirst(fifo, aUEI_BytesFilter, &rx);
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(aErrNone, aUEI_AppendChunk(got, &rx, &more));
    EXPECT_FALSE(more);
    aPacket_Destroy(&got);
    EXPECT_EQ(34u, rx.v.bytesVal.length);
    EXPECT_EQ(0xBB, buffer[24]);
    aPacketFifo_Destroy(&fifo);
}

TEST(UEIByteRun, ChunkLargerThanTheBufferAndErrorReplies)
{
    uei rx = sHeader(2, 3, 0x20, 0);
    uint8_t buffer[10];
    rx.v.bytesVal.data = buffer;
    rx.v.bytesVal.size = sizeof(buffer);
    std::vector<uint8_t> d = {3, 0x20, 0};
    d.insert(d.end(), 24, 0x55);
    d.push_back(0x00);
    aPacket big = sPacket(2, d);
    bool more = true;
    ASSERT_TRUE(aUEI_BytesFilter(&big, &rx));
    EXPECT_EQ(aErrMemory, aUEI_AppendChunk(&big, &rx, &more));
    EXPECT_EQ(0u, rx.v.bytesVal.length);

    // An error reply is taken whatever its last byte, and ends the run with its code.
    aPacket error = sPacket(2, {3, 0x20, 0x80, 0x1D});
    rx.v.bytesVal.sequence = 5;
    ASSERT_TRUE(aUEI_BytesFilter(&error, &rx));
    EXPECT_EQ(aErrInvalidOption, aUEI_AppendChunk(&error, &rx, &more));
}

TEST(UEIValues, BigEndianHelpers)
{
    uint8_t b[8];
    aUEI_StoreInt(b, 0x01020304);
    aUEI_StoreInt(b + 4, 0xA0B0C0D0);
    EXPECT_EQ(0x01020304u, aUEI_RetrieveInt(b));
    aUEI_StoreShort(b, 0xBEEF);
    EXPECT_EQ(0xBE, b[0]);
    EXPECT_EQ(0xBEEF, aUEI_RetrieveShort(b));
    aUEI_ModifyIntBuffer(b + 4, 1);
    uint32_t host;
    memcpy(&host, b + 4, 4);
    EXPECT_EQ(0xA0B0C0D0u, host);
}
