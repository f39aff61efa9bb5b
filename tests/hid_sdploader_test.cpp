// The i.MX serial download client over its USB HID transport: hidapi's hidraw back end finds the
// simulated ROM on the emulated USB bus, and commands, file data and replies travel as HID
// reports through the hidraw node to the simulated processor.
// test-labels: threads
#include <gtest/gtest.h>

#include <fcntl.h>
#include <hidapi.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "HID_SDPLoader.h"
#include "ImxLoaderDevice.h"
#include "ImxRomSim.h"
#include "IsolatedHome.h"
#include "RecordingDisplay.h"
#include "SDPLoader.h"
#include "SimHidRom.h"
#include "SimUsbBus.h"
#include "UpdateServerSim.h"
#include "Updater.h"

static const bool sPreloaded = SimUsbBus::ReexecUnderPreload();

namespace {

const uint32_t kStartedLoader = 0xDEADDEAD;  // the serial number the started loader answers with

std::vector<uint8_t> sData(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(i * 13 + 5);
    return v;
}

class HidSdpTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!sPreloaded)
            GTEST_SKIP() << "the umockdev preload library cannot be used in this process";
        ASSERT_TRUE(bus.ok());
        rom.reset(new SimHidRom(bus, chip));
        ASSERT_TRUE(rom->ok());
    }
    void TearDown() override { rom.reset(); }

    // A loader over a HID transport opened by the ROM's identity.
    bool Open(SDPLoader& loader, uint16_t product = IMX1050::PID)
    {
        EXPECT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, product)));
        return loader.init() == SDPLoader::SDP_OK;
    }

    std::vector<std::pair<int, size_t>> Reports(const std::vector<SimHidRom::Report>& reports)
    {
        std::vector<std::pair<int, size_t>> out;
        for (const SimHidRom::Report& r : reports)
            out.push_back({r.id, r.length});
        return out;
    }

    SimUsbBus bus;
    ImxSdpDevice chip;
    std::unique_ptr<SimHidRom> rom;
};

TEST_F(HidSdpTest, HidapiEnumeratesTheRomAndOpensOnlyItsIdentity)
{
    ASSERT_EQ(hid_init(), 0);
    hid_device_info* list = hid_enumerate(IMX1050::VID, IMX1050::PID);
    ASSERT_NE(list, nullptr) << "the hidraw back end does not see the simulated ROM";
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(std::string(list->path), rom->devnode());
    EXPECT_EQ(list->vendor_id, IMX1050::VID);
    EXPECT_EQ(list->product_id, IMX1050::PID);
    EXPECT_EQ(list->interface_number, 0);
    EXPECT_EQ(list->usage_page, 0xFF00);
    ASSERT_NE(list->manufacturer_string, nullptr);
    EXPECT_EQ(std::wstring(list->manufacturer_string), L"NXP");
    hid_free_enumeration(list);

    // The node answers the hidraw ioctls: identity and the whole report descriptor.
    int fd = open(rom->devnode().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct hidraw_devinfo info = {};
    ASSERT_EQ(ioctl(fd, HIDIOCGRAWINFO, &info), 0);
    EXPECT_EQ(info.bustype, 3u);
    EXPECT_EQ((uint16_t)info.vendor, IMX1050::VID);
    EXPECT_EQ((uint16_t)info.product, IMX1050::PID);
    int size = 0;
    ASSERT_EQ(ioctl(fd, HIDIOCGRDESCSIZE, &size), 0);
    std::vector<uint8_t> expected = SimHidRom::ReportDescriptor();
    ASSERT_EQ(size, (int)expected.size());
    struct hidraw_report_descriptor descriptor = {};
    descriptor.size = (uint32_t)size;
    ASSERT_EQ(ioctl(fd, HIDIOCGRDESC, &descriptor), 0);
    EXPECT_EQ(std::vector<uint8_t>(descriptor.value, descriptor.value + size), expected);
    close(fd);

    hid_device* handle = hid_open(IMX1050::VID, IMX1050::PID, nullptr);
    ASSERT_NE(handle, nullptr);
    // Nothing was asked: a read finds no report and says so instead of waiting forever.
    unsigned char report[65];
    EXPECT_EQ(hid_read_timeout(handle, report, sizeof(report), 100), 0);
    // A report the ROM does not have is refused by the chip.
    unsigned char feature[17] = {7};
    EXPECT_LT(hid_write(handle, feature, sizeof(feature)), 0);
    EXPECT_EQ(rom->Refused(), 1);
    hid_close(handle);
    hid_exit();

    SDPLoader other;
    EXPECT_FALSE(Open(other, 0x0135)) << "another product must not be taken for the ROM";
}

TEST_F(HidSdpTest, LoaderWriteRegisterReadAndJumpTravelAsTheProtocolsReports)
{
    SDPLoader loader;
    ASSERT_TRUE(Open(loader));

    std::vector<uint8_t> image = sData(2500);
    ASSERT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    ASSERT_EQ(chip.Writes().size(), 1u);
    EXPECT_EQ(chip.Writes()[0].address, 0x20000000u);
    EXPECT_EQ(chip.Memory(0x20000000, 2500), image);
    // Status, write file, then the data in three report-2 buffers; each reply is a report 3
    // with the security state and a report 4 with the status word.
    std::vector<std::pair<int, size_t>> written = {{1, 17}, {1, 17}, {2, 1025}, {2, 1025}, {2, 453}};
    EXPECT_EQ(Reports(rom->Written()), written);
    std::vector<std::pair<int, size_t>> delivered = {{3, 5}, {4, 65}, {3, 5}, {4, 65}};
    EXPECT_EQ(Reports(rom->Delivered()), delivered);

    uint64_t fingerprint = 0;
    ASSERT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, (uint64_t)chip.fuseCfg1 << 32 | chip.fuseCfg0);

    loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    uint32_t entry = 0;
    EXPECT_TRUE(chip.Jumped(&entry));
    EXPECT_EQ(entry, IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    // After the jump the ROM sends only its security state.
    std::vector<SimHidRom::Report> last = rom->Delivered();
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back().id, 3);
    EXPECT_EQ(rom->Refused(), 0);

    std::vector<uint16_t> commands = chip.Commands();
    std::vector<uint16_t> expected = {0x0505, 0x0404, 0x0505, 0x0101, 0x0101, 0x0B0B};
    EXPECT_EQ(commands, expected);
}

TEST_F(HidSdpTest, ProcessorFaultsEndTheLoaderWriteWithTheirResults)
{
    SDPLoader loader;
    ASSERT_TRUE(Open(loader));
    std::vector<uint8_t> image = sData(3000);

    ImxRomFaults faults;
    faults.silent = true;
    chip.SetFaults(faults);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_NO_ANSWER);
    EXPECT_EQ(chip.Commands(), std::vector<uint16_t>(5, 0x0505)) << "no write-file command without an answer";

    faults = ImxRomFaults();
    faults.chatterDuringData = true;
    chip.SetFaults(faults);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_UNEXPECTED_DATA);

    faults = ImxRomFaults();
    faults.badCompletion = true;
    chip.SetFaults(faults);
    // The aborted transfer left the processor waiting for data: a new write-file restarts it.
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_BAD_COMPLETION);

    chip.SetFaults(ImxRomFaults());
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    EXPECT_EQ(chip.Memory(0x20000000, 3000), image);
}

// (Opening a node that has gone is not exercised: the emulated node cannot vanish safely, since
// umockdev would then hand the path to the host's /dev, and hidapi 0.13 leaks its error text
// when the node opens but refuses the hidraw ioctls.)
TEST_F(HidSdpTest, AnUnpluggedRomBreaksAnOpenTransport)
{
    SDPLoader loader;
    ASSERT_TRUE(Open(loader));
    rom->SetPlugged(false);
    EXPECT_EQ(loader.writeLoader(sData(100), 0x20000000), SDPLoader::SDP_NO_ANSWER);
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_NO_ANSWER);
}

// The recovery flow with the port "USB": the loader goes in through the ROM's HID device, the
// ROM jumps to it, and the started loader answers on the same bus as device 0xDEADDEAD.
TEST_F(HidSdpTest, FingerprintThroughTheRomsHidDeviceAndTheStartedLoader)
{
    const uint32_t identifier[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    ImxLoaderDevice started(bus, identifier);
    ASSERT_TRUE(started.ok());
    chip.onJump = [&started](uint32_t) { started.Start(); };

    TempDir dir, store;
    std::vector<uint8_t> blockA = BirdWriter::MakeCode(2100, 3), blockB = BirdWriter::MakeCode(600, 4);
    BirdWriter w;
    w.AddInformation(5, "0.0.5", kStartedLoader, "Loader");
    w.AddLoader(0x20000000, blockA);
    w.AddLoader(0x20200000, blockB);
    ASSERT_EQ(aErrNone, w.Write(dir.file("loader.bird")));
    UpdateServerSim server;
    server.AddDevice(kStartedLoader, "Loader");
    server.AddBuildFile(kStartedLoader, 5, "0.0.5", dir.file("loader.bird"));
    ASSERT_TRUE(server.Start(UpdateServerSim::Options(), nullptr));
    RecordingDisplay display;
    Updater updater(server.BaseURL().c_str(), store.path().c_str(), display);

    Fingerprint fp;
    ASSERT_TRUE(updater.Get_Fingerprint(fp, "USB", kStartedLoader, "", 115200, true));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(identifier[3 - i], fp.words[i]) << i;
    std::vector<ImxSdpDevice::Write> writes = chip.Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, 0x20000000u);
    EXPECT_EQ(writes[0].data, blockA);
    EXPECT_EQ(writes[1].address, 0x20200000u);
    EXPECT_EQ(writes[1].data, blockB);
    uint32_t entry = 0;
    EXPECT_TRUE(chip.Jumped(&entry));
    EXPECT_EQ(entry, IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    EXPECT_TRUE(started.started());
    // Every data report stayed within the ROM's 1024-byte report.
    for (const SimHidRom::Report& r : rom->Written())
        EXPECT_LE(r.length, 1025u);
    EXPECT_EQ(rom->Refused(), 0);
}

}  // namespace
