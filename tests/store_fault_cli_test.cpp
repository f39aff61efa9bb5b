// What the store holds when runs overlap, are killed, or meet a store that cannot be written:
// the updater binary with a private home, inside a private network namespace with a simulated
// device (TCP/IP) and the reference update server. Each case runs a short shell script in one
// isolated home (so several runs share one store), then checks the last run's exit code and
// error line, what the device received, and every file of the device's directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "DeviceHistory.h"
#include "ImxRomSim.h"
#include "IsolatedHome.h"
#include "KeyValueStore.h"
#include "LoaderScenario.h"
#include "LpcRomSim.h"
#include "NetNamespace.h"
#include "Process.h"
#include "SimUpgradeLogic.h"

namespace {

const char* const kSerialText = "1234ABCD";
const uint32_t kSerial = 0x1234ABCD;

std::vector<uint8_t> sBird(uint32_t build, size_t codeSize)
{
    BirdWriter writer;
    writer.AddInformation(build, "3.1.4", kSerial, "Ginkgo");
    writer.AddLoader(0x20000000, BirdWriter::MakeCode(700, build));
    writer.AddFirmware(0x4000, BirdWriter::MakeCode(codeSize, build + 1));
    writer.AddFirmware(0x40000, BirdWriter::MakeCode(1500, build + 2));
    return writer.Build();
}

std::string sText(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// The entries of a directory (no "." and ".."), sorted.
std::vector<std::string> sEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A script's helper: waits (bounded, about 20 s) until the file holds the text.
const char* const kAwait =
    "await() { i=0; while [ $i -lt 400 ] && ! grep -q \"$2\" \"$1\" 2>/dev/null; do sleep 0.05; i=$((i+1)); done; }\n";

// Gives the store root a tmpfs of its own, seeded with what the root held, so a case can fill it.
const char* const kSmallDisk =
    "cp -a \"$S\" \"$F/seed\" && mount -t tmpfs -o size=1m tmpfs \"$S\" && cp -a \"$F/seed/.\" \"$S/\" || exit 70\n"
    "dd if=/dev/zero of=\"$S/filler\" bs=4096 2>/dev/null\n";

struct Case {
    std::string name;
    std::string fault;                     // of the second server ($FAULTY)
    std::map<uint32_t, std::string> served;  // build -> file content
    std::vector<std::string> device;       // the device's extra options; none: no device runs
    bool runDevice;
    std::string settings;                  // the device's seeded settings
    std::map<std::string, std::string> stored;  // the device's seeded files
    std::string script;                    // $U updater, $S store root, $D device directory,
                                           // $URL, $FAULTY servers, $F a scratch directory
    int exitCode;
    std::string error;                     // the last run's standard error holds it
    std::function<void(const std::string& dir, const ProcessResult& r)> check;
    std::string latest = "";               // the build the server names as its latest
};

class StoreFaults : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(ns.ok());
        ASSERT_TRUE(ns.AddAddress("10.77.0.1/24"));
        good7001 = sText(sBird(7001, 3000));
        good7002 = sText(sBird(7002, 30000));
        update = files.file("update.bird");
        WriteFileText(update, sText(sBird(7005, 3000)));
    }

    std::unique_ptr<BackgroundProcess> StartServer(const std::string& directory, const std::string& fault,
                                                   std::string* url)
    {
        std::vector<std::string> argv = ns.Prefix();
        argv.insert(argv.end(), {std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_server", "--dir", directory, "--idle",
                                 "90", "--stall", "60"});
        if (!fault.empty())
            argv.insert(argv.end(), {"--fault", fault});
        auto server = std::make_unique<BackgroundProcess>(argv);
        *url = server->FirstLine("http://");
        return server;
    }

    void StartDevice(const std::vector<std::string>& extra)
    {
        std::vector<std::string> argv = ns.Prefix();
        argv.insert(argv.end(), {std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_device", "--tcp", "0", "--any-address",
                                 "--discover", "--upgrade", "--serial", kSerialText, "--model", "16",
                                 "--idle-timeout-s", "90", "--upgrade-record", files.file("received")});
        argv.insert(argv.end(), extra.begin(), extra.end());
        device = std::make_unique<BackgroundProcess>(argv);
        ASSERT_FALSE(device->FirstLine("tcp ").empty()) << device->Output();
    }

    void StopDevice()
    {
        ASSERT_TRUE(device);
        EXPECT_EQ(0, device->Stop());
        loader.clear();
        firmware.clear();
        reboots = inits = loads = -1;
        ASSERT_TRUE(SimUpgradeLogic::ReadRecord(files.file("received"), loader, firmware, &reboots, &inits, &loads))
            << device->Output();
        device.reset();
    }

    // The device took the whole update file once, then rebooted.
    void ExpectUpdated()
    {
        ExpectLastFirmwareIs(BirdFile(update.c_str()), firmware);
        EXPECT_EQ(1, loads);
        EXPECT_EQ(1, reboots);
    }

    void Run(const Case& c)
    {
        SCOPED_TRACE(c.name);
        RunProcess({"rm", "-rf", home.store(), files.file("seed"), files.file("server")});
        const std::string dir = home.store() + "/" + kSerialText;
        ASSERT_EQ(0, RunProcess({"mkdir", "-p", dir, files.file("server")}).exit_code);
        if (!c.settings.empty())
            WriteFileText(dir + "/.settings", c.settings);
        for (const auto& file : c.stored)
            WriteFileText(dir + "/" + file.first, file.second);
        std::string catalogue = std::string("device ") + kSerialText + " FW-GINKGO\n";
        for (const auto& build : c.served) {
            WriteFileText(files.file("server/" + std::to_string(build.first) + ".bird"), build.second);
            catalogue += std::string("build ") + kSerialText + " " + std::to_string(build.first) + " 3.1." +
                         std::to_string(build.first % 100) + "\n";
        }
        if (!c.latest.empty())
            catalogue += std::string("latest ") + kSerialText + " " + c.latest + "\n";
        WriteFileText(files.file("server/catalogue"), catalogue);
        std::string url, faulty;
        auto server = StartServer(files.file("server"), "", &url);
        auto faultyServer = StartServer(files.file("server"), c.fault, &faulty);
        ASSERT_FALSE(url.empty() || faulty.empty());
        if (c.runDevice)
            StartDevice(c.device);

        const std::string script = std::string("U=$1 S=$2 D=$3 URL=$4 FAULTY=$5 F=$6\n") + kAwait + c.script;
        // The store as the program sees it: under the home directory, inside the isolated home.
        const std::string store = RealHomeDirectory() + "/.vantorix/updater";
        ProcessResult r = home.RunCommand(
            {"sh", "-c", script, "sh", UPDATER_BINARY, store, store + "/" + kSerialText, url, faulty, files.path()},
            ns.name());
        EXPECT_EQ(c.exitCode, r.exit_code) << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.error)) << r.err;
        if (c.runDevice)
            StopDevice();
        // Nothing half-written is left, whatever happened.
        for (const std::string& name : sEntries(dir))
            EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
        c.check(dir, r);
    }

    NetNamespace ns;
    IsolatedHome home;
    TempDir files;
    std::unique_ptr<BackgroundProcess> device;
    std::vector<SimUpgradeBlock> loader, firmware;
    int reboots = -1, inits = -1, loads = -1;
    std::string good7001, good7002, update;
};

}  // namespace

TEST_F(StoreFaults, EveryCaseLeavesAConsistentStore)
{
    const std::string earlier = "LAST_DOWNLOAD_DATE=Mon Dec  7 10:00:00 2026\nLATEST_DOWNLOAD=7001.bird\nNOTE=kept\n";
    // The true Base64 reply of 7001 cut at a multiple of 4 characters, and random bytes that
    // encode to valid Base64.
    const std::string cut = good7001.substr(0, good7001.size() / 3 * 3 - 300);
    std::string random(4000, '\0');
    for (size_t i = 0; i < random.size(); i++)
        random[i] = (char)((i * 2654435761u) >> 13);
    // The pages the 30 KB build takes on a tmpfs.
    const size_t pages = (good7002.size() + 4095) / 4096;

    const std::string dirInside = RealHomeDirectory() + "/.vantorix/updater/" + kSerialText;
    // A valid build outside the store, named relative to the device's directory.
    WriteFileText(files.file("outside.bird"), good7001);
    std::string outside;
    for (char ch : dirInside)
        if (ch == '/')
            outside += "../";
    outside += files.file("outside.bird").substr(1);
    const auto keptEarlier = [this](const std::string& dir) {
        EXPECT_EQ(good7001, ReadFileText(dir + "/7001.bird"));
        KeyValueStore kept((dir + "/.settings").c_str());
        EXPECT_EQ("7001.bird", kept.GetString("LATEST_DOWNLOAD", ""));
        EXPECT_EQ("Mon Dec  7 10:00:00 2026", kept.GetString("LAST_DOWNLOAD_DATE", ""));
        EXPECT_EQ("kept", kept.GetString("NOTE", ""));
    };
    const auto damaged = [&](const std::string& name, const std::string& fault, const std::string& content) {
        return Case{name, fault, {{7001, content}}, {}, false, earlier, {{"7001.bird", good7001}},
                    "exec \"$U\" -G -d 1234ABCD -b 7001 -u \"$FAULTY\"\n", 1,
                    "Build 7001 from the server is not a valid BIRD file (",
                    [&](const std::string& dir, const ProcessResult&) {
                        keptEarlier(dir);
                        EXPECT_EQ((std::vector<std::string>{".settings", "7001.bird", "history.log"}), sEntries(dir));
                    }};
    };

    const auto named = [&](const std::string& latest) {
        Case c{"the server names build " + latest, "", {{7001, good7001}}, {}, false, earlier, {{"7001.bird", good7001}},
               "exec \"$U\" -G -d 1234ABCD -u \"$URL\"\n", 1, "The server named no valid build for 1234ABCD\n",
               [&](const std::string& dir, const ProcessResult&) {
                   keptEarlier(dir);
                   EXPECT_EQ((std::vector<std::string>{".settings", "7001.bird", "history.log"}), sEntries(dir));
               }};
        c.latest = latest;
        return c;
    };
    const std::string longPath = "/" + std::string(2100, 'p') + ".bird";

    const Case cases[] = {
        // An update that runs while two downloads finish: it loaded the settings before they
        // saved theirs, and saves its own keys after them.
        {"two -G and one -U at once", "", {{7001, good7001}, {7002, good7002}}, {"--load-away-ms", "1500"}, true,
         earlier, {},
         "\"$U\" -U -d 1234ABCD -f \"$F/update.bird\" >\"$F/u.out\" 2>&1 & u=$!\n"
         "await \"$F/u.out\" 'Transferring loader block'\n"
         "\"$U\" -G -d 1234ABCD -b 7001 -u \"$URL\" >\"$F/g1.out\" 2>&1 & g1=$!\n"
         "\"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\" >\"$F/g2.out\" 2>&1 & g2=$!\n"
         "wait $g1; a=$?; wait $g2; b=$?; wait $u; c=$?\n"
         "cat \"$F/g1.out\" \"$F/g2.out\" \"$F/u.out\" >&2; echo \"exits $a $b $c\"\n",
         0, "", [&](const std::string& dir, const ProcessResult& r) {
             EXPECT_NE(std::string::npos, r.out.find("exits 0 0 0")) << r.out << r.err;
             ExpectUpdated();
             EXPECT_EQ(good7001, ReadFileText(dir + "/7001.bird"));
             EXPECT_EQ(good7002, ReadFileText(dir + "/7002.bird"));
             KeyValueStore after((dir + "/.settings").c_str());
             const std::string latest = after.GetString("LATEST_DOWNLOAD", "");
             EXPECT_TRUE(latest == "7001.bird" || latest == "7002.bird") << latest;
             EXPECT_NE("Mon Dec  7 10:00:00 2026", after.GetString("LAST_DOWNLOAD_DATE", ""));
             EXPECT_EQ(update, after.GetString("LATEST_TRANSFER", ""));
             EXPECT_FALSE(after.GetString("LAST_TRANSFER_DATE", "").empty());
             EXPECT_EQ("", after.GetString("LOADER_PHASE", ""));
             EXPECT_EQ("kept", after.GetString("NOTE", ""));
             EXPECT_EQ(3u, DeviceHistory::Read(dir).size());
         }},

        // A download killed while the build arrives stores nothing; the next one completes and
        // removes what an earlier killed write left.
        {"kill -9 in -G", "drip:bird", {{7002, good7002}}, {}, false, earlier,
         {{"7001.bird", good7001}, {"7002.bird.tmpAb12Cd", good7002.substr(0, 5000)}},
         "\"$U\" -G -d 1234ABCD -b 7002 -u \"$FAULTY\" >\"$F/k.out\" 2>&1 & p=$!\n"
         "await \"$F/k.out\" 'Build 7002 is valid'; sleep 0.5\n"
         "kill -9 $p; wait $p; echo \"killed $?\"; ls \"$D\"; grep LATEST_DOWNLOAD \"$D/.settings\"\n"
         "exec \"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\"\n",
         0, "", [&](const std::string& dir, const ProcessResult& r) {
             EXPECT_NE(std::string::npos,
                       r.out.find("killed 137\n7001.bird\n7002.bird.tmpAb12Cd\nLATEST_DOWNLOAD=7001.bird\n"))
                 << r.out;
             EXPECT_EQ(good7002, ReadFileText(dir + "/7002.bird"));
             KeyValueStore after((dir + "/.settings").c_str());
             EXPECT_EQ("7002.bird", after.GetString("LATEST_DOWNLOAD", ""));
             EXPECT_EQ("kept", after.GetString("NOTE", ""));
         }},

        // An update killed while it sends the loader (by the device, as its PREPARE arrives,
        // which it never answers); the next update of the device completes.
        {"kill -9 in -U", "", {}, {"--fault-mute", "3:1", "--fault-mute-kills", files.file("updater.pid")}, true,
         earlier, {},
         "sh -c 'echo $$ >\"$0\"; exec \"$@\"' \"$F/updater.pid\" \"$U\" -U -d 1234ABCD -f \"$F/update.bird\" "
         ">\"$F/k.out\" 2>&1 & p=$!\n"
         "wait $p; echo \"killed $?\"\n"
         "exec \"$U\" -U -d 1234ABCD -f \"$F/update.bird\"\n",
         0, "", [&](const std::string& dir, const ProcessResult& r) {
             EXPECT_NE(std::string::npos, r.out.find("killed 137\n")) << r.out;
             EXPECT_NE(std::string::npos, r.out.find("Transferring firmware block 2 of 2")) << r.out;
             ExpectUpdated();
             KeyValueStore after((dir + "/.settings").c_str());
             EXPECT_EQ(update, after.GetString("LATEST_TRANSFER", ""));
             EXPECT_EQ("", after.GetString("LOADER_PHASE", ""));
             EXPECT_EQ("kept", after.GetString("NOTE", ""));
             const std::vector<std::string> lines = DeviceHistory::Read(dir);
             ASSERT_EQ(1u, lines.size());
             EXPECT_NE(std::string::npos, lines[0].find(" | update | " + update + " | ok")) << lines[0];
         }},

        // A read-only store: the download is refused with the reason, nothing changes.
        {"read-only store, -G", "", {{7002, good7002}}, {}, false, earlier, {{"7001.bird", good7001}},
         "mount --bind \"$S\" \"$S\" && mount -o remount,ro,bind \"$S\" \"$S\" || exit 70\n"
         "exec \"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\"\n",
         1, "Failed to write file with 6\nCould not store build 7002: cannot write " + dirInside +
                "/7002.bird: Read-only file system\n",
         [&](const std::string& dir, const ProcessResult&) {
             keptEarlier(dir);
             EXPECT_EQ((std::vector<std::string>{".settings", "7001.bird"}), sEntries(dir));
         }},
        // ...and an update is refused before anything is sent to the device.
        {"read-only store, -U", "", {}, {}, true, earlier, {{"7001.bird", good7001}},
         "mount --bind \"$S\" \"$S\" && mount -o remount,ro,bind \"$S\" \"$S\" || exit 70\n"
         "exec \"$U\" -U -d 1234ABCD -f \"$F/update.bird\"\n",
         1, "The store cannot record an update of 1234ABCD: cannot write in " + dirInside +
                ": Read-only file system; nothing was sent to the device\n",
         [&](const std::string& dir, const ProcessResult&) {
             EXPECT_EQ(0, inits);
             EXPECT_TRUE(loader.empty());
             keptEarlier(dir);
             EXPECT_EQ((std::vector<std::string>{".settings", "7001.bird"}), sEntries(dir));
         }},

        // ...and discovery lists the device but fails the run, since it could not record it.
        {"read-only store, -D", "", {}, {}, true, earlier, {{"7001.bird", good7001}},
         "mount --bind \"$S\" \"$S\" && mount -o remount,ro,bind \"$S\" \"$S\" || exit 70\n"
         "exec \"$U\" -D -t TCPIP\n",
         1, "Could not record device 1234ABCD in the store: cannot write " + dirInside +
                "/.settings: Read-only file system\n",
         [&](const std::string& dir, const ProcessResult& r) {
             EXPECT_NE(std::string::npos, r.out.find("    1234ABCD  ")) << r.out;
             keptEarlier(dir);
         }},

        // A full disk: no room for the build...
        {"full disk, build", "", {{7002, good7002}}, {}, false, earlier, {{"7001.bird", good7001}},
         std::string(kSmallDisk) + "truncate -s -" + std::to_string((pages - 1) * 4096) + " \"$S/filler\"\n" +
             "exec \"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\"\n",
         1, "Failed to write file with 8\nCould not store build 7002: cannot write " + dirInside +
                "/7002.bird: No space left on device\n",
         [&](const std::string& dir, const ProcessResult&) {
             keptEarlier(dir);
             EXPECT_NE(0, access((dir + "/7002.bird").c_str(), F_OK));
         }},
        // ...or room for the build but not for its record: the run fails, the record is as it was.
        {"full disk, history", "", {{7002, good7002}}, {}, false, earlier, {{"7001.bird", good7001}},
         std::string(kSmallDisk) + "truncate -s -" + std::to_string(pages * 4096) + " \"$S/filler\"\n" +
             "exec \"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\"\n",
         1, "Could not record the download of build 7002: cannot write " + dirInside +
                "/.settings: No space left on device\n",
         [&](const std::string& dir, const ProcessResult&) {
             keptEarlier(dir);
             EXPECT_EQ(good7002, ReadFileText(dir + "/7002.bird"));  // whole, or not there at all
         }},

        // ...and no room for an update's record: nothing is sent to the device.
        {"full disk, -U", "", {}, {}, true, earlier, {{"7001.bird", good7001}},
         std::string(kSmallDisk) + "exec \"$U\" -U -d 1234ABCD -f \"$F/update.bird\"\n", 1,
         "The store cannot record an update of 1234ABCD: cannot write in " + dirInside +
             ": No space left on device; nothing was sent to the device\n",
         [&](const std::string& dir, const ProcessResult&) {
             EXPECT_EQ(0, inits);
             EXPECT_TRUE(loader.empty());
             keptEarlier(dir);
         }},

        // A download kept and recorded whose history line cannot be written fails the run.
        {"history log cannot be written", "", {{7002, good7002}}, {}, false, earlier, {{"7001.bird", good7001}},
         "mkdir \"$D/history.log\" || exit 70\n"
         "exec \"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\"\n",
         1, "Could not record the history of 1234ABCD in " + dirInside + "/history.log: Is a directory\n",
         [&](const std::string& dir, const ProcessResult&) {
             EXPECT_EQ(good7002, ReadFileText(dir + "/7002.bird"));
             KeyValueStore after((dir + "/.settings").c_str());
             EXPECT_EQ("7002.bird", after.GetString("LATEST_DOWNLOAD", ""));
         }},

        // Names from a settings file never lead out of the store: the file named is not read.
        {"settings naming a file outside the store", "", {}, {}, true, "LATEST_DOWNLOAD=" + outside + "\n", {},
         "exec \"$U\" -U -d 1234ABCD -u http://127.0.0.1:9/cgi/u\n", 1, "Could not find valid build for this device.\n",
         [&](const std::string&, const ProcessResult&) {
             EXPECT_EQ(0, inits);
             EXPECT_TRUE(loader.empty());
         }},
        // A FIFO given as the file, or standing as the settings, is refused at once.
        {"FIFO as -f", "", {}, {}, true, earlier, {},
         "mkfifo \"$F/fifo\" || exit 70\nexec \"$U\" -U -d 1234ABCD -f \"$F/fifo\"\n", 1,
         "fifo: the file cannot be read (missing, not a regular file, or unreadable)\nFailed to load bird file\n",
         [&](const std::string&, const ProcessResult&) { EXPECT_EQ(0, inits); }},
        {"FIFO as the settings", "", {{7002, good7002}}, {}, false, "", {},
         "mkfifo \"$D/.settings\" || exit 70\nexec \"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\"\n", 1,
         "Could not record the download of build 7002: cannot read " + dirInside + "/.settings to bring it up to date\n",
         [&](const std::string& dir, const ProcessResult&) {
             struct stat st;
             EXPECT_TRUE(lstat((dir + "/.settings").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
         }},

        // A value longer than any line buffer is read whole and kept, with the keys after it.
        {"a settings line of 2100 characters", "", {{7002, good7002}}, {}, false,
         "LATEST_TRANSFER=" + longPath + "\nNOTE=kept\n", {}, "exec \"$U\" -G -d 1234ABCD -b 7002 -u \"$URL\"\n", 0, "",
         [&](const std::string& dir, const ProcessResult&) {
             KeyValueStore after((dir + "/.settings").c_str());
             EXPECT_EQ(longPath, after.GetString("LATEST_TRANSFER", ""));
             EXPECT_EQ("kept", after.GetString("NOTE", ""));
             EXPECT_EQ("7002.bird", after.GetString("LATEST_DOWNLOAD", ""));
         }},

        // A build the server names is all digits and not zero; nothing else is asked for or stored.
        named("../../x"),
        named("/etc/passwd"),
        named("-1"),

        // A reply that is not the build is never stored over the good one of the same build.
        damaged("Base64 cut at a multiple of 4", "", cut),
        damaged("Base64 in 76-column lines", "wrap:bird", good7001),
        damaged("Base64 of random bytes", "", random),
    };
    for (const Case& c : cases)
        Run(c);
}

// Recovery writes to a ROM only what it read whole from the file given or from inside the
// device's own directory: a stored name that leads out of the store, and a file without
// firmware, are refused before the chip is written.
TEST(StoreReads, RecoveryTakesNothingFromOutsideTheStoreOrFromADamagedFile)
{
    IsolatedHome home;
    TempDir files;
    const std::string dir = home.store() + "/" + kSerialText;
    ASSERT_EQ(0, RunProcess({"mkdir", "-p", dir}).exit_code);
    {
        BirdWriter writer;  // a loader the i.MX ROM would take
        writer.AddInformation(700, "1.2.3", kSerial, "Ginkgo");
        writer.AddLoader(0x20000000, BirdWriter::MakeCode(1500, 11));
        writer.AddFirmware(0x60002000, BirdWriter::MakeCode(3000, 13));
        ASSERT_EQ(aErrNone, writer.Write(files.file("outside.bird")));
    }
    std::string outside;
    for (char ch : RealHomeDirectory() + "/.vantorix/updater/" + kSerialText)
        if (ch == '/')
            outside += "../";
    outside += files.file("outside.bird").substr(1);
    WriteFileText(dir + "/.settings", "LATEST_DOWNLOAD=" + outside + "\n");

    ImxRomSim imx;
    ASSERT_TRUE(imx.Start());
    ProcessResult r = home.Run({"-U", "-t", "RECOVER", "-d", kSerialText, "-s", imx.Port(), "-u",
                                "http://127.0.0.1:9/cgi/u"});
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("No loader for the i.MX ROM in the store of 1234ABCD: Invalid bird name " + outside + "\n"))
        << r.err;
    EXPECT_TRUE(imx.device().Writes().empty());
    EXPECT_FALSE(imx.device().Jumped());

    // A file given with -f that the ROM's path cannot use whole: the LPC flash rewrite needs
    // firmware blocks, the i.MX ROM a loader from a file that reads to its end. The i.MX rows
    // give all the program says on standard error.
    BirdWriter infoOnly;
    infoOnly.AddInformation(701, "1.2.3", kSerial, "Ginkgo");
    ASSERT_EQ(aErrNone, infoOnly.Write(files.file("info-only.bird")));
    std::string cut = ReadFileText(files.file("outside.bird"));
    cut.resize(cut.size() - 2000);  // ends inside the firmware block, after the whole loader
    WriteFileText(files.file("cut.bird"), cut);
    const struct {
        const char* name;
        bool lpc;
        std::string file, error;
    } cases[] = {
        {"LPC, no firmware", true, files.file("info-only.bird"), "no firmware block"},
        {"i.MX, cut short", false, files.file("cut.bird"),
         "No loader for the i.MX ROM in " + files.file("cut.bird") +
             ": the file is truncated: its compressed content ends early\nCould not get Device Identifier\n"},
        {"i.MX, no loader", false, files.file("info-only.bird"),
         "No loader for the i.MX ROM in " + files.file("info-only.bird") +
             ": the file holds no loader block\nCould not get Device Identifier\n"},
    };
    for (const auto& c : cases) {
        LpcRomSim lpc;
        ImxRomSim rom;
        ASSERT_TRUE(c.lpc ? lpc.Start() : rom.Start());
        r = home.Run({"-U", "-t", "RECOVER", "-d", kSerialText, "-s", c.lpc ? lpc.Port() : rom.Port(), "-f", c.file});
        EXPECT_EQ(1, r.exit_code) << c.name << r.out << r.err;
        if (c.lpc) {
            EXPECT_NE(std::string::npos, r.err.find(c.error)) << c.name << ": " << r.err;
            EXPECT_TRUE(lpc.Erased().empty());
            for (const std::string& command : lpc.Commands())
                EXPECT_NE(0u, command.rfind("W ", 0)) << command;
        } else {
            EXPECT_EQ(c.error, r.err) << c.name;
            EXPECT_TRUE(rom.device().Commands().empty()) << c.name;
            EXPECT_FALSE(rom.device().Jumped()) << c.name;
        }
    }
}
