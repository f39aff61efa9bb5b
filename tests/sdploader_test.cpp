// The i.MX serial download client: command blocks, reply checks, and loader transfers over a
// real serial transport to the simulated RT1050 ROM on a paced pseudo-terminal.
// test-labels: threads
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <unistd.h>

#include "HID_SDPLoader.h"
#include "ImxRomSim.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"

namespace {

std::vector<uint8_t> sBytes(std::initializer_list<int> v)
{
    std::vector<uint8_t> out;
    for (int b : v)
        out.push_back((uint8_t)b);
    out.resize(17, 0);
    return out;
}

std::vector<uint8_t> sData(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(i * 31 + 7);
    return v;
}

// The real serial transport, with the size of every buffer handed to it noted on the way.
class NotingTransport : public SDPLoader_Interface {
  public:
    NotingTransport(const std::string& port, std::vector<size_t>* sizes) : real(port), sizes(sizes) {}
    bool init() override { return real.init(); }
    ssize_t writeData(const std::vector<uint8_t>& d) override
    {
        sizes->push_back(d.size());
        return real.writeData(d);
    }
    size_t readData(std::vector<uint8_t>& d, unsigned t, unsigned n) override { return real.readData(d, t, n); }
    bool getDataFromBuffer(const std::vector<uint8_t>& d, unsigned o, unsigned& v) override
    {
        return real.getDataFromBuffer(d, o, v);
    }
    Serial_SDPLoader real;
    std::vector<size_t>* sizes;
};

struct Rom {
    ImxRomSim sim;
    SDPLoader loader;
    std::vector<size_t> sizes;
    explicit Rom(ImxRomFaults faults = ImxRomFaults(), uint32_t replyDelayMs = 0)
    {
        sim.device().SetFaults(faults);
        sim.replyDelayMs = replyDelayMs;
        EXPECT_TRUE(sim.Start());
        EXPECT_TRUE(loader.setLoader(new NotingTransport(sim.Port(), &sizes)));
        EXPECT_EQ(0, loader.init());
        sizes.clear();
    }
};

}  // namespace

TEST(SDPCommands, BlocksAreBigEndianSeventeenBytes)
{
    EXPECT_EQ(sBytes({1, 0x05, 0x05}), SDPLoader::_createStatusPacket());
    EXPECT_EQ(sBytes({1, 0x04, 0x04, 0x20, 0, 0, 0, 0x20, 0, 0, 0x09, 0xC4}),
              SDPLoader::_createWriteFilePacket(0x20000000, 2500));
    EXPECT_EQ(sBytes({1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4}),
              SDPLoader::_create4ByteReadRegisterPacket(0x401F4410));
    EXPECT_EQ(sBytes({1, 0x0B, 0x0B, 0x20, 0, 0x04, 0}), SDPLoader::_createJumpPacket(0x20000400));
}

TEST(SDPReplies, WellFormedRepliesPerTransport)
{
    HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
    std::vector<uint8_t> reply(70, 0);
    reply[0] = 3;
    reply[5] = 4;
    for (int i = 6; i < 10; i++)
        reply[i] = 0x88;
    unsigned value = 0;
    EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
    EXPECT_EQ(0x88888888u, value);
    std::vector<uint8_t> onlyReport3(reply.begin(), reply.begin() + 5);
    value = 0;
    EXPECT_FALSE(hid.getDataFromBuffer(onlyReport3, 0, value));
    EXPECT_FALSE(hid.getDataFromBuffer(reply, 16, value));

    Serial_SDPLoader serial("/nonexistent");
    std::vector<uint8_t> line = {0x56, 0x78, 0x78, 0x56, 0x78, 0x56, 0x34, 0x12};
    value = 0;
    EXPECT_TRUE(serial.getDataFromBuffer(line, 0, value));
    EXPECT_EQ(0x12345678u, value);
    line.pop_back();
    EXPECT_FALSE(serial.getDataFromBuffer(line, 0, value));
}

TEST(SDPTransport, SetupAndRefusals)
{
    SDPLoader none;
    EXPECT_EQ(1, none.init());
    EXPECT_FALSE(none.setLoader(nullptr));
    EXPECT_TRUE(none.setLoader(new Serial_SDPLoader("/dev/null")));  // a device, but no terminal
    Serial_SDPLoader* second = new Serial_SDPLoader("/dev/null");
    EXPECT_FALSE(none.setLoader(second));  // refused: still the caller's
    delete second;
    EXPECT_EQ(6, none.init());
    SDPLoader missing;
    missing.setLoader(new Serial_SDPLoader("/nonexistent/tty"));
    EXPECT_EQ(6, missing.init());
}

TEST(SDPTransport, SerialLineCarriesNoReportId)
{
    PtyLine line;
    line.SetBaud(0);
    ASSERT_TRUE(line.Open());
    Serial_SDPLoader serial(line.SlavePath());
    ASSERT_TRUE(serial.init());
    std::vector<uint8_t> status = SDPLoader::_createStatusPacket();
    EXPECT_EQ(16, serial.writeData(status));
    std::vector<uint8_t> got;
    uint8_t b;
    while (got.size() < 20 && line.ReadByte(b, 200))
        got.push_back(b);
    EXPECT_EQ(std::vector<uint8_t>(status.begin() + 1, status.end()), got);
}

TEST(SDPTransport, StalledSerialWriteGivesUp)
{
    PtyLine line;  // nobody ever reads the other end
    ASSERT_TRUE(line.Open());
    Serial_SDPLoader serial(line.SlavePath());
    ASSERT_TRUE(serial.init());
    std::vector<uint8_t> big(256 * 1024, 0x5A);
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(serial.writeData(big), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(SDPLoaderFlow, LoaderBlocksLandAndJump)
{
    Rom rom;
    std::vector<uint8_t> block = sData(2500);
    ASSERT_EQ(0, rom.loader.writeLoader(block, 0x20000000));
    // status, write-file command, then 1025 + 1025 + 453 (report ID included)
    EXPECT_EQ((std::vector<size_t>{17, 17, 1025, 1025, 453}), rom.sizes);
    // A block of several KiB is still on the wire long after it was queued; the completion
    // status is read only once it has left.
    std::vector<uint8_t> big = sData(12000);
    ASSERT_EQ(0, rom.loader.writeLoader(big, 0x20200000));
    auto writes = rom.sim.device().Writes();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(0x20000000u, writes[0].address);
    EXPECT_EQ(block, writes[0].data);
    EXPECT_EQ(0x20200000u, writes[1].address);
    EXPECT_EQ(big, writes[1].data);

    uint64_t fuses = 0;
    ASSERT_EQ(0, rom.loader.getFingerprint(fuses));
    EXPECT_EQ(((uint64_t)rom.sim.device().fuseCfg1 << 32) | rom.sim.device().fuseCfg0, fuses);

    rom.loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    uint32_t entry = 0;
    EXPECT_TRUE(rom.sim.device().Jumped(&entry));
    EXPECT_EQ(0x20000400u, entry);
}

TEST(SDPLoaderFlow, ProcessorFaults)
{
    {
        ImxRomFaults f;
        f.silent = true;
        Rom rom(f);
        EXPECT_EQ(2, rom.loader.writeLoader(sData(100), 0x20000000));
        // Five status commands, and no write-file command after them.
        EXPECT_EQ(std::vector<uint16_t>(5, 0x0505), rom.sim.device().Commands());
        uint64_t fuses;
        EXPECT_EQ(2, rom.loader.getFingerprint(fuses));
    }
    {
        ImxRomFaults f;
        f.chatterDuringData = true;
        Rom rom(f);
        // Larger than what the terminal buffers, so the sender is still at it when the
        // processor speaks up.
        EXPECT_EQ(3, rom.loader.writeLoader(sData(32000), 0x20200000));
    }
    {
        ImxRomFaults f;
        f.badCompletion = true;
        Rom rom(f);
        EXPECT_EQ(4, rom.loader.writeLoader(sData(100), 0x20000000));
    }
    {
        Rom rom;  // outside every memory of the part
        EXPECT_EQ(4, rom.loader.writeLoader(sData(100), 0x60000000));
    }
}

// A processor that answers only after 90% of the reply time-out (counted from when the command
// has left the wire) is still served: status, loader write, register reads and the jump.
TEST(SDPLoaderFlow, LateAnswersAreStillServed)
{
    Rom rom(ImxRomFaults(), SDPLoader::REPLY_TIMEOUT_MS * 9 / 10);
    std::vector<uint8_t> block = sData(2500);
    ASSERT_EQ(0, rom.loader.writeLoader(block, 0x20000000));
    uint64_t fuses = 0;
    ASSERT_EQ(0, rom.loader.getFingerprint(fuses));
    EXPECT_EQ(((uint64_t)rom.sim.device().fuseCfg1 << 32) | rom.sim.device().fuseCfg0, fuses);
    rom.loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    EXPECT_TRUE(rom.sim.device().Jumped());
    auto writes = rom.sim.device().Writes();
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(block, writes[0].data);
    // No command had to be repeated.
    EXPECT_EQ((std::vector<uint16_t>{0x0505, 0x0404, 0x0505, 0x0101, 0x0101, 0x0B0B}), rom.sim.device().Commands());
}
