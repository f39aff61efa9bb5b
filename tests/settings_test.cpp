// The key=value settings file: reading its lines, the typed reads and writes, saving in key
// order with the time stamps, replacing the file in one step, and saves of several writers on
// one file that keep each other's keys.
// test-labels: threads
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "IsolatedHome.h"
#include "KeyValueStore.h"

namespace {

std::vector<std::string> sLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool sIsTimeStamp(const std::string& text)
{
    // "Sun Dec  6 09:36:48 2026"
    return text.size() == 24 && text[3] == ' ' && text[7] == ' ' && text[13] == ':' && text[16] == ':';
}

std::vector<std::string> sEntries(const std::string& directory)
{
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    while (dir) {
        struct dirent* entry = readdir(dir);
        if (!entry)
            break;
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    if (dir)
        closedir(dir);
    return names;
}

}  // namespace

TEST(SettingsLoad, MissingFileIsCreatedWithTimeStamps)
{
    TempDir dir;
    std::string path = dir.file(".settings");
    KeyValueStore store(path.c_str());
    std::vector<std::string> lines = sLines(ReadFileText(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("CREATED_TIME=", 0), 0u);
    EXPECT_EQ(lines[1].rfind("UPDATED_TIME=", 0), 0u);
    EXPECT_TRUE(sIsTimeStamp(lines[0].substr(13))) << lines[0];
    EXPECT_TRUE(sIsTimeStamp(lines[1].substr(13))) << lines[1];
    EXPECT_EQ(store.Filename(), path);
    EXPECT_FALSE(store.IsDirty());

    // A settings path under a plain file cannot be created: the stamps are kept in memory only.
    WriteFileText(dir.file("1234.bird"), "x");
    KeyValueStore under(dir.file("1234.bird/.settings").c_str());
    EXPECT_EQ(under.Size(), 2u);
    EXPECT_NE(under["CREATED_TIME"], nullptr);
    EXPECT_NE(under["UPDATED_TIME"], nullptr);
    EXPECT_TRUE(under.IsDirty());
    EXPECT_EQ(ReadFileText(dir.file("1234.bird")), "x");
}

TEST(SettingsLoad, LineFormat)
{
    TempDir dir;
    std::string path = dir.file("s");
    std::string long_line = "LONG=" + std::string(2100, 'x') + "\n";
    WriteFileText(path, "  LATEST_DOWNLOAD =  1234  \r\n"
                        "#COMMENT=1\n"
                        " #HASH=2\n"
                        "A=b=c\n"
                        "E=\n"
                        "in side = a value with  spaces \t\n"
                        "noequals\n"
                        "=novalue\n"
                        "\n"
                        "D=1\n"
                        "D=2\n" +
                            long_line + "AFTER=1\n");
    KeyValueStore store(path.c_str());
    EXPECT_STREQ(store["LATEST_DOWNLOAD"], "1234");
    EXPECT_EQ(store["#COMMENT"], nullptr);
    EXPECT_STREQ(store["#HASH"], "2");
    EXPECT_STREQ(store["A"], "b=c");
    EXPECT_STREQ(store["E"], "");
    EXPECT_STREQ(store["in side"], "a value with  spaces");
    EXPECT_STREQ(store["D"], "2");
    EXPECT_EQ(store["noequals"], nullptr);
    // Lines of any length are read, and nothing after them is lost.
    ASSERT_NE(store["LONG"], nullptr);
    EXPECT_EQ(strlen(store["LONG"]), 2100u);
    EXPECT_STREQ(store["AFTER"], "1");
    EXPECT_EQ(store.Size(), 8u);
    EXPECT_FALSE(store.IsDirty());

    // "A=" as a last line without its newline is too short to count; a full last line counts.
    WriteFileText(path, "X=1\nA=");
    KeyValueStore last(path.c_str());
    EXPECT_STREQ(last["X"], "1");
    EXPECT_EQ(last["A"], nullptr);
    WriteFileText(path, "X=1\nAB=2");
    KeyValueStore full(path.c_str());
    EXPECT_STREQ(full["AB"], "2");

    // A line of exactly 2047 characters with its newline is read; one more is not.
    std::string fits = "K=" + std::string(2047 - 3, 'v') + "\n";
    WriteFileText(path, fits + "L=1\n");
    KeyValueStore edge(path.c_str());
    ASSERT_NE(edge["K"], nullptr);
    EXPECT_EQ(strlen(edge["K"]), 2044u);
    EXPECT_STREQ(edge["L"], "1");
}

TEST(SettingsValues, TypedReadsAndWrites)
{
    KeyValueStore store;
    EXPECT_EQ(store.GetString("missing", nullptr), "");
    EXPECT_EQ(store.GetString("missing", "dflt"), "dflt");
    EXPECT_EQ(store["missing"], nullptr);
    EXPECT_EQ(store.Size(), 0u);

    EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", -1), -1);
    EXPECT_STREQ(store["LATEST_DOWNLOAD"], "");  // inserted, empty
    EXPECT_FALSE(store.IsDirty());

    store.Add("LATEST_TRANSFER", "1240.bird");
    EXPECT_EQ(store.GetInt("LATEST_TRANSFER", 0), 1240);
    store.Add("TEXT", "abc");
    EXPECT_EQ(store.GetInt("TEXT", 7), 0);
    store.Add("I", -42);
    EXPECT_STREQ(store["I"], "-42");
    store.Add("D", 1.5);
    EXPECT_STREQ(store["D"], "1.500000");
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 1.5);
    store.AddHex("H", 255);
    EXPECT_STREQ(store["H"], "0x000000FF");
    EXPECT_EQ(store.GetHex("H", 0), 255u);
    store.Add("H2", "ff");
    EXPECT_EQ(store.GetHex("H2", 0), 255u);
    EXPECT_EQ(store.GetHex("H3", 9), 9u);
    store.Add("B", 0);
    EXPECT_FALSE(store.GetBOOL("B", true));
    store.Add("B", 3);
    EXPECT_TRUE(store.GetBOOL("B", false));
    EXPECT_TRUE(store.GetBOOL("B2", true));
    store.Add("BIG", "99999999999");
    EXPECT_EQ(store.GetInt("BIG", 0), 2147483647);

    KeyValueStore copy = store;
    copy.Add("I", 1);
    EXPECT_STREQ(store["I"], "-42");
    KeyValueStore merged;
    merged.Add("I", 5);
    merged.Add("ONLY", "here");
    merged.Add(copy);
    EXPECT_STREQ(merged["I"], "1");
    EXPECT_STREQ(merged["ONLY"], "here");
    EXPECT_TRUE(merged.Clear());
    EXPECT_EQ(merged.Size(), 0u);
    EXPECT_TRUE(merged.IsDirty());
}

TEST(SettingsSave, KeyOrderInsertedKeysAndUpdatedTime)
{
    TempDir dir;
    std::string path = dir.file(".settings");
    WriteFileText(path, "CREATED_TIME=Sun Dec  6 09:36:48 2026\nUPDATED_TIME=old\nLATEST_DOWNLOAD=1234.bird\n");
    KeyValueStore store(path.c_str());
    store.Add("LATEST_DOWNLOAD", "1234.bird");  // unchanged
    store.GetInt("LAST_TRANSFER_VERSION", 0);
    store.Save();
    EXPECT_EQ(ReadFileText(path), "CREATED_TIME=Sun Dec  6 09:36:48 2026\n"
                                  "LAST_TRANSFER_VERSION=\n"
                                  "LATEST_DOWNLOAD=1234.bird\n"
                                  "UPDATED_TIME=old\n");

    store.Add("LAST_DOWNLOAD_DATE", "today");
    store.Add("lower", "x");
    EXPECT_TRUE(store.IsDirty());
    store.Save();
    EXPECT_FALSE(store.IsDirty());
    std::vector<std::string> lines = sLines(ReadFileText(path));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], "LAST_DOWNLOAD_DATE=today");
    EXPECT_EQ(lines[2], "LAST_TRANSFER_VERSION=");
    EXPECT_EQ(lines[3], "LATEST_DOWNLOAD=1234.bird");
    EXPECT_EQ(lines[4].rfind("UPDATED_TIME=", 0), 0u);
    EXPECT_TRUE(sIsTimeStamp(lines[4].substr(13)));
    EXPECT_EQ(lines[5], "lower=x");

    // What was saved loads back the same.
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.Entries(), store.Entries());
}

TEST(SettingsSave, FileIsReplacedInOneStep)
{
    TempDir dir;
    std::string path = dir.file(".settings");
    KeyValueStore store(path.c_str());
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    store.Add("LATEST_DOWNLOAD", "1.bird");
    store.Save();
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    // A new file took the old one's place rather than the old one being cut and rewritten.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(sEntries(dir.path()), std::vector<std::string>{".settings"});
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(after.st_mode & 0777, 0666u & ~mask);

    // A save that cannot write keeps the store changed and leaves nothing behind.
    store.Add("X", 1);
    EXPECT_FALSE(store.Save(dir.file("nodir/.settings").c_str()));
    EXPECT_FALSE(store.LastError().empty());
    EXPECT_TRUE(store.IsDirty());
    EXPECT_EQ(sEntries(dir.path()), std::vector<std::string>{".settings"});
}

// Writers that loaded the same file each lay only their own changes over what it holds at their
// save: no key is lost, and a key changed later wins. Threads race on one file as processes do.
TEST(SettingsSave, WritersOnOneFileKeepEachOthersKeys)
{
    TempDir dir;
    std::string path = dir.file(".settings");
    KeyValueStore first(path.c_str());
    KeyValueStore second(path.c_str());
    first.Add("LATEST_DOWNLOAD", "7.bird");
    second.Add("LATEST_TRANSFER", "6.bird");
    ASSERT_TRUE(first.Save());
    ASSERT_TRUE(second.Save());
    KeyValueStore both(path.c_str());
    EXPECT_STREQ(both["LATEST_DOWNLOAD"], "7.bird");
    EXPECT_STREQ(both["LATEST_TRANSFER"], "6.bird");
    EXPECT_STREQ(second["LATEST_DOWNLOAD"], "7.bird");  // a save brings the store up to date

    second.Add("LATEST_DOWNLOAD", "8.bird");
    ASSERT_TRUE(second.Save());
    first.Add("OTHER", "1");  // first never changed LATEST_DOWNLOAD again: 8 stays
    ASSERT_TRUE(first.Save());
    EXPECT_STREQ(KeyValueStore(path.c_str())["LATEST_DOWNLOAD"], "8.bird");

    const int kWriters = 4, kKeys = 15;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([&path, w]() {
            KeyValueStore store(path.c_str());
            for (int k = 0; k < kKeys; k++) {
                store.Add(("W" + std::to_string(w) + "_" + std::to_string(k)).c_str(), k);
                store.Save();
            }
        });
    }
    for (std::thread& t : writers)
        t.join();
    KeyValueStore all(path.c_str());
    for (int w = 0; w < kWriters; w++)
        for (int k = 0; k < kKeys; k++)
            EXPECT_NE(all[("W" + std::to_string(w) + "_" + std::to_string(k)).c_str()], nullptr) << w << " " << k;
}

// What the file cannot carry is refused before it is written; what a killed writer left is
// removed by the next save there (a temporary file still being written is not); a FIFO
// standing as the file neither blocks the reader nor is replaced.
TEST(SettingsSave, RefusedValuesLeftoversAndFifos)
{
    TempDir dir;
    std::string path = dir.file(".settings");
    KeyValueStore store(path.c_str());
    EXPECT_FALSE(store.Add("LATEST_TRANSFER", "x.bird\nLATEST_DOWNLOAD=../../x.bird"));
    EXPECT_FALSE(store.Add("A=B", "1"));
    EXPECT_FALSE(store.Add("#C", "1"));
    std::string long_value(100000, 'v');
    EXPECT_TRUE(store.Add("LONG", long_value));
    WriteFileText(dir.file(".settings.tmpAb12Cd"), "left by a killed run");
    int held = open(dir.file("9.bird.tmpXy34Zw").c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_TRUE(store.Save());
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again["LATEST_DOWNLOAD"], nullptr);
    EXPECT_EQ(again.GetString("LONG", ""), long_value);
    std::vector<std::string> names = sEntries(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".settings", "9.bird.tmpXy34Zw"}));
    close(held);

    std::string fifo = dir.file("fifo/.settings");
    ASSERT_EQ(mkdir(dir.file("fifo").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    KeyValueStore blocked(fifo.c_str());
    blocked.Add("X", 1);
    EXPECT_FALSE(blocked.Save());
    struct stat st;
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
