// The updater store: the root and device directories, finding devices and files by name,
// listing a device's builds, and writing and reading build files.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "DeviceHistory.h"
#include "IsolatedHome.h"
#include "UpdaterStore.h"
#include "aDirectory.h"

namespace {

std::string sStoreError(const std::string& root)
{
    try {
        UpdaterStore store(root.c_str());
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

template <typename F>
std::string sThrown(F f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(UpdaterStoreRoot, CreatedOrRefused)
{
    TempDir dir;
    std::string root = dir.file("home/.vantorix/updater");
    UpdaterStore store(root.c_str());
    EXPECT_TRUE(aDirectory_Exists(root.c_str()));
    EXPECT_EQ(store.BasePath(), root);
    UpdaterStore again(root.c_str());  // an existing root is fine

    WriteFileText(dir.file("plain"), "x");
    EXPECT_EQ(sStoreError(dir.file("plain")), "UpdaterStore: " + dir.file("plain") + " exists and is a file");
    EXPECT_EQ(sStoreError(dir.file("plain/sub")),
              "UpdaterStore: Could not create directory " + dir.file("plain/sub") + " error 12");
}

TEST(UpdaterStoreDevices, AddAndFind)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.Kind(), STORE_ITEM_NOT_SET);

    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x1A2B, &item));
    EXPECT_FALSE(item.IsValid());

    UpdaterStoreItem added = store.AddDevice(0x1A2B);
    EXPECT_TRUE(aDirectory_Exists(dir.file("00001A2B").c_str()));
    std::string settings = ReadFileText(dir.file("00001A2B/.settings"));
    EXPECT_EQ(settings.find("CREATED_TIME="), 0u);
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);
    EXPECT_EQ(added.Name(), "00001A2B");
    EXPECT_EQ(added.Kind(), STORE_ITEM_DIRECTORY);

    ASSERT_TRUE(store.FindDevice(0x1A2B, &item));
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.Path(), dir.path());
    EXPECT_EQ(item.Name(), "00001A2B");
    EXPECT_EQ(item.Kind(), STORE_ITEM_DIRECTORY);
    EXPECT_NE(item.Settings()["CREATED_TIME"], nullptr);
    EXPECT_TRUE(store.FindDevice("00001A2B", nullptr));
    EXPECT_FALSE(store.FindDevice(0x1A2C, &item));
    EXPECT_EQ(item.Name(), "00001A2B");  // left unchanged

    // Adding again keeps what the settings hold.
    added.Settings().Add("LATEST_DOWNLOAD", "1234.bird");
    added.Settings().Save();
    UpdaterStoreItem re_added = store.AddDevice(0x1A2B);
    EXPECT_EQ(re_added.Settings().GetInt("LATEST_DOWNLOAD", 0), 1234);

    EXPECT_NE(sThrown([&] { store.AddDevice("../escape"); }), "");
    EXPECT_FALSE(store.FindDevice("..", &item));
}

TEST(UpdaterStoreDevices, MatchingIsByWholeName)
{
    TempDir dir;
    // The store lives under a directory whose path holds a serial number's text.
    std::string root = dir.file("00001A2B-home/store");
    UpdaterStore store(root.c_str());
    store.AddDevice(0x11111111);
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x1A2B, &item));
    EXPECT_FALSE(store.FindDevice("1111", &item));

    UpdaterStoreItem device = store.AddDevice(0x1A2B);
    ASSERT_EQ(device.WriteFile("11234.bird", (const uint8_t*)"x", 1), aErrNone);
    EXPECT_FALSE(device.FileExists("1234.bird"));
    EXPECT_TRUE(device.FileExists("11234.bird"));
    EXPECT_FALSE(device.FileExists("1234"));
    ASSERT_TRUE(store.FindDevice(0x1A2B, &item));
    EXPECT_EQ(item.Name(), "00001A2B");
}

TEST(UpdaterStoreBuilds, ListWriteAndRead)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    std::vector<UpdaterStoreItem> builds;
    EXPECT_TRUE(store.FindLocalBuilds(0x1A2B, builds));
    EXPECT_TRUE(builds.empty());

    UpdaterStoreItem device = store.AddDevice(0x1A2B);
    BirdWriter writer;
    writer.AddInformation(1234, "1.2.3", 0x1A2B, "Juniper");
    writer.AddFirmware(0, BirdWriter::MakeCode(256, 1));
    std::vector<uint8_t> bytes = writer.Build();
    ASSERT_EQ(device.WriteFile("1234.bird", bytes.data(), bytes.size()), aErrNone);
    ASSERT_EQ(device.WriteFile("1240.bird", bytes.data(), bytes.size()), aErrNone);

    ASSERT_TRUE(store.FindLocalBuilds(0x1A2B, builds));
    ASSERT_EQ(builds.size(), 2u);
    std::vector<std::string> names = {builds[0].Name(), builds[1].Name()};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1234.bird", "1240.bird"}));
    EXPECT_EQ(builds[0].Path(), dir.file("00001A2B"));
    EXPECT_EQ(builds[0].Kind(), STORE_ITEM_FILE);
    EXPECT_EQ(builds[0].Settings().Size(), 2u);  // only the in-memory time stamps

    BirdFile file = device.ReadBirdFile("1240.bird");
    EXPECT_EQ(file.GetBuild(), 1234u);
    EXPECT_TRUE(file.ValidateSerialNumber(0x1A2B));

    // A stored build is replaced only by a file that loads and carries its build: not by
    // bytes that are no BIRD file, nor by another build.
    ASSERT_EQ(device.WriteFile("1240.bird", (const uint8_t*)"short", 5), aErrParam);
    EXPECT_EQ(device.WriteFile("1240.bird", bytes.data(), bytes.size() - 9), aErrParam);
    BirdWriter same;
    same.AddInformation(1240, "1.2.4", 0x1A2B, "Juniper");
    same.AddFirmware(0, BirdWriter::MakeCode(300, 2));
    std::vector<uint8_t> replacement = same.Build();
    ASSERT_EQ(device.WriteFile("1234.bird", replacement.data(), replacement.size()), aErrParam);
    ASSERT_EQ(device.WriteFile("1240.bird", replacement.data(), replacement.size()), aErrNone);
    EXPECT_EQ(device.ReadBirdFile("1240.bird").GetBuild(), 1240u);
    EXPECT_EQ(device.ReadBirdFile("1234.bird").GetBuild(), 1234u);
    // Names from settings or the server never lead out of the directory.
    EXPECT_EQ(sThrown([&] { device.ReadBirdFile("../00001A2B/1234.bird"); }), "Invalid bird name ../00001A2B/1234.bird");

    ASSERT_EQ(device.WriteFile("1241.bird", (const uint8_t*)"short", 5), aErrNone);
    EXPECT_EQ(sThrown([&] { device.ReadBirdFile("1241.bird"); }), "Invalid bird " + dir.file("00001A2B/1241.bird"));
    EXPECT_EQ(sThrown([&] { device.ReadBirdFile("9.bird"); }), "Invalid bird " + dir.file("00001A2B/9.bird"));

    // A file that passes the header check but cannot be loaded.
    std::vector<uint8_t> broken = {'b', 'i', 'r', 'd', 1, 1, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(device.WriteFile("1.bird", broken.data(), broken.size()), aErrNone);
    EXPECT_EQ(sThrown([&] { device.ReadBirdFile("1.bird"); }), "Failed to load bird data");

    EXPECT_EQ(device.WriteFile("2.bird", nullptr, 4), aErrNotFound);
    EXPECT_EQ(device.WriteFile("../2.bird", bytes.data(), bytes.size()), aErrParam);
    EXPECT_EQ(device.WriteFile("", bytes.data(), bytes.size()), aErrParam);
    UpdaterStoreItem gone(dir.path().c_str(), "0000FFFF", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("2.bird", bytes.data(), bytes.size()), aErrNotFound);
}

TEST(DeviceHistoryLog, LinesAndAppending)
{
    struct tm local = {};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 4;
    local.tm_min = 5;
    local.tm_sec = 6;
    local.tm_isdst = -1;
    const time_t when = mktime(&local);
    const struct {
        HistoryEntry entry;
        const char* line;
    } cases[] = {
        {{"update", "501.bird", true, "", "QA run 17"}, "2026-12-08 04:05:06 | update | 501.bird | ok | QA run 17\n"},
        {{"download", "build 7", false, "No valid build 7", ""},
         "2026-12-08 04:05:06 | download | build 7 | failed: No valid build 7\n"},
        // One entry is one line whatever its texts hold.
        {{"recovery", "", false, "", "two\nlines\r"}, "2026-12-08 04:05:06 | recovery | - | failed | two lines \n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.line, DeviceHistory::FormatLine(c.entry, when));

    TempDir dir;
    EXPECT_TRUE(DeviceHistory::Read(dir.path()).empty());
    ASSERT_TRUE(DeviceHistory::Append(dir.path(), cases[0].entry));
    ASSERT_TRUE(DeviceHistory::Append(dir.path(), cases[1].entry));
    std::vector<std::string> lines = DeviceHistory::Read(dir.path());
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" | update | 501.bird | ok | QA run 17"));
    EXPECT_NE(std::string::npos, lines[1].find(" | download | build 7 | failed: No valid build 7"));
    EXPECT_FALSE(DeviceHistory::Append(dir.path() + "/missing", cases[0].entry));
}
