// test-labels: threads
// Several devices in one run, verified updates and --json, through the program with a private
// home inside a private network namespace where three simulated devices (and, for the listings,
// the reference update server) run. The program updates the devices on threads of its own, so
// this program also runs under ThreadSanitizer (with the sanitized updater).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "DeviceHistory.h"
#include "IsolatedHome.h"
#include "JsonQuery.h"
#include "KeyValueStore.h"
#include "NetNamespace.h"
#include "Process.h"
#include "SimUpgradeLogic.h"

namespace {

const char* const kAddress = "10.77.0.1";
const char* const kSerials[] = {"1234ABC1", "1234ABC2", "1234ABC3"};
const uint32_t kFileBuild = 8802;
const uint32_t kFileVersion = (3u << 28) | (1u << 24) | 4u;  // 3.1.4

// A Ginkgo file (or another model's) whose firmware says it is build kFileBuild, 3.1.4.
void sWriteBird(const std::string& path, const std::string& model = "Ginkgo")
{
    BirdWriter writer;
    writer.AddInformation(kFileBuild, "3.1.4", 0x0BADBEEF, model);
    writer.AddSerialNumberLocations(0x4010, 0);
    writer.AddLoader(0x20000000, BirdWriter::MakeCode(600, 1));
    std::vector<uint8_t> code = BirdWriter::MakeCode(2000, 2);
    const std::vector<uint8_t> tag = SimUpgradeLogic::FirmwareTag(kFileBuild, kFileVersion);
    code.insert(code.begin() + 64, tag.begin(), tag.end());
    writer.AddFirmware(0x4000, code);
    writer.AddFirmware(0x8000, BirdWriter::MakeCode(1200, 3));
    ASSERT_EQ(aErrNone, writer.Write(path));
}

class MultiUpdateCli : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(ns.ok());
        ASSERT_TRUE(ns.AddAddress(std::string(kAddress) + "/24"));
        sWriteBird(bird());
    }

    void StartDevice(int i, const std::vector<std::string>& extra = {}, const std::string& model = "16")
    {
        std::vector<std::string> argv = ns.Prefix();
        argv.push_back(std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_device");
        const std::string path = record(i);
        for (const char* word : {"--tcp", "0", "--any-address", "--discover", "--upgrade", "--serial", kSerials[i],
                                 "--model", model.c_str(), "--idle-timeout-s", "90", "--upgrade-record", path.c_str()})
            argv.push_back(word);
        argv.insert(argv.end(), extra.begin(), extra.end());
        devices[i] = std::make_unique<BackgroundProcess>(argv);
        ASSERT_FALSE(devices[i]->FirstLine("tcp ").empty()) << devices[i]->Output();
    }

    struct Received {
        std::vector<SimUpgradeBlock> loader, firmware;
        int reboots = -1;
        int inits = -1;
    };

    Received StopDevice(int i)
    {
        Received got;
        EXPECT_EQ(0, devices[i]->Stop());
        EXPECT_TRUE(SimUpgradeLogic::ReadRecord(record(i), got.loader, got.firmware, &got.reboots, &got.inits))
            << devices[i]->Output();
        return got;
    }

    // The device got exactly the file's blocks, its own serial number patched in, and rebooted.
    void ExpectUpdated(int i)
    {
        Received got = StopDevice(i);
        BirdFile file(bird().c_str());
        ASSERT_TRUE(file.ReplaceSerialNumber((uint32_t)strtoul(kSerials[i], nullptr, 16)));
        for (auto kind : {BirdFile::BLOCK_LOADER, BirdFile::BLOCK_FIRMWARE}) {
            const std::vector<BirdBlock> blocks = file.FindBlocks(kind);
            const std::vector<SimUpgradeBlock>& received = kind == BirdFile::BLOCK_LOADER ? got.loader : got.firmware;
            ASSERT_EQ(blocks.size(), received.size()) << kSerials[i];
            for (size_t k = 0; k < blocks.size(); k++)
                EXPECT_EQ(std::vector<uint8_t>(blocks[k].data + 4, blocks[k].data + blocks[k].length),
                          received[k].bytes)
                    << kSerials[i] << " block " << k;
        }
        EXPECT_EQ(1, got.reboots) << kSerials[i];
    }

    ProcessResult Run(const std::vector<std::string>& args) { return home.Run(args, ns.name()); }

    std::string bird() const { return files.file("fw.bird"); }
    std::string record(int i) const { return files.file(std::string("received-") + kSerials[i]); }
    std::string list() const { return std::string(kSerials[0]) + "," + kSerials[1] + "," + kSerials[2]; }

    NetNamespace ns;
    IsolatedHome home;
    TempDir files;
    std::unique_ptr<BackgroundProcess> devices[3];
};

// The summary line of a device.
std::string sSummaryLine(const std::string& out, const char* serial)
{
    size_t at = out.rfind(std::string("\n") + serial + "  ");
    return at == std::string::npos ? std::string() : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

}  // namespace

TEST_F(MultiUpdateCli, ThreeDevicesAtOnceEachGetsExactlyTheFile)
{
    for (int i = 0; i < 3; i++)
        StartDevice(i);
    ProcessResult r = Run({"-U", "-d", list(), "-f", bird(), "-l", "line 3", "--json"});
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    // Standard output is the document alone; the people's messages and the summary went to
    // standard error.
    EXPECT_EQ("('update', True, None, ['1234ABC1', '1234ABC2', '1234ABC3'])",
              JsonQuery(r.out, "(d['command'], d['ok'], d['error'], [x['serial'] for x in d['devices']])"))
        << r.out;
    EXPECT_EQ("[(True, None, 8802, False, True), (True, None, 8802, False, True), (True, None, 8802, False, True)]",
              JsonQuery(r.out, "[(x['ok'], x['error'], x['build'], x['skipped'], x['seconds'] > 0) for x in d['devices']]"));
    EXPECT_NE(std::string::npos, r.err.find("Serial    Model        Before      After       Result")) << r.err;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(0u, sSummaryLine(r.err, kSerials[i]).find(std::string(kSerials[i]) + "  Ginkgo       2.1.7       -           ok "))
            << r.err;
        ExpectUpdated(i);
        const std::vector<std::string> lines = DeviceHistory::Read(home.store() + "/" + kSerials[i]);
        ASSERT_EQ(1u, lines.size()) << kSerials[i];
        EXPECT_NE(std::string::npos, lines[0].find(" | update | " + bird() + " | ok | line 3")) << lines[0];
    }
}

TEST_F(MultiUpdateCli, ADeviceRefusingPrepareFailsAloneAndAllSkipsAnotherModel)
{
    StartDevice(0);
    StartDevice(1, {"--fault-refuse-prepare", "1"});
    StartDevice(2);
    ProcessResult r = Run({"-U", "-d", list(), "-f", bird(), "-j", "2"});
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, sSummaryLine(r.out, kSerials[1]).find(" failed ")) << r.out;
    EXPECT_NE(std::string::npos, sSummaryLine(r.out, kSerials[1]).find("Failed to prepare loader block 1 of 1")) << r.out;
    // Not on a terminal: plain lines, each naming its device.
    EXPECT_NE(std::string::npos, r.out.find(std::string(kSerials[2]) + "  Transferring loader to device\n")) << r.out;
    ExpectUpdated(0);
    ExpectUpdated(2);
    Received refused = StopDevice(1);
    EXPECT_TRUE(refused.firmware.empty());
    EXPECT_EQ(0, refused.reboots);

    // -d ALL: the third device is another model; it is listed as skipped and never asked anything
    // of its upgrade entity.
    StartDevice(0);
    StartDevice(1);
    StartDevice(2, {}, "4");
    ProcessResult all = Run({"-U", "-d", "ALL", "-f", bird(), "-t", "TCPIP", "--json"});
    EXPECT_EQ(0, all.exit_code) << all.out << all.err;
    EXPECT_EQ("[('1234ABC1', True, False), ('1234ABC2', True, False), ('1234ABC3', True, True)]",
              JsonQuery(all.out, "sorted((x['serial'], x['ok'], x['skipped']) for x in d['devices'])"))
        << all.out;
    EXPECT_NE(std::string::npos, sSummaryLine(all.err, kSerials[2]).find(" skipped ")) << all.err;
    ExpectUpdated(0);
    ExpectUpdated(1);
    Received other = StopDevice(2);
    EXPECT_EQ(0, other.inits);
    EXPECT_TRUE(other.loader.empty());
    EXPECT_TRUE(other.firmware.empty());
}

TEST_F(MultiUpdateCli, VerifiedUpdates)
{
    // Comes back running the file's build.
    StartDevice(0);
    ProcessResult r = Run({"-U", "-V", "-d", kSerials[0], "-f", bird(), "--json"});
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Device 1234ABC1 now runs 3.1.4 (8802)\n")) << r.err;
    EXPECT_EQ("(True, {'version': '3.1.4', 'build': 8802})",
              JsonQuery(r.out, "(d['ok'], d['devices'][0]['running'])"));
    StopDevice(0);
    // The store keeps what it now runs (and below, what it came back running instead).
    auto recorded = [this](const char* serial) {
        KeyValueStore settings((home.store() + "/" + serial + "/.settings").c_str());
        return settings.GetString("FIRMWARE_VERSION", "") + " " + settings.GetString("FIRMWARE_BUILD", "");
    };
    EXPECT_EQ("3.1.4 8802", recorded(kSerials[0]));

    // Comes back with the old build; never comes back (the wait is bounded by -w). Two devices
    // at once, each with its own failure.
    StartDevice(0, {"--reboot-old-build"});
    StartDevice(1, {"--reboot-away-ms", "-1"});
    ProcessResult bad = Run({"-U", "-V", "-w", "4", "-d", std::string(kSerials[0]) + "," + kSerials[1], "-f", bird()});
    EXPECT_EQ(1, bad.exit_code) << bad.out << bad.err;
    EXPECT_NE(std::string::npos, sSummaryLine(bad.out, kSerials[0])
                                     .find("Device 1234ABC1 came back running 2.1.7 (1234), not the file's build 8802"))
        << bad.out;
    EXPECT_NE(std::string::npos,
              sSummaryLine(bad.out, kSerials[1]).find("Device 1234ABC2 did not come back within 4 seconds"))
        << bad.out;
    const std::vector<std::string> lines = DeviceHistory::Read(home.store() + "/" + kSerials[0]);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find(" | failed: Device 1234ABC1 came back running")) << lines[1];
    EXPECT_EQ("2.1.7 1234", recorded(kSerials[0]));
    StopDevice(0);
    StopDevice(1);
}

TEST_F(MultiUpdateCli, JsonOfTheListingsAndTheDownload)
{
    for (int i = 0; i < 2; i++)
        StartDevice(i);
    ProcessResult found = Run({"-D", "-t", "TCPIP", "--json"});
    EXPECT_EQ(0, found.exit_code) << found.out << found.err;
    EXPECT_EQ("[('1234ABC1', True, None, 'Ginkgo', '2.1.7', 1234, 'TCPIP', '10.77.0.1'), "
              "('1234ABC2', True, None, 'Ginkgo', '2.1.7', 1234, 'TCPIP', '10.77.0.1')]",
              JsonQuery(found.out, "sorted((x['serial'], x['ok'], x['error'], x['model'], x['version'], x['build'], "
                               "x['transport'], x['ip']) for x in d['devices'])"))
        << found.out;
    EXPECT_NE(std::string::npos, found.err.find("Discovered Devices: (TCPIP)")) << found.err;

    TempDir serverDir;
    ASSERT_EQ(0, RunProcess({"cp", bird(), serverDir.file("8802.bird")}).exit_code);
    WriteFileText(serverDir.file("catalogue"), std::string("device ") + kSerials[0] + " FW-GINKGO\n" + "build " +
                                                   kSerials[0] + " 8802 3.1.4\n" + "build " + kSerials[0] +
                                                   " 8801 3.1.3\n");
    std::vector<std::string> argv = ns.Prefix();
    argv.insert(argv.end(), {std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_server", "--dir", serverDir.path(),
                             "--idle", "60"});
    BackgroundProcess server(argv);
    const std::string url = server.FirstLine("http://");
    ASSERT_FALSE(url.empty()) << server.Output();

    ProcessResult builds = Run({"-B", "-d", kSerials[0], "-u", url, "--json"});
    EXPECT_EQ(0, builds.exit_code) << builds.out << builds.err;
    EXPECT_EQ("('builds', [{'build': 8801, 'version': '3.1.3'}, {'build': 8802, 'version': '3.1.4'}])",
              JsonQuery(builds.out, "(d['command'], d['devices'][0]['builds'])"))
        << builds.out;

    ProcessResult got = Run({"-G", "-d", kSerials[0], "-b", "8802", "-u", url, "--json"});
    EXPECT_EQ(0, got.exit_code) << got.out << got.err;
    EXPECT_EQ("('download', True, 8802, True)",
              JsonQuery(got.out, "(d['command'], d['ok'], d['devices'][0]['build'], "
                             "d['devices'][0]['file'].endswith('/1234ABC1/8802.bird'))"))
        << got.out;
    server.Stop();
    StopDevice(0);
    StopDevice(1);
}
