#include "LoaderScenario.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "DeviceHistory.h"
#include "KeyValueStore.h"

namespace {

const uint32_t kSerialAt = 0x4010;

std::string sHex(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

// Runs the update given in the words after the output file and the process-id file, writing
// its process id there first (the simulated device kills it when the muted request arrives);
// prints the status it ended with.
const char* const kKill =
    "o=$1; k=$2; shift 2; sh -c 'echo $$ >\"$0\"; exec \"$@\"' \"$k\" \"$@\" >\"$o\" 2>&1 & p=$!;"
    " wait $p; echo \"status $?\"";

}  // namespace

void WriteRunnableBird(const std::string& path, uint32_t build)
{
    BirdWriter writer;
    writer.AddInformation(build, "3.1.4", 0x0BADBEEF, "Ginkgo");
    writer.AddSerialNumberLocations(kSerialAt, 0);
    writer.AddLoader(0x20000000, BirdWriter::MakeCode(700, build));
    std::vector<uint8_t> code = BirdWriter::MakeCode(3000, build + 1);
    const std::vector<uint8_t> tag = SimUpgradeLogic::FirmwareTag(build, (3u << 28) | (1u << 24) | 4u);
    code.insert(code.begin() + 64, tag.begin(), tag.end());
    writer.AddFirmware(0x4000, code);
    writer.AddFirmware(0x8000, BirdWriter::MakeCode(1500, build + 2));
    ASSERT_EQ(aErrNone, writer.Write(path));
}

void ExpectLastFirmwareIs(const BirdFile& bird, const std::vector<SimUpgradeBlock>& firmware)
{
    const std::vector<BirdBlock> expected = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_GE(firmware.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        const SimUpgradeBlock& got = firmware[firmware.size() - expected.size() + i];
        EXPECT_EQ(expected[i].address, got.address);
        EXPECT_EQ(std::vector<uint8_t>(expected[i].data + 4, expected[i].data + expected[i].length), got.bytes);
    }
}

void RunStoppedInLoaderScenario(LoaderScenarioTarget& target, const TempDir& files)
{
    const std::string serial = sHex(target.SerialNumber());
    const std::string transport = target.Transport();
    IsolatedHome& home = target.Home();
    const std::string settings = home.store() + "/" + serial + "/.settings";
    const std::string path = files.file("loader.bird");
    WriteRunnableBird(path, 601);
    const std::string other = files.file("other.bird");
    WriteRunnableBird(other, 602);
    auto updater = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = target.UpdaterCommand();
        argv.insert(argv.end(), args.begin(), args.end());
        return target.RunCommand(argv);
    };

    struct Case {
        const char* name;
        const char* fault;
        const char* faultValue;
        bool killed;
        const char* stopped;  // the history's reason for the stop
    } cases[] = {
        {"refused block", "--fault-refuse-prepare", "2", false, "failed: Failed to prepare firmware block 1 of 2"},
        // The third PREPARE gets no answer: the run is killed as it waits for it.
        {"kill -9", "--fault-mute", "3:3", true, "failed: interrupted in the loader phase"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(transport + ", " + c.name);
        RunProcess({"rm", "-rf", home.store()});
        const std::string pidFile = files.file("updater.pid");
        std::vector<std::string> options = {"--load-away-ms", "300", "--loader-serial", "DEADDEAD", c.fault, c.faultValue};
        if (c.killed)
            options.insert(options.end(), {"--fault-mute-kills", pidFile});
        target.Start(options);
        if (c.killed) {
            std::vector<std::string> argv = {"sh", "-c", kKill, "sh", files.file("killed.out"), pidFile};
            for (const std::string& word : target.UpdaterCommand())
                argv.push_back(word);
            for (const std::string& word : {std::string("-U"), std::string("-d"), serial, std::string("-f"), path})
                argv.push_back(word);
            ProcessResult k = target.RunCommand(argv);
            EXPECT_NE(std::string::npos, k.out.find("status 137")) << k.out << ReadFileText(files.file("killed.out"));
        } else {
            ProcessResult r = updater({"-U", "-d", serial, "-f", path});
            EXPECT_EQ(1, r.exit_code) << r.out << r.err;
            EXPECT_NE(std::string::npos, r.err.find("finish the update with updater -U -d " + serial)) << r.err;
        }
        {
            KeyValueStore recorded(settings.c_str());
            EXPECT_EQ(c.killed ? "entered" : "failed", recorded.GetString("LOADER_PHASE", ""));
            EXPECT_EQ(path, recorded.GetString("LOADER_PHASE_FILE", ""));
            EXPECT_EQ(transport, recorded.GetString("LOADER_PHASE_TRANSPORT", ""));
            EXPECT_EQ(transport == "TCPIP", !recorded.GetString("LOADER_PHASE_ADDRESS", "").empty());
        }

        ProcessResult d = updater({"-D", "-t", transport});
        EXPECT_EQ(0, d.exit_code) << d.out << d.err;
        EXPECT_NE(std::string::npos, d.out.find("DEADDEAD in loader over " + transport)) << d.out;
        EXPECT_NE(std::string::npos, d.out.find("the unfinished update of " + serial + " (" + path + ", build 601)"))
            << d.out;
        EXPECT_NE(std::string::npos, d.out.find("    finish it with updater -U -d " + serial + "\n")) << d.out;

        ProcessResult guess = updater({"-U", "-d", "DEADDEAD", "-f", path});
        EXPECT_EQ(1, guess.exit_code);
        EXPECT_NE(std::string::npos, guess.err.find("the unfinished update is of " + serial + " (" + path))
            << guess.err;
        ProcessResult wrong = updater({"-U", "-d", serial, "-f", other});
        EXPECT_EQ(1, wrong.exit_code);
        EXPECT_NE(std::string::npos, wrong.err.find("the firmware given is build 602, the unfinished update of " +
                                                    serial + " was with build 601"))
            << wrong.err;

        // Finished, and checked: the device comes back running the file's build.
        ProcessResult finish = updater({"-U", "-d", serial, "-V", "-w", "30"});
        EXPECT_EQ(0, finish.exit_code) << finish.out << finish.err;
        EXPECT_NE(std::string::npos, (finish.out + finish.err).find("Device " + serial + " now runs 3.1.4 (601)"))
            << finish.out << finish.err;
        EXPECT_NE(std::string::npos, finish.out.find("Found the loader of " + serial + " under DEADDEAD"))
            << finish.out;
        EXPECT_EQ(std::string::npos, finish.out.find("Transferring loader block")) << finish.out;
        std::vector<SimUpgradeBlock> firmware;
        int loads = -1, reboots = -1;
        target.Stop(firmware, &loads, &reboots);
        EXPECT_EQ(1, loads);
        EXPECT_EQ(1, reboots);
        // The finishing run's blocks are the last ones received (a killed run wrote one before).
        BirdFile bird(path.c_str());
        ASSERT_TRUE(bird.ReplaceSerialNumber(target.SerialNumber()));
        ExpectLastFirmwareIs(bird, firmware);
        KeyValueStore after(settings.c_str());
        EXPECT_EQ("", after.GetString("LOADER_PHASE", ""));
        EXPECT_EQ(path, after.GetString("LATEST_TRANSFER", ""));
        std::vector<std::string> lines = DeviceHistory::Read(home.store() + "/" + serial);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_NE(std::string::npos, lines.front().find(" | update | " + path + " | " + c.stopped)) << lines.front();
        EXPECT_NE(std::string::npos, lines.back().find(" | update | " + path + " | ok")) << lines.back();
    }
}
