// Packet assembly from wire bytes and the packet accessors.
#include <gtest/gtest.h>

#include "aPacket.h"

namespace {

aErr AddAll(aPacket* p, std::initializer_list<uint8_t> bytes)
{
    aErr err = aErrNone;
    for (uint8_t b : bytes)
        if ((err = aPacket_AddByte(p, b)) != aErrNone)
            break;
    return err;
}

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

}  // namespace

TEST(PacketAssembly, CompletesByLengthByte)
{
    PacketPtr p(aPacket_Create());
    ASSERT_EQ(AddAll(p.get(), {0x04}), aErrNone);
    EXPECT_FALSE(aPacket_IsComplete(p.get()));
    ASSERT_EQ(AddAll(p.get(), {0x00}), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->length, 0);

    aPacket_Reset(p.get());
    ASSERT_EQ(AddAll(p.get(), {0x04, 0x02, 0x10}), aErrNone);
    EXPECT_FALSE(aPacket_IsComplete(p.get()));
    ASSERT_EQ(AddAll(p.get(), {0x20}), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->data[0], 0x10);
    EXPECT_EQ(p->data[1], 0x20);
    // A byte past a complete packet without a reset breaks the frame.
    EXPECT_EQ(aPacket_AddByte(p.get(), 0x30), aErrPacket);
}

TEST(PacketAssembly, RefusesBytesThatBreakTheFrame)
{
    for (uint8_t first : {0x00, 0x05, 0xAD, 0xAF}) {
        PacketPtr p(aPacket_Create());
        EXPECT_EQ(aPacket_AddByte(p.get(), first), aErrPacket) << int(first);
    }
    PacketPtr p(aPacket_Create());
    EXPECT_EQ(AddAll(p.get(), {0x02, 29}), aErrPacket);
    aPacket_Reset(p.get());
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->byteCount, 0);
    EXPECT_EQ(AddAll(p.get(), {0x02, 28}), aErrNone);
    for (int i = 0; i < 28; i++)
        ASSERT_EQ(aPacket_AddByte(p.get(), (uint8_t)i), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->data[27], 27);
    EXPECT_EQ(aPacket_AddByte(p.get(), 0), aErrOverrun);  // the 31st byte
    EXPECT_EQ(aPacket_AddByte(p.get(), 0), aErrOverrun);  // and it keeps refusing
    EXPECT_EQ(aPacket_AddByte(nullptr, 2), aErrParam);
}

TEST(PacketFields, CommandOptionIndexAndCopies)
{
    const uint8_t data[3] = {0x11, 0xC5, 0xFF};
    PacketPtr p(aPacket_CreateWithData(6, 3, data));
    ASSERT_TRUE(p);
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(p.get(), &v), aErrNone);
    EXPECT_EQ(v, 0x11);
    EXPECT_EQ(aPacket_GetOption(p.get(), &v), aErrNone);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(aPacket_GetIndex(p.get(), &v), aErrNone);
    EXPECT_EQ(v, 0x1F);
    EXPECT_EQ(aPacket_GetIndex(p.get(), nullptr), aErrParam);

    PacketPtr shortOne(aPacket_CreateWithData(6, 2, data));
    EXPECT_EQ(aPacket_GetIndex(shortOne.get(), &v), aErrPacket);

    PacketPtr copy(aPacket_Copy(p.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->address, 6);
    EXPECT_EQ(copy->length, 3);
    EXPECT_EQ(copy->data[1], 0xC5);

    aPacket* raw = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&raw), aErrNone);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(aPacket_Destroy(&raw), aErrParam);
}
