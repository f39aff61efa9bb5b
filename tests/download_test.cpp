// Build lists and downloads through the Updater, against the reference server on 127.0.0.1 and
// a temporary store: what is stored, what is recorded, and what the user is told.
// test-labels: threads
#include <gtest/gtest.h>

#include <chrono>

#include "BirdWriter.h"
#include "HTTPRequest.h"
#include "IsolatedHome.h"
#include "KeyValueStore.h"
#include "RecordingDisplay.h"
#include "UpdateServerSim.h"
#include "Updater.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

const uint32_t kSerial = 0x40F5849A;

class DownloadTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        BirdWriter writer;
        writer.AddInformation(99528558, "2.9.29", kSerial, "Ginkgo");
        writer.AddFirmware(0x1000, BirdWriter::MakeCode(5000, 7));
        std::vector<uint8_t> bytes = writer.Build();
        bird.assign(bytes.begin(), bytes.end());
        server.AddDevice(kSerial, "FW-GINKGO");
        BirdWriter older;
        older.AddInformation(99528000, "2.9.28", kSerial, "Ginkgo");
        older.AddFirmware(0x1000, BirdWriter::MakeCode(300, 8));
        std::vector<uint8_t> olderBytes = older.Build();
        olderBird.assign(olderBytes.begin(), olderBytes.end());
        server.AddBuild(kSerial, 99528000, "2.9.28", olderBird);
        server.AddBuild(kSerial, 99528558, "2.9.29", bird);
        const uint32_t fp[4] = {1, 2, 3, 4};
        server.SetFingerprint(kSerial, fp);
        UpdateServerSim::Options options;
        options.idle_timeout_ms = 30000;
        options.stall_ms = 10000;
        ASSERT_TRUE(server.Start(options, nullptr));
        url = server.BaseURL();
        store = root.file("updater");
    }
    void TearDown() override { HTTPRequest::SetTimeouts(10000, 60); }

    std::string DeviceDir() const { return store + "/40F5849A"; }

    UpdateServerSim server;
    TempDir root;
    std::string url, store, bird, olderBird;
    RecordingDisplay display;
};

}  // namespace

TEST_F(DownloadTest, LatestBuildIsValidatedStoredAndRecorded)
{
    Updater updater(url.c_str(), store.c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 99528558u);
    EXPECT_EQ(ReadFileText(DeviceDir() + "/99528558.bird"), bird);
    KeyValueStore settings((DeviceDir() + "/.settings").c_str());
    EXPECT_STREQ(settings["LATEST_DOWNLOAD"], "99528558.bird");
    ASSERT_NE(settings["LAST_DOWNLOAD_DATE"], nullptr);
    EXPECT_EQ(strlen(settings["LAST_DOWNLOAD_DATE"]), 24u);  // ctime text without its newline
    EXPECT_TRUE(display.saw("Retrieving build 99528558"));
    EXPECT_TRUE(display.saw("Validating build 99528558 with server"));
    EXPECT_TRUE(display.saw("Build 99528558 is valid"));
    EXPECT_TRUE(display.errors.empty());
    EXPECT_GE(display.spinner_updates, 2);  // started, then cleared
    const std::vector<std::string> expected = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=40F5849A&",
        "/cgi/u?op=builds&sn=40F5849A&",
        "/cgi/u?bld=99528558&fw=FW-GINKGO&no_cal=false&op=bird&sn=40F5849A&",
    };
    EXPECT_EQ(server.Requests(), expected);

    // A named build; a device directory that already exists keeps its other files.
    EXPECT_EQ(updater.Download_Firmware(kSerial, "99528000", false, true), 99528000u);
    EXPECT_EQ(ReadFileText(DeviceDir() + "/99528000.bird"), olderBird);
    EXPECT_EQ(ReadFileText(DeviceDir() + "/99528558.bird"), bird);
    EXPECT_EQ(server.Requests().back(), "/cgi/u?bld=99528000&fw=FW-GINKGO&no_cal=true&op=bird&sn=40F5849A&");
}

TEST_F(DownloadTest, BadArgumentsAndUnlistedBuildsStopBeforeDownloading)
{
    Updater updater(url.c_str(), store.c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(kSerial, "x12", false, false), 0u);
    EXPECT_TRUE(display.saw("Build number 'x12' must be an number"));
    EXPECT_EQ(updater.Download_Firmware(kSerial, "99999999999", false, false), 0u);
    EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
    EXPECT_TRUE(display.saw("Serial Number must be non-zero"));
    EXPECT_TRUE(server.Requests().empty());

    EXPECT_EQ(updater.Download_Firmware(kSerial, " 555abc", false, false), 0u);
    EXPECT_TRUE(display.saw("No valid build 555"));
    EXPECT_FALSE(aFile_Exists((DeviceDir() + "/555.bird").c_str()));
    EXPECT_FALSE(aDirectory_Exists(DeviceDir().c_str()));  // nothing is made before a build is kept

    // With override the unlisted build is asked for; the server has none, so nothing is stored.
    const size_t before = server.Requests().size();
    EXPECT_EQ(updater.Download_Firmware(kSerial, "555", true, false), 0u);
    EXPECT_TRUE(display.saw("Override specified, skipping validation of build 555"));
    EXPECT_EQ(server.Requests().back(), "/cgi/u?bld=555&fw=FW-GINKGO&no_cal=false&op=bird&sn=40F5849A&");
    EXPECT_EQ(server.Requests().size(), before + 3);  // ping, query, build: no list
    EXPECT_TRUE(display.saw("Download failed"));
    EXPECT_TRUE(display.saw("Failed to retreive a valid BIRD file"));

    // An unknown device: the server has no build information for it.
    EXPECT_EQ(updater.Download_Firmware(0x1234, "", false, false), 0u);
    EXPECT_TRUE(display.saw("No build information for device"));
}

TEST_F(DownloadTest, ServerFailuresStoreNothing)
{
    // Unreachable: no directory is made.
    const std::string deadUrl = "http://127.0.0.1:1/cgi/u";
    Updater dead(deadUrl.c_str(), store.c_str(), display);
    EXPECT_EQ(dead.Download_Firmware(kSerial, "", false, false), 0u);
    EXPECT_TRUE(display.saw("Server request failed for " + deadUrl));
    EXPECT_FALSE(aDirectory_Exists(DeviceDir().c_str()));
    EXPECT_TRUE(dead.Get_BuildList(kSerial).empty());

    // A reply whose content is not Base64 is a failure, not a stored build.
    Updater updater(url.c_str(), store.c_str(), display);
    server.SetFault(UpdateServerSim::FAULT_GARBAGE_BASE64, "bird");
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
    EXPECT_TRUE(display.saw("not valid Base64"));
    EXPECT_FALSE(aFile_Exists((DeviceDir() + "/99528558.bird").c_str()));
    KeyValueStore settings((DeviceDir() + "/.settings").c_str());
    EXPECT_EQ(settings["LATEST_DOWNLOAD"], nullptr);

    // A build file that cannot be written is a failure, and nothing is recorded.
    server.SetFault(UpdateServerSim::FAULT_NONE);
    ASSERT_EQ(aDirectory_Ensure((DeviceDir() + "/99528558.bird").c_str(), 0755), aErrNone);
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
    EXPECT_TRUE(display.saw("Failed to write file with"));
    KeyValueStore after((DeviceDir() + "/.settings").c_str());
    EXPECT_EQ(after["LATEST_DOWNLOAD"], nullptr);
    ASSERT_EQ(aDirectory_Delete((DeviceDir() + "/99528558.bird").c_str()), aErrNone);

    // Data that is no BIRD file, or a file of another build, is refused before it is kept: the
    // earlier download stays the latest.
    ASSERT_EQ(updater.Download_Firmware(kSerial, "", false, false), 99528558u);
    server.AddBuild(kSerial, 99528600, "2.9.30", "a 22-byte reply text!");
    server.AddBuild(kSerial, 99528700, "2.9.31", bird);
    for (const char* refused : {"99528600", "99528700"}) {
        EXPECT_EQ(updater.Download_Firmware(kSerial, refused, false, false), 0u) << refused;
        EXPECT_FALSE(aFile_Exists((DeviceDir() + "/" + refused + ".bird").c_str())) << refused;
        KeyValueStore kept((DeviceDir() + "/.settings").c_str());
        EXPECT_STREQ(kept["LATEST_DOWNLOAD"], "99528558.bird");
    }
    EXPECT_TRUE(display.saw("Build 99528600 from the server is not a valid BIRD file ("));
    EXPECT_TRUE(display.saw("Build 99528700 from the server is not a valid BIRD file (it carries build 99528558, "
                            "not 99528700); nothing was stored"));
    ASSERT_EQ(aFile_Delete((DeviceDir() + "/99528558.bird").c_str()), aErrNone);

    // A download that stalls is aborted with its reason, and the spinner kept turning meanwhile.
    server.SetFault(UpdateServerSim::FAULT_STALL, "bird");
    HTTPRequest::SetTimeouts(2000, 1);
    display.spinner_updates = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(display.saw("Download failed"));
    EXPECT_TRUE(display.saw("stopped sending"));
    EXPECT_GE(display.spinner_updates, 5);
    EXPECT_FALSE(aFile_Exists((DeviceDir() + "/99528558.bird").c_str()));
}

TEST_F(DownloadTest, BuildListAndDownloadByFingerprint)
{
    Updater updater(url.c_str(), store.c_str(), display);
    std::map<std::string, std::string> expected = {{"99528000", "2.9.28"}, {"99528558", "2.9.29"}};
    EXPECT_EQ(updater.Get_BuildList(kSerial), expected);
    EXPECT_TRUE(updater.Get_BuildList(0x1234).empty());
    EXPECT_TRUE(display.saw("Failed to retrieve builds for 00001234"));

    Fingerprint fp;
    fp.words[0] = 1, fp.words[1] = 2, fp.words[2] = 3, fp.words[3] = 4;
    EXPECT_EQ(updater.Download_Firmware(fp, "", false), 99528558u);
    EXPECT_EQ(ReadFileText(DeviceDir() + "/99528558.bird"), bird);
    EXPECT_EQ(updater.Download_Firmware(fp, "99528000", false), 99528000u);
    fp.words[3] = 5;
    EXPECT_EQ(updater.Download_Firmware(fp, "", false), 0u);
    EXPECT_TRUE(display.saw("Failed to retreive recovery information from Vantorix update server"));
}
