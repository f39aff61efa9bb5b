// Updater::load_bird and the checks Update_Firmware makes before it touches any device, called
// in-process with a temporary store.
#include <gtest/gtest.h>

#include <stdexcept>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "IsolatedHome.h"
#include "RecordingDisplay.h"
#include "Updater.h"

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
