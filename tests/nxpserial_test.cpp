// The LPC ISP client against the simulated ROM bootloader on a paced pseudo-terminal.
// test-labels: threads
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LpcRomSim.h"
#include "NXPSerial.h"

namespace {

std::vector<uint8_t> sPattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = (uint8_t)(seed >> 16);
    }
    return v;
}

struct SyncedChip {
    LpcRomSim sim;
    NXPSerialClass isp;
    explicit SyncedChip(const LpcRomConfig& config = LpcRomConfig()) : sim(config)
    {
        EXPECT_TRUE(sim.Start());
        EXPECT_EQ(aErrNone, isp.Connect(sim.Port().c_str(), 115200));
        EXPECT_EQ(aErrNone, isp.Sync());
    }
};

LpcRomConfig sFastErase()
{
    LpcRomConfig c;
    c.eraseMsPerSector = 1;
    return c;
}

}  // namespace

TEST(NXPSerialCodec, UuencodeLinesAndRoundTrip)
{
    char out[80];
    const uint8_t abc[] = {'a', 'b', 'c'};
    NXPSerialClass::uuencode(out, abc, 3);
    EXPECT_STREQ("#86)C", out);
    NXPSerialClass::uuencode(out, abc, 0);
    EXPECT_STREQ("`", out);
    // Zero bits are sent as the grave accent, never as a space.
    const uint8_t zeros[3] = {0, 0, 0};
    NXPSerialClass::uuencode(out, zeros, 3);
    EXPECT_STREQ("#````", out);

    for (size_t n = 1; n <= 45; n++) {
        std::vector<uint8_t> data = sPattern(n, (uint32_t)n);
        NXPSerialClass::uuencode(out, data.data(), n);
        EXPECT_EQ(1 + 4 * ((n + 2) / 3), strlen(out));
        uint8_t back[45] = {0};
        ASSERT_EQ(n, NXPSerialClass::uudecode(back, sizeof(back), out)) << n;
        EXPECT_EQ(0, memcmp(back, data.data(), n)) << n;
    }
    // A line that claims more than the room decodes nothing; a cut line stops early.
    uint8_t small[2];
    EXPECT_EQ(0u, NXPSerialClass::uudecode(small, sizeof(small), "#86)C"));
    uint8_t room[45];
    EXPECT_LT(NXPSerialClass::uudecode(room, sizeof(room), "M86)C"), 45u);
    EXPECT_EQ(0x61u + 0x62u + 0x63u, NXPSerialClass::sum(abc, 3));
}

TEST(NXPSerialTables, SectorsCopyLengthsAndErrorTexts)
{
    EXPECT_EQ(0u, NXPSerialClass::SectorFromAddress(0x0FFF));
    EXPECT_EQ(1u, NXPSerialClass::SectorFromAddress(0x1000));
    EXPECT_EQ(15u, NXPSerialClass::SectorFromAddress(0xFFFF));
    EXPECT_EQ(16u, NXPSerialClass::SectorFromAddress(0x10000));
    EXPECT_EQ(17u, NXPSerialClass::SectorFromAddress(0x18000));
    EXPECT_EQ(29u, NXPSerialClass::SectorFromAddress(0x7FFFF));
    EXPECT_EQ(30u, NXPSerialClass::SectorFromAddress(0x80000));
    EXPECT_EQ(30u, NXPSerialClass::SectorFromAddress(0xFFFFFFFF));
    for (uint32_t s = 0; s < 30; s++) {
        EXPECT_EQ(LpcRomSim::SectorStart(s), NXP_LPC17XX_sectors[s].start);
        EXPECT_EQ(LpcRomSim::SectorSize(s), NXP_LPC17XX_sectors[s].size);
    }
    EXPECT_EQ(0x80000u, NXP_LPC17XX_sectors[29].start + NXP_LPC17XX_sectors[29].size);

    EXPECT_EQ(256u, NXPSerialClass::CopyLength(1));
    EXPECT_EQ(256u, NXPSerialClass::CopyLength(256));
    EXPECT_EQ(512u, NXPSerialClass::CopyLength(300));
    EXPECT_EQ(1024u, NXPSerialClass::CopyLength(513));
    EXPECT_EQ(4096u, NXPSerialClass::CopyLength(1808));
    EXPECT_EQ(4096u, NXPSerialClass::CopyLength(4000));
    EXPECT_EQ(5000u, NXPSerialClass::CopyLength(5000));

    EXPECT_STREQ("CMD_SUCCESS", NXPSerialClass::GetErrorText("0\r\n"));
    EXPECT_STREQ("CMD_LOCKED", NXPSerialClass::GetErrorText("15\r\n"));
    EXPECT_STREQ("CODE_READ_PROTECTION_ENABLED", NXPSerialClass::GetErrorText("19"));
    EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("21"));
    EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("-1"));
}

TEST(NXPSerialLine, ConnectChoosesRateAndMissingPortFails)
{
    LpcRomSim sim;
    ASSERT_TRUE(sim.Start());
    NXPSerialClass isp;
    ASSERT_EQ(aErrNone, isp.Connect(sim.Port().c_str(), 100000));
    EXPECT_EQ(115200u, isp.BaudRate());
    EXPECT_STREQ(sim.Port().c_str(), isp.PortName());
    ASSERT_EQ(aErrNone, isp.Connect(sim.Port().c_str(), 300));
    EXPECT_EQ(2400u, isp.BaudRate());
    ASSERT_EQ(aErrNone, isp.Connect(sim.Port().c_str(), 921600));
    EXPECT_EQ(9600u, isp.BaudRate());
    NXPSerialClass none;
    EXPECT_NE(aErrNone, none.Connect("/nonexistent/tty", 115200));
    EXPECT_FALSE(none.IsConnected());
    EXPECT_NE(aErrNone, none.Sync());
}

TEST(NXPSerialLine, SyncIdentifiesTheChip)
{
    LpcRomConfig config;
    config.serial[0] = 0xDEADBEEF;
    config.serial[1] = 1;
    config.serial[2] = 0x80000000;
    config.serial[3] = 42;
    SyncedChip chip(config);
    ASSERT_EQ(aErrNone, chip.isp.GetDeviceID());
    const uint32_t* words = chip.isp.DeviceSerialNumber();
    EXPECT_EQ(0xDEADBEEFu, words[0]);
    EXPECT_EQ(1u, words[1]);
    EXPECT_EQ(0x80000000u, words[2]);
    EXPECT_EQ(42u, words[3]);
    uint32_t part = 0;
    ASSERT_EQ(aErrNone, chip.isp.GetPartNumber(&part));
    EXPECT_EQ(0x26013F37u, part);
    uint8_t major = 0, minor = 0;
    ASSERT_EQ(aErrNone, chip.isp.GetBootLoaderVersion(&major, &minor));
    EXPECT_EQ(4, major);
    EXPECT_EQ(1, minor);
    // Same answers with the echo off.
    ASSERT_EQ(aErrNone, chip.isp.SetEcho(false));
    EXPECT_FALSE(chip.isp.Echo());
    ASSERT_EQ(aErrNone, chip.isp.GetDeviceID());
    EXPECT_EQ(42u, chip.isp.DeviceSerialNumber()[3]);
}

TEST(NXPSerialLine, NothingAnsweringIsNotASync)
{
    PtyLine silent;  // a port with nobody on the other end
    ASSERT_TRUE(silent.Open());
    NXPSerialClass isp;
    ASSERT_EQ(aErrNone, isp.Connect(silent.SlavePath().c_str(), 115200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(aErrNone, isp.Sync());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// A reply to the probe that cannot be the LPC ROM's (here an i.MX ROM's security state and
// status word) ends the sync there: the rest of the handshake is not sent to that chip.
TEST(NXPSerialLine, ForeignAnswerEndsTheSync)
{
    PtyLine line;
    ASSERT_TRUE(line.Open());
    NXPSerialClass isp;
    ASSERT_EQ(aErrNone, isp.Connect(line.SlavePath().c_str(), 115200));
    uint8_t probe = 0;
    std::thread rom([&line, &probe] {
        static const uint8_t reply[] = {0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0};
        if (line.ReadByte(probe, 2000))
            line.Write(reply, sizeof(reply));
    });
    EXPECT_EQ(aErrIO, isp.Sync());
    rom.join();
    EXPECT_EQ('?', probe);
    uint8_t more;
    EXPECT_FALSE(line.ReadByte(more, 300)) << "sent after the probe: " << (int)more;
}

// A chip that answers each command only after 90% of the time the client allows for it once the
// command has left the wire (100 ms for a reply line) is still served, from the sync to the copy
// into flash. The chip counts its delay from when its own thread saw the command, never earlier
// than the client: a client that gives up sooner fails every attempt, while a chip thread
// scheduled late on a loaded machine spoils at most one, so up to three attempts are made.
TEST(NXPSerialLine, LateAnswersAreStillServed)
{
    LpcRomConfig config = sFastErase();
    config.replyDelayMs = 90;
    auto attempt = [&config]() -> std::string {
        LpcRomSim sim(config);
        NXPSerialClass isp;
        if (!sim.Start() || isp.Connect(sim.Port().c_str(), 115200) != aErrNone)
            return "no line";
        if (isp.Sync() != aErrNone)
            return "sync";
        if (isp.GetDeviceID() != aErrNone || isp.DeviceSerialNumber()[3] != config.serial[3])
            return "device serial number";
        if (isp.Unlock() != aErrNone || isp.Prepare(0, 0) != aErrNone || isp.Erase(0, 0) != aErrNone)
            return "unlock, prepare or erase";
        if (isp.SetEcho(false) != aErrNone)
            return "echo off";
        std::vector<uint8_t> data = sPattern(1024, 5);
        if (isp.Write(NXPSerialClass::WRITE_ADDRESS, 1024, data.data()) != aErrNone)
            return "write";
        if (isp.Prepare(0, 0) != aErrNone || isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 1024) != aErrNone)
            return "copy";
        std::vector<uint8_t> flash = sim.Flash();
        return memcmp(flash.data(), data.data(), data.size()) == 0 ? "" : "flash content";
    };
    std::vector<std::string> failed;
    for (int i = 0; i < 3; i++) {
        std::string why = attempt();
        if (why.empty())
            return;
        failed.push_back(why);
    }
    FAIL() << "not served in three attempts; failed at: " << failed[0] << ", " << failed[1] << ", " << failed[2];
}

TEST(NXPSerialWrite, LinesChecksumsAndReadBack)
{
    for (bool echo : {true, false}) {
        SyncedChip chip;
        ASSERT_EQ(aErrNone, chip.isp.SetEcho(echo));
        std::vector<uint8_t> data = sPattern(1000, 7);
        ASSERT_EQ(aErrNone, chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 1000, data.data())) << echo;
        uint32_t lines = 0, checksums = 0;
        chip.sim.LastWriteShape(&lines, &checksums);
        EXPECT_EQ(23u, lines);  // 22 lines of 45 bytes and one of 10
        EXPECT_EQ(2u, checksums);
        std::vector<uint8_t> ram = chip.sim.Ram();
        EXPECT_EQ(0, memcmp(&ram[0x1000], data.data(), 1000));

        std::vector<uint8_t> back(1000);
        ASSERT_EQ(aErrNone, chip.isp.Read(NXPSerialClass::WRITE_ADDRESS, 1000, back.data())) << echo;
        EXPECT_EQ(data, back);
    }
}

TEST(NXPSerialWrite, ResendIsSurvivedUntilAttemptsRunOut)
{
    std::vector<uint8_t> data = sPattern(2000, 3);
    {
        LpcRomConfig config;
        config.resendFaults = 1;
        SyncedChip chip(config);
        ASSERT_EQ(aErrNone, chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 2000, data.data()));
        EXPECT_EQ(1u, chip.sim.ResendsSent());
        std::vector<uint8_t> ram = chip.sim.Ram();
        EXPECT_EQ(0, memcmp(&ram[0x1000], data.data(), 2000));
    }
    {
        LpcRomConfig config;
        config.resendFaults = 3;
        SyncedChip chip(config);
        EXPECT_EQ(aErrTimeout, chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 2000, data.data()));
    }
}

TEST(NXPSerialCommands, RefusedArgumentsSendNothing)
{
    SyncedChip chip(sFastErase());
    size_t before = chip.sim.Commands().size();
    EXPECT_EQ(aErrParam, chip.isp.Prepare(5, 3));
    EXPECT_EQ(aErrParam, chip.isp.Erase(5, 3));
    uint8_t four[4] = {1, 2, 3, 4};
    EXPECT_EQ(aErrParam, chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, four));
    EXPECT_EQ(aErrParam, chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 3, four));
    EXPECT_EQ(aErrParam, chip.isp.Read(NXPSerialClass::WRITE_ADDRESS, 6, four));
    EXPECT_EQ(aErrParam, chip.isp.CopyToFlash(0x80, NXPSerialClass::WRITE_ADDRESS, 256));
    EXPECT_EQ(aErrParam, chip.isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 300));
    EXPECT_EQ(before, chip.sim.Commands().size());
}

TEST(NXPSerialCommands, ChipRefusalsAreErrors)
{
    LpcRomConfig config = sFastErase();
    config.prepareFault = 10;  // COMPARE_ERROR: ends in "0" but is no success
    SyncedChip chip(config);
    // Locked: erase and copy are refused until the unlock code is sent.
    EXPECT_EQ(aErrParam, chip.isp.Erase(0, 0));
    EXPECT_EQ(aErrParam, chip.isp.Prepare(0, 0));
    ASSERT_EQ(aErrNone, chip.isp.SetEcho(false));
    EXPECT_EQ(aErrParam, chip.isp.Prepare(0, 0));
    EXPECT_TRUE(chip.sim.Erased().empty());
}

TEST(NXPSerialCommands, FlashProgrammingAndSlowWholeErase)
{
    LpcRomConfig config;
    config.eraseMsPerSector = 110;  // 3.3 s for the whole part, slower than a real one
    SyncedChip chip(config);
    ASSERT_EQ(aErrNone, chip.isp.Unlock());
    ASSERT_EQ(aErrNone, chip.isp.Prepare(0, 29));
    ASSERT_EQ(aErrNone, chip.isp.Erase(0, 29));
    EXPECT_EQ(30u, chip.sim.Erased().size());

    std::vector<uint8_t> data = sPattern(4096, 11);
    ASSERT_EQ(aErrNone, chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()));
    // Copying needs the sector prepared again.
    EXPECT_EQ(aErrParam, chip.isp.CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 4096));
    ASSERT_EQ(aErrNone, chip.isp.Prepare(16, 16));
    ASSERT_EQ(aErrNone, chip.isp.CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 4096));
    std::vector<uint8_t> flash = chip.sim.Flash();
    EXPECT_EQ(0, memcmp(&flash[0x10000], data.data(), 4096));
    EXPECT_EQ(0xFF, flash[0x11000]);
    ASSERT_EQ(aErrNone, chip.isp.ExecuteFrom(0));
    // The chip jumps without answering: the command may still be on the line when the call
    // returns.
    uint32_t address = 1;
    EXPECT_TRUE(chip.sim.AwaitExecuted(&address));
    EXPECT_EQ(0u, address);
}
