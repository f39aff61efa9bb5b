// `updater -N` and `updater -U -t RECOVER` end to end against the simulated LPC17xx ROM
// bootloader on a paced pseudo-terminal: the program with a private home, the reference update
// server on 127.0.0.1 for the recovery information.
// test-labels: threads
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "DeviceHistory.h"
#include "ImxRomSim.h"
#include "IsolatedHome.h"
#include "JsonQuery.h"
#include "LpcRomSim.h"
#include "NetNamespace.h"
#include "Process.h"
#include "SimUpgradeLogic.h"
#include "UpdateServerSim.h"
#include "UpdaterStore.h"

#include <unistd.h>

namespace {

const uint32_t kWords[4] = {0x0A1B2C3D, 0x11223344, 0xCAFEF00D, 0x00000007};
const uint32_t kSerial = 0x00C0FFEE;

LpcRomConfig sChip(uint32_t resendFaults = 0)
{
    LpcRomConfig c;
    memcpy(c.serial, kWords, sizeof(kWords));
    c.resendFaults = resendFaults;
    return c;
}

struct Firmware {
    std::vector<uint8_t> low = BirdWriter::MakeCode(10000, 1);   // pieces of 4096, 4096 and 1808
    std::vector<uint8_t> high = BirdWriter::MakeCode(5000, 2);   // in the 32 KiB sectors
    std::vector<uint8_t> after = BirdWriter::MakeCode(512, 3);   // behind the end marker
};

void sWriteBird(const std::string& path, const Firmware& fw, uint32_t build, bool serialBlock)
{
    BirdWriter writer;
    writer.AddInformation(build, "1.2.3", kSerial, "Recovered");
    if (serialBlock)
        writer.AddSerialNumberLocations(0x200, 0);
    writer.AddEncodedFirmware(0x0, fw.low, kWords);
    writer.AddEncodedFirmware(0x10000, fw.high, kWords);
    writer.AddFirmware(0x40000, {0xFF, 0xFF, 0xFF, 0xFF});  // end marker
    writer.AddEncodedFirmware(0x50000, fw.after, kWords);
    ASSERT_EQ(aErrNone, writer.Write(path));
}

void sExpectFlashed(LpcRomSim& sim, const Firmware& fw)
{
    std::vector<uint8_t> flash = sim.Flash();
    EXPECT_EQ(0, memcmp(&flash[0], fw.low.data(), fw.low.size()));
    EXPECT_EQ(0, memcmp(&flash[0x10000], fw.high.data(), fw.high.size()));
    // The last piece was copied as 4096 bytes: only erased bytes follow the firmware, never
    // whatever the staging RAM held.
    for (size_t i = fw.low.size(); i < 0x3000; i++)
        ASSERT_EQ(0xFF, flash[i]) << "at " << i;
    for (size_t i = 0x10000 + fw.high.size(); i < 0x12000; i++)
        ASSERT_EQ(0xFF, flash[i]) << "at " << i;
    for (size_t i = 0x50000; i < 0x50000 + fw.after.size(); i++)
        ASSERT_EQ(0xFF, flash[i]) << "block behind the end marker written at " << i;
    // All sectors erased, before anything was written.
    std::vector<uint32_t> erased = sim.Erased();
    ASSERT_EQ(30u, erased.size());
    for (uint32_t s = 0; s < 30; s++)
        EXPECT_EQ(s, erased[s]);
    std::vector<std::string> commands = sim.Commands();
    size_t eraseAt = 0, firstWrite = 0;
    for (size_t i = 0; i < commands.size(); i++) {
        if (commands[i] == "E 0 29")
            eraseAt = i;
        if (firstWrite == 0 && commands[i].rfind("W ", 0) == 0)
            firstWrite = i;
    }
    EXPECT_LT(eraseAt, firstWrite);
    // The jump is not answered: it may still be on the line when the program has ended.
    uint32_t entry = 1;
    EXPECT_TRUE(sim.AwaitExecuted(&entry));
    EXPECT_EQ(0u, entry);
}

}  // namespace

// -N on a line where an LPC chip answers, on one where nothing does, and on one where an i.MX
// ROM takes the start of the loader stored for the placeholder serial number and then hangs
// (with -e, also showing what went to the ROM and back); with --json the messages go to standard error and standard output is the document alone.
TEST(RecoveryCli, Fingerprint)
{
    PtyLine silent;
    ASSERT_TRUE(silent.Open());
    enum Rom { NONE, LPC, IMX_HANGS };
    struct Case {
        Rom rom;
        bool json;
        int exit_code;
        std::string message, document;
        bool echo = false;  // -e: the exchange with the ROM on standard output
    } cases[] = {
        {LPC, false, 0, "[ 0A1B2C3D 11223344 CAFEF00D 00000007 ]\n", ""},
        {LPC, true, 0, "[ 0A1B2C3D 11223344 CAFEF00D 00000007 ]\n",
         "('fingerprint', True, None, [{'serial': 'DEADDEAD', 'ok': True, 'error': None, "
         "'fingerprint': ['0A1B2C3D', '11223344', 'CAFEF00D', '00000007']}])"},
        // Nothing answers as an LPC; the i.MX path needs a loader it cannot find either.
        {NONE, false, 1, "Got no response from chip\n", ""},
        {NONE, true, 1, "Got no response from chip\n",
         "('fingerprint', False, None, [{'serial': 'DEADDEAD', 'ok': False, 'error': 'Got no response from chip; "
         "No fingerprint from a ROM bootloader on " +
             silent.SlavePath() + ": is the device in recovery mode on that port?'}])"},
        // The whole of standard error ("@PORT@": the ROM's port), within a bounded run.
        {IMX_HANGS, false, 1,
         "The i.MX ROM on @PORT@ stopped answering: no completion status after the block's data (loader block 1 of 2, "
         "1500 bytes to 0x20000000)\nGot no response from chip\n",
         ""},
        {IMX_HANGS, false, 1,
         "The i.MX ROM on @PORT@ stopped answering: no completion status after the block's data (loader block 1 of 2, "
         "1500 bytes to 0x20000000)\nGot no response from chip\n",
         "", true},
    };
    for (const Case& c : cases) {
        LpcRomSim sim(sChip());
        ASSERT_TRUE(sim.Start());
        ImxRomSim imx;
        IsolatedHome home;
        std::string port = c.rom == LPC ? sim.Port() : silent.SlavePath();
        if (c.rom == IMX_HANGS) {
            const std::string dir = home.store() + "/DEADDEAD";
            ASSERT_EQ(0, RunProcess({"mkdir", "-p", dir}).exit_code);
            BirdWriter writer;
            writer.AddInformation(700, "1.2.3", 0xDEADDEAD, "Recovered");
            writer.AddLoader(0x20000000, BirdWriter::MakeCode(1500, 11));
            writer.AddLoader(0x20200000, BirdWriter::MakeCode(700, 12));
            ASSERT_EQ(aErrNone, writer.Write(dir + "/700.bird"));
            WriteFileText(dir + "/.settings", "LATEST_DOWNLOAD=700.bird\n");
            ImxRomFaults faults;
            faults.quietAfterReplies = 1;
            imx.device().SetFaults(faults);
            ASSERT_TRUE(imx.Start());
            port = imx.Port();
        }
        std::vector<std::string> args = {"-N", "-s", port, "-u", "http://127.0.0.1:9/cgi/u"};
        if (c.json)
            args.push_back("--json");
        if (c.echo)
            args.push_back("-e");
        ProcessResult r = home.Run(args, "", 60000);
        EXPECT_EQ(c.exit_code, r.exit_code) << r.out << r.err;
        if (c.rom == IMX_HANGS) {
            std::string message = c.message;
            message.replace(message.find("@PORT@"), 6, port);
            EXPECT_EQ(message, r.err);
            EXPECT_FALSE(imx.device().Jumped());
            // With -e: the LPC probe, then each i.MX command and status in hex (the error status
            // read, the write of the first loader block, its data), and nothing without it.
            const std::string echoed = "sent:     [?]\n"
                                       "sent:     [05 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00]\n"
                                       "received: [56 78 78 56 F0 F0 F0 F0]\n"
                                       "sent:     [04 04 20 00 00 00 20 00 00 05 DC 00 00 00 00 00]\n"
                                       "sent:     [[data report, 1024 bytes]]\n";
            EXPECT_EQ(c.echo, r.out.find(echoed) != std::string::npos) << r.out;
            continue;
        }
        const std::string& messages = c.json || c.exit_code != 0 ? r.err : r.out;
        EXPECT_NE(std::string::npos, messages.find(c.message)) << c.json << "\n" << r.out << r.err;
        if (c.json) {
            EXPECT_EQ(c.document, JsonQuery(r.out, "(d['command'], d['ok'], d['error'], d['devices'])")) << r.out;
        }
    }
}

TEST(RecoveryCli, LpcRecoveryFromAFile)
{
    Firmware fw;
    IsolatedHome home;
    const std::string bird = home.dir() + "/recover.bird";
    sWriteBird(bird, fw, 700, false);
    LpcRomSim sim(sChip(1));  // the first checksum is answered RESEND
    ASSERT_TRUE(sim.Start());
    ProcessResult r = home.Run({"-U", "-t", "RECOVER", "-s", sim.Port(), "-d", "00C0FFEE", "-f", bird, "-e"});
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Transferring firmware block 1 of 2, 10000 bytes")) << r.out;
    // -e: the lines exchanged with the ROM, marked, the line ends shown.
    for (const char* line : {"sent:     [?]\n", "received: [Synchronized\\r\\n]\n", "sent:     [Synchronized\\r\\n]\n",
                             "received: [OK\\r\\n]\n", "sent:     [U 23130\\r\\n]\n", "received: [0\\r\\n]\n"})
        EXPECT_NE(std::string::npos, r.out.find(line)) << line << r.out.substr(0, 3000);
    const std::vector<std::string> history =
        DeviceHistory::Read(home.store() + "/" + UpdaterStore::DeviceName(kSerial));
    ASSERT_EQ(1u, history.size());
    EXPECT_NE(std::string::npos, history[0].find(" | recovery | " + bird + " | ok")) << history[0];
    EXPECT_NE(std::string::npos, r.out.find("Transferred 2 blocks, 15000 total bytes")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Update time:")) << r.out;
    EXPECT_EQ(1u, sim.ResendsSent());
    sExpectFlashed(sim, fw);
}

TEST(RecoveryCli, OfflineFileRefused)
{
    Firmware fw;
    IsolatedHome home;
    const std::string bird = home.dir() + "/serial.bird";
    sWriteBird(bird, fw, 700, true);
    LpcRomSim sim(sChip());
    ASSERT_TRUE(sim.Start());
    ProcessResult r = home.Run({"-U", "-t", "RECOVER", "-s", sim.Port(), "-d", "00C0FFEE", "-f", bird});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(std::string::npos, r.out.find("sent:")) << r.out;  // no echo without -e
    EXPECT_NE(std::string::npos, r.err.find("Updater does not support offline recovery")) << r.err;
    EXPECT_TRUE(sim.Erased().empty());
}

TEST(RecoveryCli, LpcRecoveryFromTheServer)
{
    Firmware fw;
    TempDir dir;
    sWriteBird(dir.file("b.bird"), fw, 812, false);
    UpdateServerSim server;
    server.AddDevice(kSerial, "Recovered");
    server.SetFingerprint(kSerial, kWords);
    server.AddBuild(kSerial, 811, "1.2.2", "an older build that must not be used");
    server.AddBuildFile(kSerial, 812, "1.2.3", dir.file("b.bird"));
    server.SetLatest(kSerial, 812);
    UpdateServerSim::Options options;
    options.idle_timeout_ms = 60000;
    ASSERT_TRUE(server.Start(options, nullptr));

    LpcRomSim sim(sChip());
    ASSERT_TRUE(sim.Start());
    IsolatedHome home;
    ProcessResult r = home.Run({"-U", "-t", "RECOVER", "-s", sim.Port(), "-u", server.BaseURL()});
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Recovering firmware with build: 812")) << r.out;
    const std::string stored = home.store() + "/" + UpdaterStore::DeviceName(kSerial) + "/812.bird";
    EXPECT_EQ(0, access(stored.c_str(), R_OK)) << stored;
    // The history goes to the device the server named.
    const std::string history = ReadFileText(home.store() + "/" + UpdaterStore::DeviceName(kSerial) + "/history.log");
    EXPECT_NE(std::string::npos, history.find(" | recovery | 812.bird | ok\n")) << history;
    sExpectFlashed(sim, fw);
}

// -V after an LPC recovery: GO starts the flashed firmware, whose device the test brings up on
// TCP/IP inside a private network namespace, running the build its firmware carries, another
// build, or never.
TEST(RecoveryCli, VerifiedLpcRecovery)
{
    NetNamespace ns;
    ASSERT_TRUE(ns.ok());
    ASSERT_TRUE(ns.AddAddress("10.77.0.1/24"));
    Firmware fw;
    const std::vector<uint8_t> tag = SimUpgradeLogic::FirmwareTag(700, (1u << 28) | (2u << 24) | 3u);  // 1.2.3
    fw.low.insert(fw.low.begin() + 256, tag.begin(), tag.end());
    struct Case {
        const char* name;
        int comesUpAs;  // 0: the build its firmware carries; -1: never; else that build
        const char* wait;
        int exit_code;
        std::string message, running;
    } cases[] = {
        {"the file's build", 0, "30", 0, "Device 00C0FFEE now runs 1.2.3 (700)\n", "{'version': '1.2.3', 'build': 700}"},
        {"another build", 699, "30", 1, "Device 00C0FFEE came back running 1.2.3 (699), not the file's build 700\n",
         "{'version': '1.2.3', 'build': 699}"},
        {"never", -1, "3", 1, "Device 00C0FFEE did not come back within 3 seconds\n", "None"},
    };
    for (const Case& c : cases) {
        IsolatedHome home;
        const std::string bird = home.dir() + "/recover.bird";
        sWriteBird(bird, fw, 700, false);
        std::mutex lock;
        std::unique_ptr<BackgroundProcess> device;
        LpcRomConfig chip = sChip();
        chip.eraseMsPerSector = 1;
        chip.onExecute = [&](const std::vector<uint8_t>& flash) {
            SimUpgradeBlock image;
            image.bytes = flash;
            uint32_t build = 0, version = 0;
            if (c.comesUpAs < 0 || !SimUpgradeLogic::FindFirmwareTag({image}, &build, &version))
                return;
            char text[32];
            snprintf(text, sizeof(text), "%u.%u.%u", version >> 28, (version >> 24) & 0xF, version & 0xFFFFFF);
            const std::string running = std::to_string(c.comesUpAs > 0 ? (uint32_t)c.comesUpAs : build);
            std::vector<std::string> argv = ns.Prefix();
            argv.insert(argv.end(), {std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_device", "--tcp", "0",
                                     "--any-address", "--discover", "--system", "--serial", "00C0FFEE", "--version",
                                     text, "--build", running, "--idle-timeout-s", "60"});
            std::lock_guard<std::mutex> hold(lock);
            device = std::make_unique<BackgroundProcess>(argv);
        };
        LpcRomSim sim(chip);
        ASSERT_TRUE(sim.Start());
        ProcessResult r = home.Run({"-U", "-V", "-w", c.wait, "-t", "RECOVER", "-s", sim.Port(), "-d", "00C0FFEE",
                                    "-f", bird, "--json"},
                                   ns.name());
        EXPECT_EQ(c.exit_code, r.exit_code) << c.name << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.name << "\n" << r.err;
        EXPECT_EQ(std::string("('recover', ") + (c.exit_code == 0 ? "True" : "False") + ", 700, " + c.running + ")",
                  JsonQuery(r.out, "(d['command'], d['ok'], d['devices'][0]['build'], "
                                   "d['devices'][0].get('running'))"))
            << c.name << r.out;
        const std::vector<std::string> history =
            DeviceHistory::Read(home.store() + "/" + UpdaterStore::DeviceName(kSerial));
        ASSERT_EQ(1u, history.size()) << c.name;
        EXPECT_NE(std::string::npos,
                  history[0].find(c.exit_code == 0 ? std::string(" | ok") : " | failed: " + c.message.substr(0, 20)))
            << c.name << history[0];
        sim.Stop();
        std::lock_guard<std::mutex> hold(lock);
        if (device)
            device->Stop();
    }
}

// Recovery failures: each stops with exit 1 and one line naming the step and the reason (and
// what to do next), before the chip is touched when something the recovery needs is missing.
// "@PORT@" in a line stands for the chip's port. The i.MX rows have a ROM that answers and
// then hangs (imxQuietAfter: the replies it gives before).
TEST(RecoveryCli, FailuresNameTheStepAndTheReason)
{
    Firmware fw;
    struct Case {
        const char* name;
        LpcRomConfig chip;
        bool port, file;
        std::string error;
        bool erased;  // the chip's erase ran
        int imxQuietAfter;
    } cases[] = {
        {"no -s", sChip(), false, true, "Recovery needs the serial port the chip is on: give it with -s\n", false, -1},
        {"server down", sChip(), true, false,
         "The update server named no device for this chip, and no file was given with -f: The update server could "
         "not be reached: ",
         false, -1},
        {"prepare refused", sChip(), true, true,
         "LPC recovery of 00C0FFEE on @PORT@ failed at prepare sectors 0 to 29: the chip answered return code 9 "
         "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION\n",
         false, -1},
        {"erase refused", sChip(), true, true,
         "LPC recovery of 00C0FFEE on @PORT@ failed at erase sectors 0 to 29: the chip answered return code 19 "
         "CODE_READ_PROTECTION_ENABLED; the chip is erased; run the recovery again\n",
         false, -1},
        {"copy refused", sChip(), true, true,
         "LPC recovery of 00C0FFEE on @PORT@ failed at copy of block 1 of 2 to flash at 0x00000000: the chip answered return code 10 "
         "COMPARE_ERROR; the chip is erased; run the recovery again\n",
         true, -1},
        {"i.MX ROM hangs after the first status", sChip(), true, true,
         "The i.MX ROM on @PORT@ stopped answering: no completion status after the block's data (loader block 1 of 2, "
         "1500 bytes to 0x20000000)\nCould not get Device Identifier\n",
         false, 1},
        {"i.MX ROM hangs after the first block", sChip(), true, true,
         "The i.MX ROM on @PORT@ stopped answering: no status before the block (loader block 2 of 2, 700 bytes to "
         "0x20200000)\nCould not get Device Identifier\n",
         false, 2},
    };
    cases[2].chip.prepareFault = 9;
    cases[3].chip.eraseFault = 19;
    cases[4].chip.copyFault = 10;
    for (Case& c : cases) {
        IsolatedHome home;
        const std::string bird = home.dir() + "/recover.bird";
        std::unique_ptr<LpcRomSim> lpc;
        std::unique_ptr<ImxRomSim> imx;
        std::string port;
        if (c.imxQuietAfter < 0) {
            sWriteBird(bird, fw, 700, false);
            lpc.reset(new LpcRomSim(c.chip));
            ASSERT_TRUE(lpc->Start());
            port = lpc->Port();
        } else {
            BirdWriter writer;  // the loader the ROM takes, then the firmware for the started loader
            writer.AddInformation(700, "1.2.3", kSerial, "Recovered");
            writer.AddLoader(0x20000000, BirdWriter::MakeCode(1500, 11));
            writer.AddLoader(0x20200000, BirdWriter::MakeCode(700, 12));
            writer.AddFirmware(0x60002000, BirdWriter::MakeCode(3000, 13));
            ASSERT_EQ(aErrNone, writer.Write(bird));
            imx.reset(new ImxRomSim());
            ImxRomFaults faults;
            faults.quietAfterReplies = c.imxQuietAfter;
            imx->device().SetFaults(faults);
            ASSERT_TRUE(imx->Start());
            port = imx->Port();
        }
        std::vector<std::string> args = {"-U", "-t", "RECOVER", "-u", "http://127.0.0.1:9/cgi/u"};
        if (c.port)
            args.insert(args.end(), {"-s", port});
        if (c.file)
            args.insert(args.end(), {"-d", "00C0FFEE", "-f", bird});
        ProcessResult r = home.Run(args);
        EXPECT_EQ(1, r.exit_code) << c.name << r.out << r.err;
        std::string error = c.error;
        const size_t at = error.find("@PORT@");
        if (at != std::string::npos)
            error.replace(at, 6, port);
        EXPECT_NE(std::string::npos, r.err.find(error)) << c.name << ": " << r.err;
        if (imx) {
            // The ROM did answer: no hint to look for one, and it never jumped.
            EXPECT_EQ(std::string::npos, r.err.find("is the device in recovery mode")) << c.name << ": " << r.err;
            EXPECT_FALSE(imx->device().Jumped()) << c.name;
        } else {
            EXPECT_EQ(std::string::npos, r.err.find("Could not get Device Identifier")) << c.name << ": " << r.err;
            EXPECT_EQ(c.erased, !lpc->Erased().empty()) << c.name;
        }
        // No directory for serial number 0, and nothing stored for the device.
        EXPECT_NE(0, access((home.store() + "/00000000").c_str(), F_OK)) << c.name;
        EXPECT_NE(0, access((home.store() + "/00C0FFEE/700.bird").c_str(), F_OK)) << c.name;
    }

    // A line where no ROM answers (neither LPC nor i.MX).
    PtyLine silent;
    ASSERT_TRUE(silent.Open());
    IsolatedHome home;
    ProcessResult r = home.Run({"-U", "-t", "RECOVER", "-s", silent.SlavePath(), "-u", "http://127.0.0.1:9/cgi/u"});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_NE(std::string::npos, r.err.find("Could not get Device Identifier\nNo fingerprint from a ROM bootloader on " +
                                            silent.SlavePath() + ": is the device in recovery mode on that port?\n"))
        << r.err;
    EXPECT_NE(0, access((home.store() + "/00000000").c_str(), F_OK));
}
