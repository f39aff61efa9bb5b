// Updater::load_bird and the checks Update_Firmware makes before it touches any device, called
// in-process with a temporary store.
#include <gtest/gtest.h>

#include <stdexcept>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "IsolatedHome.h"
#include "RecordingDisplay.h"
#include "Updater.h"
#include "FindAgain.h"
#include "SDPLoader.h"
#include "UpdaterSteps.h"
#include "aDirectory.h"

namespace {

void sWriteBird(const std::string& path, uint32_t build)
{
    BirdWriter writer;
    writer.AddInformation(build, "1.0.0", 0x00000042, "Ginkgo");
    writer.AddLoader(0x20000000, BirdWriter::MakeCode(64, build));
    writer.AddFirmware(0x4000, BirdWriter::MakeCode(128, build + 1));
    ASSERT_EQ(aErrNone, writer.Write(path));
}

}  // namespace

TEST(UpdateFlow, LoadBirdTakesANamedFileOrAStoredBuild)
{
    TempDir root;
    RecordingDisplay display;
    // Port 9 of 127.0.0.1: nothing answers, so nothing is downloaded.
    Updater updater("http://127.0.0.1:9/cgi/u", root.path().c_str(), display);

    const std::string named = root.file("named.bird");
    sWriteBird(named, 11);
    EXPECT_EQ(11u, updater.load_bird("Updating", named, 0x42, 0, false).GetBuild());
    EXPECT_TRUE(display.saw("Updating from Birdfile: " + named));
    EXPECT_THROW(updater.load_bird("Updating", root.file("missing.bird"), 0x42, 0, false), std::runtime_error);

    // A build that is not stored: an error, or a failed download and then an error.
    EXPECT_THROW(updater.load_bird("Updating", "", 0x42, 12, false), std::runtime_error);
    EXPECT_TRUE(display.saw("Updating firmware with build: 12"));
    EXPECT_THROW(updater.load_bird("Recovering", "", 0x42, 12, true), std::runtime_error);
    EXPECT_TRUE(display.saw("Downloading firmware build 12"));

    // Neither the failed read nor the failed download made a directory for the device.
    EXPECT_FALSE(aDirectory_Exists((root.path() + "/00000042").c_str()));
    EXPECT_TRUE(display.saw("Build 12 is not in the store for 00000042"));

    ASSERT_EQ(aErrNone, aDirectory_Ensure((root.path() + "/00000042").c_str(), 0755));
    sWriteBird(root.path() + "/00000042/12.bird", 12);
    EXPECT_EQ(12u, updater.load_bird("Updating", "", 0x42, 12, false).GetBuild());
}

TEST(UpdateFlow, RefusesBeforeConnectingWhenTheRequestIsIncomplete)
{
    TempDir root;
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:9/cgi/u", root.path().c_str(), display);
    const std::string named = root.file("named.bird");
    sWriteBird(named, 11);

    EXPECT_FALSE(updater.Update_Firmware(0, 0, named, 0, 0, false));
    EXPECT_TRUE(display.saw("Update command must specify the specific device"));
    EXPECT_FALSE(updater.Update_Firmware(0x42, 0, named, 0, 0x100, false));
    EXPECT_TRUE(display.saw("Module address required for indirect firmware update"));
    EXPECT_FALSE(updater.Update_Firmware(0x42, 0, root.file("missing.bird"), 0, 0, false));
    EXPECT_TRUE(display.saw("Failed to load bird file"));
    // No build anywhere: nothing is stored and the server does not answer.
    EXPECT_FALSE(updater.Update_Firmware(0x42, 0, "", 0, 0, false));
    EXPECT_TRUE(display.saw("Could not find valid build for this device."));
}

// The build an update installs: every source in its place in the order, and what is told.
TEST(UpdateDecisions, BuildChoiceOrder)
{
    struct Case {
        BuildChoiceInput in;
        BuildSource source;
        unsigned int build;
        bool newer;
    } cases[] = {
        {{true, 5, 9, true, 7, 6}, BuildSource::FILE, 0, false},
        {{false, 5, 9, true, 7, 6}, BuildSource::REQUESTED, 5, false},
        {{false, 0, 9, true, 7, 6}, BuildSource::SERVER_LATEST, 9, false},
        {{false, 0, 9, false, 7, 6}, BuildSource::LATEST_DOWNLOAD, 7, true},
        {{false, 0, 0, false, 7, 6}, BuildSource::LATEST_DOWNLOAD, 7, false},  // download before transfer
        {{false, 0, 0, false, 0, 6}, BuildSource::LATEST_TRANSFER, 6, false},
        {{false, 0, 9, false, 0, 0}, BuildSource::NONE, 0, true},
        {{false, 0, 0, false, 0, 0}, BuildSource::NONE, 0, false},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const BuildChoice choice = ChooseUpdateBuild(cases[i].in);
        EXPECT_EQ(cases[i].source, choice.source) << "case " << i;
        EXPECT_EQ(cases[i].build, choice.build) << "case " << i;
        EXPECT_EQ(cases[i].newer, choice.newer_not_stored) << "case " << i;
    }
}

TEST(UpdateDecisions, TransportsRecoveryAndHistory)
{
    EXPECT_EQ((std::vector<linkType>{USB, TCPIP}), DirectTransportOrder());
    EXPECT_TRUE(TryNextTransport(aErrNotFound));
    EXPECT_FALSE(TryNextTransport(aErrBusy));  // the device answered: no other transport is tried
    EXPECT_FALSE(TryNextTransport(aErrNone));

    // A placeholder that is the device's own serial number is tried once; 0 is no device.
    std::vector<FindAttempt> round = FindAgainRound(FindHow::CONNECT, USB, {0xDEADDEAD, 0x42, 0xDEADDEAD, 0});
    ASSERT_EQ(2u, round.size());
    EXPECT_EQ(0xDEADDEADu, round[0].serial_number);
    EXPECT_EQ(0x42u, round[1].serial_number);
    EXPECT_EQ(USB, round[1].transport);

    EXPECT_EQ(RecoveryPath::LPC, ChooseRecoveryPath(2));
    EXPECT_EQ(RecoveryPath::IMX, ChooseRecoveryPath(1));
    EXPECT_EQ(RecoveryPath::UNKNOWN, ChooseRecoveryPath(0));
    EXPECT_EQ(std::vector<linkType>{USB}, RecoveredDeviceTransports(RecoveryPath::IMX));
    EXPECT_EQ((std::vector<linkType>{USB, TCPIP}), RecoveredDeviceTransports(RecoveryPath::LPC));
    EXPECT_TRUE(RecoveredDeviceTransports(RecoveryPath::UNKNOWN).empty());

    EXPECT_NE(std::string::npos, RecoveryMissing("", 0x42, 7, "").find("-s"));
    EXPECT_NE(std::string::npos, RecoveryMissing("/dev/ttyS0", 0, 7, "").find("no device"));
    EXPECT_NE(std::string::npos, RecoveryMissing("/dev/ttyS0", 0x42, 0, "").find("no build"));
    EXPECT_EQ("", RecoveryMissing("/dev/ttyS0", 0, 0, "own.bird"));
    EXPECT_EQ("", RecoveryMissing("/dev/ttyS0", 0x42, 7, ""));

    typedef std::vector<std::pair<std::string, std::string>> Keys;
    EXPECT_EQ((Keys{{"LATEST_TRANSFER", "/tmp/a.bird"}, {"LAST_TRANSFER_DATE", "T"}}),
              TransferHistory("/tmp/a.bird", 7, "T"));
    EXPECT_EQ((Keys{{"LATEST_TRANSFER", "7.bird"}, {"LAST_TRANSFER_DATE", "T"}}), TransferHistory("", 7, "T"));
    EXPECT_EQ((Keys{{"LATEST_DOWNLOAD", "9.bird"}, {"LAST_DOWNLOAD_DATE", "T"}}), DownloadHistory(9, "T"));

    EXPECT_STREQ("SECTOR_NOT_BLANK", LpcReturnCodeName(8));
    EXPECT_STREQ("CODE_READ_PROTECTION_ENABLED", LpcReturnCodeName(19));
    EXPECT_STREQ("UNKNOWN", LpcReturnCodeName(20));
    EXPECT_STREQ("UNKNOWN", LpcReturnCodeName(-1));
}

// Where a restarted device is sought, and for how long; what the loader and recovery steps
// decide on their own.
TEST(UpdateDecisions, FindingAgainAndTheBlockSteps)
{
    // Behind a router the router is sought (the module shares its link); none when still there.
    SeekAgain seek = SeekAfterLoad(false, 0x42, 0x777, TCPIP);
    EXPECT_TRUE(seek.needed);
    EXPECT_EQ(0x777u, seek.serial_number);
    EXPECT_EQ(TCPIP, seek.transport);
    EXPECT_EQ(0x42u, SeekAfterLoad(false, 0x42, 0, USB).serial_number);
    EXPECT_FALSE(SeekAfterLoad(true, 0x42, 0, USB).needed);

    uint32_t seconds = 0;
    EXPECT_TRUE(ParseRestartWait("1", &seconds));
    EXPECT_EQ(1u, seconds);
    EXPECT_TRUE(ParseRestartWait("3600", &seconds));
    EXPECT_EQ(3600u, seconds);
    for (const char* refused : {"", "0", "3601", "5s", " 5", "-1", "+5", "99999999999"})
        EXPECT_FALSE(ParseRestartWait(refused, &seconds)) << refused;
    EXPECT_FALSE(ParseRestartWait(nullptr, &seconds));
    EXPECT_EQ(0u, RestartDeadline(0));  // no deadline: the rounds alone

    // A loader block's PREPARE that times out is taken as given; any other error ends it.
    EXPECT_TRUE(LoaderPrepareGoesOn(aErrNone));
    EXPECT_TRUE(LoaderPrepareGoesOn(aErrTimeout));
    EXPECT_FALSE(LoaderPrepareGoesOn(aErrBusy));
    EXPECT_EQ("Failed to prepare firmware block 2 of 3 on device 1234ABCD [9, x]",
              BlockFailure("prepare", "firmware", 2, 3, 0x1234ABCD, 9, "x", ""));
    EXPECT_EQ("Failed to transfer loader block 1 of 1 on device 00000042 [9, x]: refused",
              BlockFailure("transfer", "loader", 1, 1, 0x42, 9, "x", "refused"));

    // Nothing answering the first status request is no ROM; anything later is a ROM that stopped.
    EXPECT_EQ("", ImxLoaderFailure(SDPLoader::SDP_NO_ANSWER, 1, 2, 100, 0x20000000, "/dev/ttyS1"));
    EXPECT_EQ("The i.MX ROM on /dev/ttyS1 stopped answering: no status before the block (loader block 2 of 2, 100 "
              "bytes to 0x20200000)",
              ImxLoaderFailure(SDPLoader::SDP_NO_ANSWER, 2, 2, 100, 0x20200000, "/dev/ttyS1"));
    EXPECT_NE(std::string::npos, ImxLoaderFailure(SDPLoader::SDP_NO_COMPLETION, 1, 2, 100, 0x20000000, "p")
                                     .find("no completion status"));
    EXPECT_NE(std::string::npos, ImxLoaderFailure(SDPLoader::SDP_BAD_COMPLETION, 1, 2, 100, 0x20000000, "p")
                                     .find("write failed"));
}

TEST(UpdateDecisions, LpcPiecesBlocksAndFailures)
{
    // A 10000-byte payload goes as 4096, 4096 and 1808 bytes, each copied as 4096.
    std::vector<LpcPiece> pieces = LpcPieces(0x0, 10000);
    ASSERT_EQ(3u, pieces.size());
    const uint32_t sizes[] = {4096, 4096, 1808};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(i * 4096, pieces[i].offset);
        EXPECT_EQ(sizes[i], pieces[i].size);
        EXPECT_EQ(4096u, pieces[i].copy);
        EXPECT_EQ(i * 4096, pieces[i].flash);
        EXPECT_EQ(i, pieces[i].first_sector);
        EXPECT_EQ(i, pieces[i].last_sector);
    }
    // A short last piece is copied as the least length that holds it; the 32 KiB sectors from 16.
    pieces = LpcPieces(0x10000, 4100);
    ASSERT_EQ(2u, pieces.size());
    EXPECT_EQ(256u, pieces[1].copy);
    EXPECT_EQ(16u, pieces[1].first_sector);
    EXPECT_TRUE(LpcPieces(0x0, 0).empty());

    // The blocks before the end marker (4 bytes of address and 4 of payload) are sent.
    EXPECT_EQ(2, LpcBlocksToSend({10004, 5004, 8, 516}));
    EXPECT_EQ(2, LpcBlocksToSend({10004, 2, 5004}));
    EXPECT_EQ(0, LpcBlocksToSend({8, 10004}));

    EXPECT_EQ("the chip answered return code 8 SECTOR_NOT_BLANK", LpcFailureReason(8, "x", false));
    EXPECT_EQ("no answer from the chip (Timeout); the chip is erased; run the recovery again",
              LpcFailureReason(-1, "Timeout", true));
}
