// `updater -U` end to end: the program with a private home, inside a private network namespace
// where a simulated device (system and upgrade entities, TCP/IP discovery) and the reference
// update server run. USB finds nothing there, so the update goes over TCP/IP.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "DeviceHistory.h"
#include "IsolatedHome.h"
#include "KeyValueStore.h"
#include "LoaderScenario.h"
#include "NetNamespace.h"
#include "Process.h"
#include "SimUpgradeLogic.h"

namespace {

const char* const kAddress = "10.77.0.1";
const uint32_t kSerial = 0x1234ABCD;
const char* const kSerialText = "1234ABCD";
const uint32_t kSerialAt = 0x4010;

// A BIRD file for a Ginkgo (model 16): one loader block, two firmware blocks, the serial
// number patched at kSerialAt when serialBlock is set.
void sWriteBird(const std::string& path, uint32_t build, const std::string& model, bool serialBlock,
                uint32_t infoSerial = kSerial)
{
    BirdWriter writer;
    writer.AddInformation(build, "3.1.4", infoSerial, model);
    if (serialBlock)
        writer.AddSerialNumberLocations(kSerialAt, 0);
    writer.AddLoader(0x20000000, BirdWriter::MakeCode(700, build));
    writer.AddFirmware(0x4000, BirdWriter::MakeCode(3000, build + 1));
    writer.AddFirmware(0x8000, BirdWriter::MakeCode(1500, build + 2));
    ASSERT_EQ(aErrNone, writer.Write(path));
}

class UpdateCli : public ::testing::Test {
  public:
    void SetUp() override
    {
        ASSERT_TRUE(ns.ok());
        // An address besides 127.0.0.1 for discovery to send its request from.
        ASSERT_TRUE(ns.AddAddress(std::string(kAddress) + "/24"));
    }

    // The simulated device inside the namespace; it writes what it received when stopped.
    void StartDevice(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> argv = ns.Prefix();
        argv.push_back(std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_device");
        for (const std::string& word : {std::string("--tcp"), std::string("0"), std::string("--any-address"),
                                        std::string("--discover"), std::string("--upgrade"),
                                        std::string("--serial"), std::string(kSerialText), std::string("--model"),
                                        std::string("16"), std::string("--idle-timeout-s"), std::string("90"),
                                        std::string("--upgrade-record"), record()})
            argv.push_back(word);
        argv.insert(argv.end(), extra.begin(), extra.end());
        device = std::make_unique<BackgroundProcess>(argv);
        ASSERT_FALSE(device->FirstLine("tcp ").empty()) << device->Output();
    }

    // A router (00000777, at 254) with the device as a module at address 04 behind it, the
    // module's upgrade entity writing its record; the router's link stays up throughout.
    void StartRouter(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> argv = ns.Prefix();
        argv.push_back(std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_device");
        for (const std::string& word :
             {std::string("--tcp"), std::string("0"), std::string("--any-address"), std::string("--discover"),
              std::string("--system"), std::string("--serial"), std::string("00000777"), std::string("--module"),
              std::string("254"), std::string("--idle-timeout-s"), std::string("90"), std::string("--network-module"),
              std::string("4:") + kSerialText + ":16", std::string("--network-module"), std::string("6:0000BEEF:16"),
              std::string("--network-upgrade"), std::string("4"), std::string("--network-upgrade-record"), record()})
            argv.push_back(word);
        argv.insert(argv.end(), extra.begin(), extra.end());
        device = std::make_unique<BackgroundProcess>(argv);
        ASSERT_FALSE(device->FirstLine("tcp ").empty()) << device->Output();
    }

    // Stops the device and reads what it received.
    void StopDevice()
    {
        ASSERT_TRUE(device);
        EXPECT_EQ(0, device->Stop());
        loader.clear();
        firmware.clear();
        reboots = -1;
        inits = loads = -1;
        ASSERT_TRUE(SimUpgradeLogic::ReadRecord(record(), loader, firmware, &reboots, &inits, &loads))
            << device->Output();
    }

    // The device got exactly the file's blocks (serial number patched when the file asks).
    void ExpectReceived(const std::string& path)
    {
        BirdFile bird(path.c_str());
        if (bird.HasSerialNumberBlock()) {
            ASSERT_TRUE(bird.ReplaceSerialNumber(kSerial));
        }
        std::vector<BirdBlock> fileLoader = bird.FindBlocks(BirdFile::BLOCK_LOADER);
        std::vector<BirdBlock> fileFirmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
        ASSERT_EQ(fileLoader.size(), loader.size());
        for (size_t i = 0; i < loader.size(); i++) {
            EXPECT_EQ(fileLoader[i].address, loader[i].address);
            EXPECT_EQ(std::vector<uint8_t>(fileLoader[i].data + 4, fileLoader[i].data + fileLoader[i].length),
                      loader[i].bytes);
        }
        ASSERT_EQ(fileFirmware.size(), firmware.size());
        for (size_t i = 0; i < firmware.size(); i++) {
            EXPECT_EQ(fileFirmware[i].address, firmware[i].address);
            EXPECT_EQ(std::vector<uint8_t>(fileFirmware[i].data + 4, fileFirmware[i].data + fileFirmware[i].length),
                      firmware[i].bytes);
        }
        EXPECT_EQ(1, reboots);
    }

    // Runs an update of the device from the file, inside the namespace.
    ProcessResult UpdateFrom(const std::string& path, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"-U", "-d", kSerialText, "-f", path};
        args.insert(args.end(), extra.begin(), extra.end());
        return home.Run(args, ns.name());
    }

    // The lines of the device's history log.
    std::vector<std::string> HistoryLines() const
    {
        return DeviceHistory::Read(home.store() + "/" + kSerialText);
    }

    std::string record() const { return files.file("received"); }
    std::string settings() const { return home.store() + "/" + kSerialText + "/.settings"; }

    NetNamespace ns;
    IsolatedHome home;
    TempDir files;
    std::unique_ptr<BackgroundProcess> device;
    std::vector<SimUpgradeBlock> loader, firmware;
    int reboots = -1;
    int inits = -1;
    int loads = -1;
};

}  // namespace

TEST_F(UpdateCli, UpdatesFromAFileOverTcpIp)
{
    // The file names another serial number but carries a serial-number block: any device takes
    // it, with its own serial number patched in.
    const std::string path = files.file("update.bird");
    sWriteBird(path, 501, "Ginkgo", true, 0x0BADBEEF);
    StartDevice({"--block-size", "512"});

    // With a message for the history, and the debug log in a file.
    const std::string log = files.file("debug.log");
    ProcessResult r = UpdateFrom(path, {"-l", "QA run 17", "-k", log, "-X", "0x10001"});
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    const std::string logged = ReadFileText(log);
    EXPECT_NE(std::string::npos, logged.find("Transferring firmware to device " + path)) << logged;
    EXPECT_NE(std::string::npos, logged.find("Application parameters:")) << logged;
    for (size_t at = 0; at < logged.size(); at = logged.find('\n', at) + 1)  // every line stamped
        ASSERT_EQ(" | ", logged.substr(at + 19, 3)) << logged.substr(at, 80);
    EXPECT_EQ(std::string::npos, r.err.find("Transferring firmware to device")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Application parameters")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Updating from Birdfile: " + path + "\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Transferring loader block 1 of 1, 704 bytes\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Transferring firmware block 2 of 2, 1504 bytes\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Update time: ")) << r.out;
    StopDevice();
    ExpectReceived(path);
    ASSERT_EQ(2u, firmware.size());
    EXPECT_EQ(0xCD, firmware[0].bytes[kSerialAt - 0x4000]);  // least significant byte first

    // The history goes into the device's directory, made for it, with the path as given.
    KeyValueStore history(settings().c_str());
    EXPECT_EQ(path, history.GetString("LATEST_TRANSFER", ""));
    EXPECT_FALSE(history.GetString("LAST_TRANSFER_DATE", "").empty());
    std::vector<std::string> lines = HistoryLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" | update | " + path + " | ok | QA run 17")) << lines[0];
}

TEST_F(UpdateCli, AFileForAnotherModelIsRefused)
{
    const std::string path = files.file("other.bird");
    sWriteBird(path, 502, "Ironwood", false);
    StartDevice();

    ProcessResult r = UpdateFrom(path);
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("Connected device model and Bird file model do not match [Ginkgo]\nBirdfile failed validation\n"))
        << r.err;
    StopDevice();
    EXPECT_TRUE(loader.empty());
    EXPECT_TRUE(firmware.empty());

    // With -OVERRIDE the same file goes in.
    StartDevice();
    ProcessResult forced = home.Run({"-U", "-OVERRIDE", "-d", kSerialText, "-f", path}, ns.name());
    EXPECT_EQ(0, forced.exit_code) << forced.out << forced.err;
    StopDevice();
    ExpectReceived(path);
}

// A damaged file never reaches the device: no INIT, no LOAD, no block, no history; the reason
// is named. (Each of these went in, or half went in, before the whole-file check.)
TEST_F(UpdateCli, ADamagedFileIsRefusedBeforeAnythingIsSent)
{
    BirdWriter good;
    good.AddInformation(506, "3.1.4", kSerial, "Ginkgo");
    good.AddLoader(0x20000000, BirdWriter::MakeCode(700, 1));
    good.AddFirmware(0x4000, BirdWriter::MakeCode(3000, 2));
    good.AddFirmware(0x8000, BirdWriter::MakeCode(1500, 3));
    const std::vector<uint8_t> bytes = good.Build();
    BirdWriter infoOnly;
    infoOnly.AddInformation(506, "3.1.4", kSerial, "Ginkgo");
    BirdWriter emptyBlock = good;
    emptyBlock.AddBlock(1, 0, {});
    BirdWriter miscounted = good;
    miscounted.SetReportedCount(5);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* reason;
    } cases[] = {
        {"cut", std::vector<uint8_t>(bytes.begin(), bytes.begin() + bytes.size() * 2 / 3), "truncated"},
        {"info-only", infoOnly.Build(), "no firmware block"},
        {"empty-block", emptyBlock.Build(), "firmware block 3 holds no code"},
        {"miscounted", miscounted.Build(), "reports 5 blocks but holds 4"},
    };
    StartDevice();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = files.file(std::string(c.name) + ".bird");
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(c.bytes.data(), 1, c.bytes.size(), f);
        fclose(f);
        ProcessResult r = UpdateFrom(path);
        EXPECT_EQ(1, r.exit_code) << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.reason)) << r.err;
    }
    StopDevice();
    EXPECT_EQ(0, inits);
    EXPECT_EQ(0, loads);
    EXPECT_TRUE(loader.empty());
    EXPECT_TRUE(firmware.empty());
    EXPECT_EQ(std::string::npos, ReadFileText(settings()).find("LATEST_TRANSFER"));
}

TEST_F(UpdateCli, DownloadThenUpdateUsesExactlyTheDownloadedBuild)
{
    TempDir serverDir;
    sWriteBird(serverDir.file("7001.bird"), 7001, "Ginkgo", false);
    sWriteBird(serverDir.file("7002.bird"), 7002, "Ginkgo", false);
    WriteFileText(serverDir.file("catalogue"), std::string("device ") + kSerialText + " FW-GINKGO\n" +
                                                   "build " + kSerialText + " 7001 3.1.4\n" + "build " +
                                                   kSerialText + " 7002 3.1.5\n");
    std::vector<std::string> argv = ns.Prefix();
    argv.insert(argv.end(), {std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_server", "--dir", serverDir.path(),
                             "--idle", "60"});
    BackgroundProcess server(argv);
    const std::string url = server.FirstLine("http://");
    ASSERT_FALSE(url.empty()) << server.Output();
    StartDevice();

    ProcessResult r = home.Run({"-G", "-U", "-d", kSerialText, "-b", "7001", "-u", url}, ns.name());
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Updating firmware with build: 7001\n")) << r.out;
    StopDevice();
    ExpectReceived(home.store() + "/" + kSerialText + "/7001.bird");
    KeyValueStore history(settings().c_str());
    EXPECT_EQ("7001.bird", history.GetString("LATEST_TRANSFER", ""));
    server.Stop();
}

TEST_F(UpdateCli, WithoutServerTheLatestDownloadIsUsed)
{
    const std::string dir = home.store() + "/" + kSerialText;
    ASSERT_EQ(0, RunProcess({"mkdir", "-p", dir}).exit_code);
    sWriteBird(dir + "/99528558.bird", 99528558, "Ginkgo", false);
    WriteFileText(dir + "/.settings", "LATEST_DOWNLOAD=99528558.bird\n");
    StartDevice();

    // Nothing listens on port 9 of the namespace's loopback.
    ProcessResult r = home.Run({"-U", "-d", kSerialText, "-u", "http://127.0.0.1:9/cgi/u"}, ns.name());
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Updating with the Latest Download\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Updating firmware with build: 99528558\n")) << r.out;
    StopDevice();
    ExpectReceived(dir + "/99528558.bird");

    // A build that is not in the store is not fetched by the update.
    ProcessResult missing = home.Run({"-U", "-d", kSerialText, "-b", "123", "-u", "http://127.0.0.1:9/cgi/u"},
                                     ns.name());
    EXPECT_EQ(1, missing.exit_code);
    EXPECT_NE(std::string::npos, missing.err.find("Failed to load bird file\n")) << missing.err;
}

TEST_F(UpdateCli, ANewerBuildOnlyOnTheServerFallsBackToTheHistory)
{
    TempDir serverDir;
    sWriteBird(serverDir.file("7003.bird"), 7003, "Ginkgo", false);
    WriteFileText(serverDir.file("catalogue"), std::string("device ") + kSerialText + " FW-GINKGO\n" + "build " +
                                                   kSerialText + " 7003 3.2.0\n");
    std::vector<std::string> argv = ns.Prefix();
    argv.insert(argv.end(), {std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_server", "--dir", serverDir.path(),
                             "--idle", "60"});
    BackgroundProcess server(argv);
    const std::string url = server.FirstLine("http://");
    ASSERT_FALSE(url.empty()) << server.Output();

    // Nothing stored and no history: no build to use.
    ProcessResult none = home.Run({"-U", "-d", kSerialText, "-u", url}, ns.name());
    EXPECT_EQ(1, none.exit_code);
    EXPECT_NE(std::string::npos,
              none.out.find("New firmware is available.  Updater will proceed if valid firmware is found locally.\n"))
        << none.out;
    EXPECT_NE(std::string::npos, none.err.find("Could not find valid build for this device.\n")) << none.err;

    // An earlier transfer of a stored build is used instead of the newer one.
    const std::string dir = home.store() + "/" + kSerialText;
    ASSERT_EQ(0, RunProcess({"mkdir", "-p", dir}).exit_code);
    sWriteBird(dir + "/7001.bird", 7001, "Ginkgo", false);
    WriteFileText(dir + "/.settings", "LATEST_TRANSFER=7001.bird\n");
    StartDevice();
    ProcessResult r = home.Run({"-U", "-d", kSerialText, "-u", url}, ns.name());
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Updating with the Latest Transfer\nUpdating firmware with build: 7001\n"))
        << r.out;
    StopDevice();
    ExpectReceived(dir + "/7001.bird");
    server.Stop();
}

TEST_F(UpdateCli, ADeviceThatTakesThreeSecondsToComeBackIsFound)
{
    const std::string path = files.file("slow.bird");
    sWriteBird(path, 503, "Ginkgo", false);
    StartDevice({"--load-away-ms", "3000"});

    ProcessResult r = UpdateFrom(path);
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    StopDevice();
    ExpectReceived(path);

    // A loader that comes back under the default serial number is found as well.
    StartDevice({"--load-away-ms", "3000", "--loader-serial", "DEADDEAD"});
    ProcessResult renamed = UpdateFrom(path);
    EXPECT_EQ(0, renamed.exit_code) << renamed.out << renamed.err;
    StopDevice();
    ExpectReceived(path);
}

TEST_F(UpdateCli, AFailedBlockFailsTheUpdate)
{
    const std::string path = files.file("bad.bird");
    sWriteBird(path, 504, "Ginkgo", false);
    // The loader block's SUM is the 1st; with 1024-byte pieces the firmware's 3rd piece fails.
    StartDevice({"--fault-bad-sum", "4"});

    ProcessResult r = UpdateFrom(path);
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Failed to transfer firmware block 1 of 2")) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("Transferring firmware block 2 of 2")) << r.out;
    StopDevice();
    EXPECT_EQ(0, reboots);  // never rebooted into partial firmware
    EXPECT_EQ(std::string::npos, ReadFileText(settings()).find("LATEST_TRANSFER"));
    std::vector<std::string> lines = HistoryLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" | update | " + path + " | failed: Failed to transfer firmware block 1 of 2"))
        << lines[0];
}

TEST_F(UpdateCli, UpdateThroughARouterNeedsAModuleAddress)
{
    const std::string path = files.file("routed.bird");
    sWriteBird(path, 505, "Ginkgo", false);
    ProcessResult r = home.Run({"-U", "-d", kSerialText, "-r", "00000777", "-f", path}, ns.name());
    EXPECT_EQ(1, r.exit_code);
    EXPECT_NE(std::string::npos, r.err.find("Module address required for indirect firmware update\n")) << r.err;
}

// Failures of -U and -G through the program: exit 1, one line naming the step and the reason,
// and the store as it was (nothing sent to the device when the request is refused up front).
TEST_F(UpdateCli, FailuresNameTheStepAndLeaveTheStore)
{
    TempDir serverDir;
    sWriteBird(serverDir.file("7001.bird"), 7001, "Ginkgo", false);
    WriteFileText(serverDir.file("7002.bird"), "a 22-byte reply text!\n");
    WriteFileText(serverDir.file("catalogue"), std::string("device ") + kSerialText + " FW-GINKGO\n" + "build " +
                                                   kSerialText + " 7001 3.1.4\n" + "build " + kSerialText +
                                                   " 7002 3.1.5\n");
    std::vector<std::string> argv = ns.Prefix();
    argv.insert(argv.end(), {std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_server", "--dir", serverDir.path(),
                             "--idle", "90"});
    BackgroundProcess server(argv);
    const std::string url = server.FirstLine("http://");
    ASSERT_FALSE(url.empty()) << server.Output();
    const std::string dead = "http://127.0.0.1:9/cgi/u";

    const std::string foreign = files.file("foreign.bird");
    sWriteBird(foreign, 506, "Ginkgo", false, 0x0BADBEEF);
    const std::string unpatchable = files.file("unpatchable.bird");
    {
        BirdWriter writer;
        writer.AddInformation(507, "3.1.4", kSerial, "Ginkgo");
        writer.AddSerialNumberLocations(0x7FFFFFF0, 0);  // outside every firmware block
        writer.AddLoader(0x20000000, BirdWriter::MakeCode(700, 507));
        writer.AddFirmware(0x4000, BirdWriter::MakeCode(3000, 508));
        ASSERT_EQ(aErrNone, writer.Write(unpatchable));
    }
    const std::string good = files.file("good.bird");
    sWriteBird(good, 509, "Ginkgo", false);

    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::vector<std::string> device;  // empty: no device runs
        std::string error;
    } cases[] = {
        {"nine hex digits", {"-U", "-d", "123456789", "-f", good}, {""}, "Invalid serial number obtained from argument [123456789]\n"},
        {"build too large", {"-G", "-d", kSerialText, "-b", "99999999999", "-u", url}, {}, "Invalid build number obtained from argument [99999999999]\n"},
        {"baud with trailing characters", {"-N", "-s", "/dev/null", "-o", "9600x"}, {}, "Invalid baud rate obtained from argument [9600x]\n"},
        {"-G, server down", {"-G", "-d", kSerialText, "-u", dead}, {}, "Server request failed for " + dead + "\nThe update server could not be reached: "},
        {"-U from the history, no device", {"-U", "-d", kSerialText, "-u", dead}, {}, "Failed to connect to module [1234ABCD]\nConnect to device 1234ABCD failed over USB and TCP/IP: no such device found\n"},
        {"-G of data that is no BIRD file", {"-G", "-d", kSerialText, "-b", "7002", "-u", url}, {}, "Build 7002 from the server is not a valid BIRD file ("},
        {"-G -U after a failed download", {"-G", "-U", "-d", kSerialText, "-b", "7002", "-u", url}, {}, "Build 7002 is not in the store for 1234ABCD\n"},
        {"file for another device", {"-U", "-d", kSerialText, "-f", foreign}, {""}, "The file is for device 0BADBEEF, not 1234ABCD, and has no serial number to patch\nBirdfile failed validation\n"},
        {"serial number patch", {"-U", "-d", kSerialText, "-f", unpatchable}, {""}, "Bird file " + unpatchable + ": the serial-number location 7FFFFFF0 lies outside every firmware block"},
        {"refused PREPARE", {"-U", "-d", kSerialText, "-f", good}, {"--fault-refuse-prepare", "1"}, "Failed to prepare loader block 1 of 1 on device 1234ABCD [29, aErrInvalidOption]: the device refused it with status 1\n"},
        // The loader's SUM is the 1st: the firmware's first piece fails, before it is written.
        {"SUM mismatch", {"-U", "-d", kSerialText, "-f", good}, {"--fault-bad-sum", "2"}, "Failed to transfer firmware block 1 of 2 on device 1234ABCD [29, aErrInvalidOption]: checksum mismatch: the device summed "},
        // (Without a limit it is sought 15 rounds a second apart.)
        {"never back after LOAD", {"env", "UPDATER_RESTART_WAIT=1", UPDATER_BINARY, "-U", "-d", kSerialText, "-f", good}, {"--load-away-ms", "-1"},
         "Device 1234ABCD did not come back after starting its loader: not found again over TCPIP within 1 s (UPDATER_RESTART_WAIT) ["},
    };
    // A store with an earlier download and transfer, which no failure may change.
    const std::string dir = home.store() + "/" + kSerialText;
    ASSERT_EQ(0, RunProcess({"mkdir", "-p", dir}).exit_code);
    sWriteBird(dir + "/7001.bird", 7001, "Ginkgo", false);
    const std::string history = "LATEST_DOWNLOAD=7001.bird\nLATEST_TRANSFER=7001.bird\n";
    WriteFileText(dir + "/.settings", history);
    for (const Case& c : cases) {
        if (!c.device.empty()) {
            std::vector<std::string> extra = c.device;
            if (extra.size() == 1 && extra[0].empty())
                extra.clear();
            StartDevice(extra);
        }
        ProcessResult r = c.args[0] == "env" ? home.RunCommand(c.args, ns.name()) : home.Run(c.args, ns.name());
        EXPECT_EQ(1, r.exit_code) << c.name << "\n" << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.error)) << c.name << ": " << r.err;
        if (!c.device.empty()) {
            StopDevice();
            for (const SimUpgradeBlock& block : firmware)  // prepared perhaps, never written
                EXPECT_TRUE(block.bytes.empty()) << c.name;
            EXPECT_EQ(0, reboots) << c.name;
        }
        KeyValueStore kept(settings().c_str());
        EXPECT_STREQ("7001.bird", kept["LATEST_DOWNLOAD"]) << c.name;
        EXPECT_STREQ("7001.bird", kept["LATEST_TRANSFER"]) << c.name;
        EXPECT_NE(0, access((dir + "/7002.bird").c_str(), F_OK)) << c.name;
        EXPECT_NE(0, access((home.store() + "/23456789").c_str(), F_OK)) << c.name;
        // A failure after LOAD also records the loader phase it left the device in; the next
        // case starts from the store as it was.
        WriteFileText(dir + "/.settings", history);
    }
    // Not a number of seconds: refused before anything runs.
    ProcessResult refused =
        home.RunCommand({"env", "UPDATER_RESTART_WAIT=5s", UPDATER_BINARY, "-U", "-d", kSerialText, "-f", good}, ns.name());
    EXPECT_EQ(1, refused.exit_code);
    EXPECT_NE(std::string::npos, refused.err.find("Invalid UPDATER_RESTART_WAIT obtained from the environment [5s]"))
        << refused.err;

    // A stored build from the history that no longer loads is named.
    WriteFileText(dir + "/7001.bird", "damaged");
    ProcessResult damaged = home.Run({"-U", "-d", kSerialText, "-u", dead}, ns.name());
    EXPECT_EQ(1, damaged.exit_code);
    EXPECT_NE(std::string::npos, damaged.err.find("/.vantorix/updater/1234ABCD/7001.bird does not load as a BIRD file\n"
                                                 "Failed to load bird file\n"))
        << damaged.err;
    server.Stop();
}

TEST_F(UpdateCli, UpdatesAModuleBehindARouter)
{
    const std::string path = files.file("routed.bird");
    WriteRunnableBird(path, 506);
    // The module restarts into its loader for 1.5 s after LOAD, and for 0.3 s after REBOOT.
    // -V finds the module again at its address behind the router.
    StartRouter({"--load-away-ms", "1500", "--block-size", "512"});
    ProcessResult r = home.Run({"-U", "-d", kSerialText, "-r", "00000777", "-m", "04", "-f", path, "-V"}, ns.name());
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Transferring firmware block 2 of 2, 1504 bytes\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Device 1234ABCD now runs ")) << r.out;
    StopDevice();
    ExpectReceived(path);
    EXPECT_EQ(0xCD, firmware[0].bytes[kSerialAt - 0x4000]);

    // A module that ignores the reboot (it keeps answering) fails the update, with the reason.
    StartRouter({"--fault-never-reboots"});
    r = home.Run({"-U", "-d", kSerialText, "-r", "00000777", "-m", "04", "-f", path}, ns.name());
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Module 04 did not restart: it kept answering 5.0 s after the reboot "
                                            "request")) << r.err;
    StopDevice();
}

// An update stopped in the loader phase over TCP/IP: the device's loader answers discovery under
// the default serial number at the address the update reached it at.
class TcpLoaderTarget : public LoaderScenarioTarget {
  public:
    explicit TcpLoaderTarget(UpdateCli& test) : test_(test) {}
    const char* Transport() const override { return "TCPIP"; }
    uint32_t SerialNumber() const override { return kSerial; }
    IsolatedHome& Home() override { return test_.home; }
    void Start(const std::vector<std::string>& options) override { test_.StartDevice(options); }
    void Stop(std::vector<SimUpgradeBlock>& firmware, int* loads, int* reboots) override
    {
        test_.StopDevice();
        firmware = test_.firmware;
        *loads = test_.loads;
        *reboots = test_.reboots;
    }
    std::vector<std::string> UpdaterCommand() override { return {UPDATER_BINARY}; }
    ProcessResult RunCommand(const std::vector<std::string>& argv) override
    {
        return test_.home.RunCommand(argv, test_.ns.name());
    }

  private:
    UpdateCli& test_;
};

TEST_F(UpdateCli, AnUpdateStoppedInTheLoaderIsExplainedAndFinished)
{
    TcpLoaderTarget target(*this);
    RunStoppedInLoaderScenario(target, files);
}

// A module behind a router stopped in its loader, which answers under the default serial number
// at the same module address: the record names the router and the module, and the next -U of
// the device, without -r and -m, finishes it through the router.
TEST_F(UpdateCli, AModuleBehindARouterStoppedInItsLoaderIsFinishedThroughTheRouter)
{
    const std::string path = files.file("routed-loader.bird");
    WriteRunnableBird(path, 607);
    StartRouter({"--load-away-ms", "300", "--loader-serial", "DEADDEAD", "--fault-refuse-prepare", "2"});
    ProcessResult r = home.Run({"-U", "-d", kSerialText, "-r", "00000777", "-m", "04", "-f", path}, ns.name());
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("finish the update with updater -U -d 1234ABCD")) << r.err;
    {
        KeyValueStore recorded(settings().c_str());
        EXPECT_EQ("failed", recorded.GetString("LOADER_PHASE", ""));
        EXPECT_EQ("00000777", recorded.GetString("LOADER_PHASE_ROUTER", ""));
        EXPECT_EQ("04", recorded.GetString("LOADER_PHASE_MODULE", ""));
        EXPECT_EQ("TCPIP", recorded.GetString("LOADER_PHASE_TRANSPORT", ""));
    }
    ProcessResult d = home.Run({"-D", "-r", "00000777"}, ns.name());
    EXPECT_EQ(0, d.exit_code) << d.out << d.err;
    EXPECT_NE(std::string::npos, d.out.find("DEADDEAD in loader at module 04 behind router 00000777: the unfinished "
                                            "update of 1234ABCD (" + path + ", build 607)"))
        << d.out;

    ProcessResult finish = home.Run({"-U", "-d", kSerialText, "-V"}, ns.name());
    EXPECT_EQ(0, finish.exit_code) << finish.out << finish.err;
    EXPECT_NE(std::string::npos, finish.out.find("Found the loader of 1234ABCD under DEADDEAD")) << finish.out;
    EXPECT_NE(std::string::npos, finish.out.find("Device 1234ABCD now runs ")) << finish.out;
    EXPECT_EQ(std::string::npos, finish.out.find("Transferring loader block")) << finish.out;
    StopDevice();
    EXPECT_EQ(1, loads);
    ExpectReceived(path);
    EXPECT_EQ(0xCD, firmware[0].bytes[kSerialAt - 0x4000]);
    KeyValueStore after(settings().c_str());
    EXPECT_EQ("", after.GetString("LOADER_PHASE", ""));
    EXPECT_EQ("", after.GetString("LOADER_PHASE_ROUTER", ""));
    EXPECT_EQ(path, after.GetString("LATEST_TRANSFER", ""));
    std::vector<std::string> lines = HistoryLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines.front().find(" | failed: Failed to prepare firmware block 1 of 2"))
        << lines.front();
    EXPECT_NE(std::string::npos, lines.back().find(" | update | " + path + " | ok")) << lines.back();
}

// Two devices whose updates stopped in their loaders, reached at the same address, and one
// loader under the default serial number: it may be either, so nothing is sent to it.
TEST_F(UpdateCli, OneLoaderForTwoUnfinishedUpdatesIsNotGuessed)
{
    const std::string path = files.file("two.bird");
    sWriteBird(path, 603, "Ginkgo", true, 0x0BADBEEF);
    StartDevice({"--load-away-ms", "300", "--loader-serial", "DEADDEAD", "--fault-refuse-prepare", "2"});
    ProcessResult r = UpdateFrom(path);
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;
    // A second device's record, copied from the first one's, names the same address.
    const std::string second = home.store() + "/00C0FFEE";
    ASSERT_EQ(0, RunProcess({"mkdir", "-p", second}).exit_code);
    ASSERT_EQ(0, RunProcess({"cp", settings(), second + "/.settings"}).exit_code);

    ProcessResult d = home.Run({"-D", "-t", "TCPIP"}, ns.name());
    EXPECT_NE(std::string::npos, d.out.find("unfinished updates of 00C0FFEE and 1234ABCD were recorded here"))
        << d.out;
    ProcessResult finish = home.Run({"-U", "-d", kSerialText}, ns.name());
    EXPECT_EQ(1, finish.exit_code);
    EXPECT_NE(std::string::npos, finish.err.find("may be any of the devices with an unfinished update: 00C0FFEE and "
                                                 "1234ABCD; not guessing which"))
        << finish.err;
    StopDevice();
    EXPECT_TRUE(firmware.empty());
    EXPECT_EQ(0, reboots);
}
