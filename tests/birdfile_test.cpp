// BIRD firmware files: loading and its failures, the information fields, and the edits made to
// a loaded image (serial number patch, vector checksum, decoding). Files are made with the
// BIRD writer of the simulators and loaded from disk through the real loader.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <stdexcept>
#include <string>
#include <vector>
#include <zlib.h>

#include "BirdCheck.h"
#include "BirdFile.h"
#include "BirdWriter.h"
#include "IsolatedHome.h"
#include "Log.h"
#include "Process.h"

namespace {

// Collects what the loader writes to the debug log while it lives.
class LogCapture {
  public:
    LogCapture() : file(tmpfile())
    {
        Log::SetOutput(file);
        Log::ActivatePackage(DEBUG_BirdFile);
    }
    ~LogCapture()
    {
        Log::DeactivatePackage(DEBUG_BirdFile);
        Log::SetOutput(nullptr);
        fclose(file);
    }
    std::string Text()
    {
        fflush(file);
        std::string text;
        rewind(file);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
            text.append(buffer, n);
        return text;
    }

  private:
    FILE* file;
};

void sWriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// A file of the header and a zlib stream of the given content.
std::vector<uint8_t> sFileOf(const std::vector<uint8_t>& content, const char* signature = "bird")
{
    uLongf length = compressBound((uLong)content.size());
    std::vector<uint8_t> file(6 + length);
    memcpy(file.data(), signature, 4);
    file[4] = 1;
    file[5] = 1;
    EXPECT_EQ(compress(file.data() + 6, &length, content.data(), (uLong)content.size()), Z_OK);
    file.resize(6 + length);
    return file;
}

std::vector<uint8_t> sInformation(const std::string& build, const std::string& version, const std::string& serial,
                                  const std::string& model)
{
    std::vector<uint8_t> data;
    for (const std::string& field : {build, version, serial, model})
        for (size_t i = 0; i < 16; i++)
            data.push_back(i < field.size() ? (uint8_t)field[i] : ' ');
    return data;
}

BirdFile sLoad(const TempDir& dir, const BirdWriter& writer)
{
    std::string path = dir.file("test.bird");
    EXPECT_EQ(writer.Write(path), aErrNone);
    return BirdFile(path.c_str());
}

std::string sLoadError(const std::string& path)
{
    try {
        BirdFile file(path.c_str());
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(BirdFileLoad, BadFilesFailWithTheirMessages)
{
    TempDir dir;
    LogCapture log;

    // Header only: nothing to decompress.
    sWriteBytes(dir.file("six"), {'b', 'i', 'r', 'd', 1, 1});
    EXPECT_EQ(sLoadError(dir.file("six")), "Failed to load bird data");

    EXPECT_EQ(sLoadError(dir.file("missing.bird")), "Failed to load bird data");
    EXPECT_NE(log.Text().find("BIRDFILE: BIRD file not found [" + dir.file("missing.bird") + "]"), std::string::npos);

    std::vector<uint8_t> garbage = {'b', 'i', 'r', 'd', 1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A};
    sWriteBytes(dir.file("garbage"), garbage);
    EXPECT_EQ(sLoadError(dir.file("garbage")), "Failed to load bird data");

    // A content that expands to more than eight times its compressed size cannot be loaded.
    std::vector<uint8_t> zeros(100000, 0);
    sWriteBytes(dir.file("big"), sFileOf(zeros));
    EXPECT_EQ(sLoadError(dir.file("big")), "Failed to load bird data");
    EXPECT_NE(log.Text().find("BIRDFILE: Error (-5) decompressing bird file."), std::string::npos);
}

TEST(BirdFileLoad, VerifyChecksSignatureAndVersionButLoadDoesNot)
{
    TempDir dir;
    BirdWriter writer;
    writer.AddInformation(7, "1.0", 1, "Juniper");
    ASSERT_EQ(writer.Write(dir.file("good")), aErrNone);
    EXPECT_TRUE(BirdFile::VerifyFile(dir.file("good").c_str()));

    writer.SetSignature("BIRD");
    ASSERT_EQ(writer.Write(dir.file("sig")), aErrNone);
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("sig").c_str()));
    BirdFile loaded(dir.file("sig").c_str());
    EXPECT_EQ(loaded.GetBuild(), 7u);
    EXPECT_EQ(loaded.Signature(), 0x42495244u);

    writer.SetSignature("bird");
    writer.SetVersion(1, 0);
    ASSERT_EQ(writer.Write(dir.file("ver")), aErrNone);
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("ver").c_str()));

    sWriteBytes(dir.file("short"), {'b', 'i', 'r', 'd', 1});
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("short").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("none").c_str()));
}

TEST(BirdFileLoad, BlocksCountMismatchAndTruncation)
{
    TempDir dir;
    LogCapture log;
    BirdWriter writer;
    writer.AddLoader(0x20000000, {1, 2, 3, 4}, 3);
    writer.AddFirmware(0x1000, {5, 6}, 7);
    writer.SetReportedCount(3);
    BirdFile file = sLoad(dir, writer);
    EXPECT_EQ(file.BlockCount(), 2u);
    EXPECT_NE(log.Text().find("Block parsing mismatch in number of blocks. (2 != 3)"), std::string::npos);

    std::vector<BirdBlock> loader = file.FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(loader.size(), 1u);
    EXPECT_EQ(loader[0].address, 0x20000000u);
    EXPECT_EQ(loader[0].flags, 3);
    EXPECT_EQ(loader[0].length, 8u);
    EXPECT_EQ(loader[0].data[4], 1);
    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 1u);
    EXPECT_EQ(firmware[0].flags, 7);
    EXPECT_EQ(firmware[0].address, 0x1000u);
    // The checksum is the writer's sum of every byte before it.
    std::vector<uint8_t> content = writer.Content();
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 < content.size(); i++)
        sum += content[i];
    EXPECT_EQ(file.Checksum(), sum);

    // A block whose length runs past the end is dropped; the blocks before it stay.
    std::vector<uint8_t> cut = {0, 0, 0, 2, 1, 0, 0, 0, 5, 0, 0, 0, 0, 9, 1, 0, 0, 0x10, 0, 0xAA, 0, 0, 0, 0};
    sWriteBytes(dir.file("cut"), sFileOf(cut));
    BirdFile partial(dir.file("cut").c_str());
    ASSERT_EQ(partial.BlockCount(), 1u);
    EXPECT_EQ(partial.Blocks()[0].length, 5u);

    // Segments shorter than their address word carry no address and no code.
    std::vector<uint8_t> tiny = {0, 0, 0, 1, 1, 0, 0, 0, 2, 0xAB, 0xCD, 0, 0, 0, 0};
    sWriteBytes(dir.file("tiny"), sFileOf(tiny));
    BirdFile small(dir.file("tiny").c_str());
    ASSERT_EQ(small.BlockCount(), 1u);
    EXPECT_EQ(small.Blocks()[0].address, 0u);
    EXPECT_TRUE(small.DecodeFirmwareBlocks(1, 2, 3, 4));
    EXPECT_TRUE(small.ReplaceVectorChecksum());
    EXPECT_EQ(small.Blocks()[0].data[0], 0xAB);
}

TEST(BirdFileInformation, FieldsAndModel)
{
    TempDir dir;
    BirdWriter writer;
    writer.AddBlock(4, 0, sInformation("123", "1.2.3", "0000ABCD", "Juniper"));
    BirdFile file = sLoad(dir, writer);
    EXPECT_EQ(file.GetBuild(), 123u);
    EXPECT_EQ(file.GetSerialNumber(), 0xABCDu);
    EXPECT_TRUE(file.ValidateSerialNumber(43981));
    EXPECT_FALSE(file.ValidateSerialNumber(43982));
    EXPECT_EQ(file.GetVersion(), "1.2.3");
    EXPECT_TRUE(file.ValidateModel("Juniper"));
    EXPECT_TRUE(file.ValidateModel("Jun"));
    EXPECT_FALSE(file.ValidateModel("Pine"));
    EXPECT_FALSE(file.ValidateModel("Juniper2"));
    EXPECT_FALSE(file.ValidateModel(""));

    // Leading spaces, a version text that fills its field, a build cut at 15 characters.
    BirdWriter padded;
    padded.AddBlock(4, 0, sInformation("  42x", "ABCDEFGHIJKLMNOP", "FFFFFFFF", "Pine"));
    BirdFile second = sLoad(dir, padded);
    EXPECT_EQ(second.GetBuild(), 42u);
    EXPECT_EQ(second.GetVersion(), "ABCDEFGHIJKLMNO");
    EXPECT_EQ(second.GetSerialNumber(), 0xFFFFFFFFu);

    BirdWriter none;
    none.AddFirmware(0, {1, 2, 3});
    BirdFile third = sLoad(dir, none);
    EXPECT_EQ(third.GetBuild(), 0u);
    EXPECT_EQ(third.GetVersion(), "");
    EXPECT_EQ(third.GetSerialNumber(), 0u);
    EXPECT_FALSE(third.ValidateModel("Juniper"));
}

TEST(BirdFileInformation, ShortInformationBlockIsReadWithinBounds)
{
    TempDir dir;
    BirdWriter writer;
    std::vector<uint8_t> info = sInformation("77", "2.0", "00001234", "Juniper");
    info.resize(20);  // build field and part of the version
    writer.AddBlock(4, 0, info);
    writer.AddFirmware(0, {9});
    BirdFile file = sLoad(dir, writer);
    EXPECT_EQ(file.GetBuild(), 77u);
    EXPECT_EQ(file.GetVersion(), "2.0");
    EXPECT_EQ(file.GetSerialNumber(), 0u);
    EXPECT_FALSE(file.ValidateModel("Juniper"));
}

TEST(BirdFileEdits, SerialNumberPatch)
{
    TempDir dir;
    BirdWriter writer;
    writer.AddSerialNumberLocations(0x1010, 0x1020);
    writer.AddFirmware(0x1000, std::vector<uint8_t>(0x40, 0xEE));
    BirdFile file = sLoad(dir, writer);
    EXPECT_TRUE(file.HasSerialNumberBlock());
    EXPECT_EQ(file.SerialNumberAddress(), 0x1010u);
    EXPECT_EQ(file.DescriptorAddress(), 0x1020u);

    ASSERT_TRUE(file.ReplaceSerialNumber(0x12345678));
    const uint8_t* code = file.FindBlocks(1)[0].data + 4;
    EXPECT_EQ(code[0x0F], 0xEE);
    EXPECT_EQ(code[0x10], 0x78);
    EXPECT_EQ(code[0x11], 0x56);
    EXPECT_EQ(code[0x12], 0x34);
    EXPECT_EQ(code[0x13], 0x12);
    EXPECT_EQ(code[0x14], 0xEE);
    const char* digits = "12345678";
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(code[0x20 + 2 * i], (uint8_t)digits[i]);
        EXPECT_EQ(code[0x21 + 2 * i], 0xEE);
    }
    // A second patch overwrites the first; hexadecimal digits are upper case.
    ASSERT_TRUE(file.ReplaceSerialNumber(0xABCDEF01));
    EXPECT_EQ(code[0x10], 0x01);
    EXPECT_EQ(code[0x20], 'A');
    EXPECT_EQ(code[0x2E], '1');
}

TEST(BirdFileEdits, SerialNumberPatchOutsideTheImageIsNotReportedAsDone)
{
    TempDir dir;
    // The serial number word would end one byte past the code; no descriptor.
    BirdWriter writer;
    writer.AddSerialNumberLocations(0x100D, 0);
    writer.AddFirmware(0x1000, std::vector<uint8_t>(0x10, 0xEE));
    BirdFile file = sLoad(dir, writer);
    EXPECT_FALSE(file.ReplaceSerialNumber(0x12345678));
    for (size_t i = 4; i < file.FindBlocks(1)[0].length; i++)
        EXPECT_EQ(file.FindBlocks(1)[0].data[i], 0xEE);

    // Word exactly at the end fits; a descriptor that does not fit is skipped.
    BirdWriter edge;
    edge.AddSerialNumberLocations(0x100C, 0x1004);
    edge.AddFirmware(0x1000, std::vector<uint8_t>(0x10, 0xEE));
    BirdFile second = sLoad(dir, edge);
    EXPECT_TRUE(second.ReplaceSerialNumber(0x01020304));
    const uint8_t* code = second.FindBlocks(1)[0].data + 4;
    EXPECT_EQ(code[0x0C], 0x04);
    EXPECT_EQ(code[0x04], 0xEE);

    // Addresses near the top of the address space do not wrap around.
    BirdWriter top;
    top.AddSerialNumberLocations(0xFFFFFFFE, 0xFFFFFFF8);
    top.AddFirmware(0xFFFFFFF0, std::vector<uint8_t>(0x10, 0xEE));
    BirdFile third = sLoad(dir, top);
    EXPECT_FALSE(third.ReplaceSerialNumber(1));

    BirdWriter no_block;
    no_block.AddFirmware(0, std::vector<uint8_t>(0x10, 0xEE));
    BirdFile fourth = sLoad(dir, no_block);
    EXPECT_FALSE(fourth.HasSerialNumberBlock());
    EXPECT_FALSE(fourth.ReplaceSerialNumber(1));
}

TEST(BirdFileEdits, VectorChecksum)
{
    TempDir dir;
    std::vector<uint8_t> code(64);
    for (size_t i = 0; i < code.size(); i++)
        code[i] = (uint8_t)(i * 37 + 11);
    BirdWriter writer;
    writer.AddFirmware(0, code);
    writer.AddFirmware(0x4000, code);
    writer.AddFirmware(0, std::vector<uint8_t>(28, 0x55));  // too short for the eighth word
    BirdFile file = sLoad(dir, writer);
    ASSERT_TRUE(file.ReplaceVectorChecksum());
    std::vector<BirdBlock> blocks = file.FindBlocks(1);
    auto word = [](const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; };
    const uint8_t* at0 = blocks[0].data + 4;
    uint32_t sum = 0;
    for (int i = 0; i < 8; i++)
        if (i != 5)
            sum += word(at0 + 4 * i);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(memcmp(blocks[1].data + 4, code.data(), code.size()), 0);
    for (size_t i = 4; i < blocks[2].length; i++)
        EXPECT_EQ(blocks[2].data[i], 0x55);
}

TEST(BirdFileEdits, DecodingChainsThroughTheKey)
{
    TempDir dir;
    std::vector<uint8_t> code = {0x11, 0x22, 0x44, 0x88, 0xF0};
    BirdWriter writer;
    writer.AddFirmware(0x12345678, code);
    writer.AddLoader(0x100, code);
    BirdFile file = sLoad(dir, writer);
    ASSERT_TRUE(file.DecodeFirmwareBlocks(0, 0, 0, 0));
    const BirdBlock fw = file.FindBlocks(1)[0];
    EXPECT_EQ(fw.data[0], 0x12);
    EXPECT_EQ(fw.data[3], 0x78);
    EXPECT_EQ(fw.address, 0x12345678u);
    EXPECT_EQ(fw.data[4], 0x11);
    EXPECT_EQ(fw.data[5], 0x11 ^ 0x22);
    EXPECT_EQ(fw.data[6], 0x11 ^ 0x22 ^ 0x44);
    EXPECT_EQ(fw.data[7], 0x11 ^ 0x22 ^ 0x44 ^ 0x88);
    EXPECT_EQ(fw.data[8], 0x11 ^ 0x22 ^ 0x44 ^ 0x88 ^ 0xF0);
    EXPECT_EQ(memcmp(file.FindBlocks(0)[0].data + 4, code.data(), code.size()), 0);

    // The writer's encoding is undone by the same key, block by block, past the 16-byte key.
    const uint32_t key[4] = {0xDEADBEEF, 0x01234567, 0x89ABCDEF, 0xCAFEF00D};
    std::vector<uint8_t> image = BirdWriter::MakeCode(300, 5);
    BirdWriter encoded;
    encoded.AddEncodedFirmware(0, image, key);
    encoded.AddEncodedFirmware(0x1000, image, key);
    BirdFile second = sLoad(dir, encoded);
    EXPECT_NE(memcmp(second.FindBlocks(1)[0].data + 4, image.data(), image.size()), 0);
    ASSERT_TRUE(second.DecodeFirmwareBlocks(key[0], key[1], key[2], key[3]));
    for (const BirdBlock& block : second.FindBlocks(1))
        EXPECT_EQ(memcmp(block.data + 4, image.data(), image.size()), 0);
}

TEST(BirdFileObject, MoveKeepsBlocksValidAndPatternSearch)
{
    TempDir dir;
    BirdWriter writer;
    writer.AddInformation(99, "3.1", 0x42, "Olive");
    writer.AddFirmware(0x800, {'a', 'b', 'c', 'a', 'b'});
    BirdFile target;
    EXPECT_EQ(target.BlockCount(), 0u);
    EXPECT_EQ(target.GetBuild(), 0u);
    {
        BirdFile loaded = sLoad(dir, writer);
        const uint8_t* data = loaded.FindBlocks(1)[0].data;
        target = std::move(loaded);
        EXPECT_EQ(target.FindBlocks(1)[0].data, data);
        EXPECT_EQ(loaded.BlockCount(), 0u);
    }
    BirdFile moved(std::move(target));
    EXPECT_EQ(moved.GetBuild(), 99u);
    EXPECT_TRUE(moved.ValidateModel("Olive"));

    const uint8_t ab[] = {'a', 'b'};
    const uint8_t ca[] = {'c', 'a'};
    const uint8_t zz[] = {'z', 'z'};
    EXPECT_TRUE(moved.ValidateData(ab, 2));
    EXPECT_TRUE(moved.ValidateData(ca, 2));
    EXPECT_FALSE(moved.ValidateData(zz, 2));
    EXPECT_FALSE(moved.ValidateData(ab, 0));
    const uint8_t long_pattern[20] = {0};
    EXPECT_FALSE(moved.ValidateData(long_pattern, sizeof(long_pattern)));
}

TEST(BirdFileObject, DumpPrintsHexAndText)
{
    TempDir dir;
    BirdWriter writer;
    std::vector<uint8_t> code(60, 'A');
    code[1] = 0x01;
    writer.AddFirmware(0, code);
    BirdFile file = sLoad(dir, writer);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(file.DumpBlocks(1));
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("BIRDFILE: BLOCK DUMP [" + dir.file("test.bird") + "]\n \r\n000000: 00 00 00 00 41 01 41 "), 0u)
        << out;
    EXPECT_NE(out.find("\r\n000050: 41 "), std::string::npos);
    EXPECT_NE(out.find("    A AAAA"), std::string::npos);  // non-printable bytes shown as spaces
}

TEST(BirdFileWriterProgram, WritesWhatItIsAskedFor)
{
    TempDir dir;
    std::string tool = std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_mkbird";
    std::string path = dir.file("made.bird");
    ProcessResult r = RunProcess({tool, "--out", path, "--build", "1240", "--version", "2.4.1", "--serial",
                                  "1A2B", "--model", "Maple", "--loader-size", "100", "--firmware-size", "1000",
                                  "--firmware-blocks", "3", "--serial-block", "10,20", "--recovery", "8000",
                                  "--encode", "1,2,3,4"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));
    BirdFile file(path.c_str());
    EXPECT_EQ(file.GetBuild(), 1240u);
    EXPECT_EQ(file.GetVersion(), "2.4.1");
    EXPECT_EQ(file.GetSerialNumber(), 0x1A2Bu);
    EXPECT_TRUE(file.ValidateModel("Maple"));
    EXPECT_EQ(file.SerialNumberAddress(), 0x10u);
    EXPECT_EQ(file.FindBlocks(0).size(), 1u);
    EXPECT_EQ(file.FindBlocks(5).size(), 1u);
    std::vector<BirdBlock> firmware = file.FindBlocks(1);
    ASSERT_EQ(firmware.size(), 3u);
    EXPECT_EQ(firmware[1].address, firmware[0].length - 4);
    file.DecodeFirmwareBlocks(1, 2, 3, 4);
    std::vector<uint8_t> expected = BirdWriter::MakeCode(1000, 2);
    EXPECT_EQ(memcmp(file.FindBlocks(1)[0].data + 4, expected.data(), firmware[0].length - 4), 0);

    ProcessResult bad = RunProcess({tool, "--out", path, "--serial", "xyz"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("--serial"), std::string::npos);
}

// The whole-file check: a good file passes, and each damage is named (a file that cannot be
// loaded by its one reason). A FIFO in place of the file is refused without blocking.
TEST(BirdFileCheck, EveryDamageIsNamedAndAGoodFilePasses)
{
    TempDir dir;
    auto good = [](BirdWriter& w) {
        w.AddLoader(0x20000000, BirdWriter::MakeCode(64, 1));
        w.AddFirmware(0x1000, BirdWriter::MakeCode(256, 2));
        w.AddFirmware(0x2000, BirdWriter::MakeCode(128, 3));
        w.AddSerialNumberLocations(0x1010, 0x1020);
        w.AddInformation(99528558, "2.1.0", 0, "Juniper");
    };
    BirdWriter base;
    good(base);
    const std::vector<uint8_t> good_bytes = base.Build();

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* expected;  // a problem text must contain this; null: no problem at all
        bool identity;         // the problem is an identity one (left out without Options::identity)
    };
    std::vector<Case> cases;
    cases.push_back({"good", good_bytes, nullptr, false});
    {
        BirdWriter w;
        good(w);
        w.SetReportedCount(7);
        cases.push_back({"count", w.Build(), "reports 7 blocks but holds 5", false});
    }
    {
        BirdWriter w;
        w.AddInformation(1, "1.0", 0, "Juniper");
        cases.push_back({"information only", w.Build(), "no firmware block", false});
    }
    {
        BirdWriter w;
        good(w);
        w.AddBlock(BirdFile::BLOCK_FIRMWARE, 0, {});
        cases.push_back({"empty firmware", w.Build(), "firmware block 3 holds no code (0 bytes)", false});
    }
    {
        BirdWriter w;
        w.AddLoader(0x20000000, {});
        w.AddFirmware(0x1000, BirdWriter::MakeCode(16, 2));
        cases.push_back({"empty loader", w.Build(), "loader block 1 holds no code", false});
    }
    {
        BirdWriter w;
        w.AddFirmware(0x1000, BirdWriter::MakeCode(256, 2));
        w.AddSerialNumberLocations(0x10FE, 0);
        cases.push_back({"patch outside", w.Build(), "location 000010FE lies outside every firmware block", false});
    }
    {
        BirdWriter w;
        w.AddFirmware(0x1000, BirdWriter::MakeCode(256, 2));
        cases.push_back({"no information", w.Build(), "no information block", true});
    }
    {
        BirdWriter w;
        w.AddFirmware(0x1000, BirdWriter::MakeCode(256, 2));
        w.AddInformation(1, "1.0", 0, "Sequoia");
        cases.push_back({"unknown model", w.Build(), "model \"Sequoia\" is not a known device model", true});
    }
    {
        // The second firmware block claims more bytes than the content holds.
        std::vector<uint8_t> content = {0, 0, 0, 2, 1, 0, 0, 0, 6, 0, 0, 0x10, 0, 1, 2,
                                        1, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 9, 0, 0, 0, 0};
        cases.push_back({"overrun", sFileOf(content), "block 2 (type 1) is 4096 bytes long but only", false});
    }
    {
        std::vector<uint8_t> content = {0, 0, 0, 1, 1, 0, 0, 0, 6, 0, 0, 0x10, 0, 1, 2, 7, 7};
        cases.push_back({"cut checksum", sFileOf(content), "ends 2 bytes short of its checksum", false});
    }
    cases.push_back({"truncated", std::vector<uint8_t>(good_bytes.begin(), good_bytes.begin() + good_bytes.size() / 2),
                     "truncated", false});
    {
        std::vector<uint8_t> bytes = good_bytes;
        bytes.back() ^= 0x55;  // the stream's own check no longer matches
        cases.push_back({"corrupt", bytes, "does not decompress", false});
    }
    cases.push_back({"header only", {'b', 'i', 'r', 'd', 1, 1}, "too short", false});
    {
        std::vector<uint8_t> bytes = good_bytes;
        bytes[0] = 'B';
        cases.push_back({"signature", bytes, "BIRD signature", false});
    }

    BirdCheck::Options structure;
    structure.identity = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(std::string(c.name) + ".bird");
        sWriteBytes(path, c.bytes);
        BirdFile loaded;
        std::vector<std::string> all = BirdCheck::FileProblems(path.c_str(), BirdCheck::Options(), &loaded);
        std::vector<std::string> sendable = BirdCheck::FileProblems(path.c_str(), structure);
        if (c.expected == nullptr) {
            EXPECT_TRUE(all.empty()) << BirdCheck::Summary(all);
            EXPECT_EQ(loaded.GetBuild(), 99528558u);
            continue;
        }
        EXPECT_NE(BirdCheck::Summary(all).find(c.expected), std::string::npos) << BirdCheck::Summary(all);
        EXPECT_EQ(sendable.empty(), c.identity) << BirdCheck::Summary(sendable);
    }

    std::string fifo = dir.file("fifo.bird");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> problems = BirdCheck::FileProblems(fifo.c_str(), BirdCheck::Options());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("cannot be read"), std::string::npos);
}
