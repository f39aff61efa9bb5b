// Files, mutexes, the logger thread, the packet log ring and the directory utilities.
// test-labels: threads
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "IsolatedHome.h"
#include "aDirectory.h"
#include "aFile.h"
#include "aLogger.h"
#include "aMutex.h"
#include "aPacketLog.h"
#include "aTime.h"
#include "path.h"

TEST(File, OpenModesAndMissingFiles)
{
    TempDir dir;
    const std::string path = dir.file("a.txt");
    EXPECT_EQ(aFile_Open(path.c_str(), aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeWrite), nullptr);
    EXPECT_EQ(aFile_Open(std::string(5000, 'x').c_str(), aFileModeWrite), nullptr);

    aFileRef f = aFile_Open(path.c_str(), aFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    size_t n = 0;
    EXPECT_EQ(aFile_Write(f, "hello", 5, &n), aErrNone);
    EXPECT_EQ(n, 5u);
    char buffer[8];
    EXPECT_EQ(aFile_Read(f, buffer, 1, &n), aErrMode);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(f, nullptr);

    // Append reads and writes, positioned at the end.
    f = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(f, nullptr);
    size_t position = 0;
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, 5u);
    EXPECT_EQ(aFile_Printf(f, "%d", 42), aErrNone);
    size_t size = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(aFile_Close(&f), aErrNone);

    f = aFile_Open(path.c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Read(f, buffer, sizeof(buffer), &n), aErrNone);
    EXPECT_EQ(std::string(buffer, n), "hello42");
    EXPECT_EQ(aFile_Read(f, buffer, sizeof(buffer), &n), aErrEOF);
    EXPECT_EQ(aFile_Write(f, "x", 1, &n), aErrMode);
    aFile_Close(&f);

    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
}

TEST(File, StaleHandlesAreRefused)
{
    aUnixFile fake{};
    EXPECT_EQ(aFile_Seek(&fake, 0, 0), aErrParam);
    size_t n;
    EXPECT_EQ(aFile_GetSize(nullptr, &n), aErrParam);
    aFileRef none = nullptr;
    EXPECT_EQ(aFile_Close(&none), aErrParam);
}

TEST(File, SeekStaysInsideTheFile)
{
    TempDir dir;
    WriteFileText(dir.file("s"), "0123456789");
    aFileRef f = aFile_Open(dir.file("s").c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Seek(f, 3, 0), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 1, 2), aErrRange);
    EXPECT_EQ(aFile_Seek(f, -4, 1), aErrRange);
    char c;
    size_t n;
    EXPECT_EQ(aFile_Read(f, &c, 1, &n), aErrNone);
    EXPECT_EQ(c, '3');  // the failed seeks moved nothing
    EXPECT_EQ(aFile_Seek(f, 0, 2), aErrNone);
    EXPECT_EQ(aFile_Read(f, &c, 1, &n), aErrEOF);
    EXPECT_EQ(aFile_Seek(f, -1, 1), aErrNone);
    EXPECT_EQ(aFile_Read(f, &c, 1, &n), aErrNone);
    EXPECT_EQ(c, '9');
    aFile_Close(&f);
}

TEST(File, ReadLineOverrunContinues)
{
    TempDir dir;
    WriteFileText(dir.file("l"), "abcdef\nxy\n");
    aFileRef f = aFile_Open(dir.file("l").c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr);
    char buffer[4];
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof(buffer), &length), aErrOverrun);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof(buffer), &length), aErrOverrun);
    EXPECT_STREQ(buffer, "def");
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof(buffer), &length), aErrNone);
    EXPECT_STREQ(buffer, "\n");
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof(buffer), &length), aErrNone);
    EXPECT_STREQ(buffer, "xy\n");
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof(buffer), &length), aErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");
    aFile_Close(&f);
}

TEST(File, AtomicWriteReplacesWholeAndLeavesNoTemporary)
{
    TempDir dir;
    const std::string path = dir.file("settings");
    WriteFileText(path, "old content that is longer");
    ASSERT_EQ(aFile_WriteAtomic(path.c_str(), "new", 3), aErrNone);
    EXPECT_EQ(ReadFileText(path), "new");
    int entries = 0;
    aDirectory_List(dir.path().c_str(), [](const aDirectoryListData*, void* c) { ++*(int*)c; return true; },
                    &entries);
    EXPECT_EQ(entries, 3);  // ".", ".." and the file itself
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0044, 0u) << "readable like a normally created file";
    EXPECT_NE(aFile_WriteAtomic((dir.path() + "/missing/x").c_str(), "a", 1), aErrNone);
}

TEST(Mutex, NamesAndLocking)
{
    aMutexRef m = aMutex_Create(std::string(255, 'n').c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(strlen(aMutex_Identifier(m)), 255u);
    EXPECT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_TryLock(m), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_TryLock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);
    aMutexRef unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    aMutex_Destroy(&unnamed);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrParam);
}

TEST(Time, TicksAdvanceWithSleep)
{
    uint64_t before = aTime_MonoMS();
    EXPECT_GT(before, 0u);
    aTime_MSSleep(20);
    EXPECT_GE(aTime_MonoMS() - before, 20u);
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
}

namespace {
std::atomic<int> sDrains{0};
void sDrain(aFileRef file, uint32_t parameter)
{
    if (sDrains++ < 3)
        aFile_Printf(file, "drain %u\n", parameter);
    aTime_MSSleep(1);
}
}  // namespace

TEST(Logger, WorkerDrainsUntilDisabled)
{
    TempDir dir;
    const std::string path = dir.file("log");
    EXPECT_EQ(aLogger_Create(1, sDrain, (dir.path() + "/no/such/dir").c_str()), nullptr);
    aLoggerRef logger = aLogger_Create(7, sDrain, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running
    for (int i = 0; i < 1000 && sDrains < 5; i++)
        aTime_MSSleep(2);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    int after = sDrains;
    aTime_MSSleep(20);
    EXPECT_EQ(sDrains, after) << "no drain after Disable returned";
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(ReadFileText(path), "drain 7\ndrain 7\ndrain 7\n");
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
}

namespace {
std::string sGet(aPacketLogRef log, aErr* err = nullptr, uint32_t capacity = 255)
{
    uint8_t data[255];
    uint32_t tag = 0, length = capacity;
    aErr e = aPacketLog_Get(log, &tag, &length, data);
    if (err)
        *err = e;
    if (e != aErrNone)
        return "";
    return std::to_string(tag) + ":" + std::string((const char*)data, length);
}
}  // namespace

TEST(PacketLog, FitsOnlyWhenFreeSpaceExceedsRecord)
{
    aPacketLogRef log = aPacketLog_Create(16);
    ASSERT_NE(log, nullptr);
    const uint8_t bytes[20] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n'};
    EXPECT_EQ(aPacketLog_Put(log, 1, 14, bytes), aErrOverrun);
    EXPECT_EQ(aPacketLog_Put(log, 1, 13, bytes), aErrNone);
    EXPECT_EQ(sGet(log), "1:abcdefghijklm");
    aErr err;
    sGet(log, &err);
    EXPECT_EQ(err, aErrNotFound);
    aPacketLog_Destroy(&log);
    EXPECT_EQ(log, nullptr);
    EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
}

TEST(PacketLog, DropsOldestAndWraps)
{
    aPacketLogRef log = aPacketLog_Create(20);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(aPacketLog_Put(log, 1, 5, (const uint8_t*)"first"), aErrNone);
    EXPECT_EQ(aPacketLog_Put(log, 2, 5, (const uint8_t*)"secnd"), aErrNone);
    EXPECT_EQ(aPacketLog_Put(log, 3, 5, (const uint8_t*)"third"), aErrNone);
    EXPECT_EQ(sGet(log), "2:secnd");
    // The next records wrap around the end of the buffer.
    EXPECT_EQ(aPacketLog_Put(log, 1, 6, (const uint8_t*)"fourth"), aErrNone);
    EXPECT_EQ(sGet(log), "3:third");
    aErr err;
    EXPECT_EQ(sGet(log, &err, 4), "");
    EXPECT_EQ(err, aErrOverrun);
    EXPECT_EQ(sGet(log, &err, 6), "1:fourth");
    aPacketLog_Destroy(&log);
}

TEST(Directory, EnsureListAndDeleteTree)
{
    TempDir dir;
    const std::string deep = dir.path() + "/a/b/c";
    ASSERT_EQ(aDirectory_Ensure((dir.path() + "/a").c_str(), 0755), aErrNone);
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    WriteFileText(deep + "/f", "12345");
    EXPECT_NE(aDirectory_Ensure((deep + "/f/g").c_str(), 0755), aErrNone);
    EXPECT_FALSE(aDirectory_Exists(nullptr));

    std::vector<std::string> seen;
    aDirectory_List(
        deep.c_str(),
        [](const aDirectoryListData* e, void* c) {
            auto* v = static_cast<std::vector<std::string>*>(c);
            v->push_back(std::string(e->path) + "|" + std::to_string(e->type) + "|" + std::to_string(e->size));
            return true;
        },
        &seen);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_NE(std::find(seen.begin(), seen.end(), deep + "/f|0|5"), seen.end());
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [&](const std::string& s) { return s.rfind(deep + "/.|1|", 0) == 0; }),
              1);

    EXPECT_EQ(aDirectory_Delete((dir.path() + "/a").c_str()), aErrUnknown);  // not empty
    EXPECT_EQ(aDirectory_DeleteTree((dir.path() + "/a").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists((dir.path() + "/a").c_str()));
    EXPECT_EQ(aDirectory_DeleteTree((dir.path() + "/a").c_str()), aErrNotFound);
}

TEST(Directory, BoundedAndUnboundedJoins)
{
    char buffer[8];
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "abc", "de", (const char*)nullptr), aErrNone);
    EXPECT_STREQ(buffer, "abc/de");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "abc/", "de", (const char*)nullptr), aErrNone);
    EXPECT_STREQ(buffer, "abc/de");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "abc", "/de", (const char*)nullptr), aErrNone);
    EXPECT_STREQ(buffer, "abc/de");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "abc", "defg", (const char*)nullptr), aErrOverrun);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "abcdefgh", (const char*)nullptr), aErrOverrun);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), buffer, (const char*)nullptr), aErrParam);
    char big[64];
    EXPECT_EQ(aDirectory_BuildPath(big, sizeof(big), "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                                   (const char*)nullptr),
              aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(big, sizeof(big), "/tmp", "x"), aErrNone);
    EXPECT_STREQ(big, "/tmp/x");

    EXPECT_EQ(BuildPath("/home/u", ".vantorix", "updater", (const char*)nullptr), "/home/u/.vantorix/updater");
    EXPECT_EQ(BuildPath("a/", "/b", (const char*)nullptr), "a///b");
}

TEST(Directory, WellKnownPaths)
{
    char buffer[4096];
    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof(buffer)), aErrNone);
    EXPECT_NE(std::string(buffer).find("platform_test"), std::string::npos);
    char tiny[4];
    EXPECT_EQ(aDirectory_ExecutableFilePath(tiny, sizeof(tiny)), aErrNone);
    EXPECT_EQ(strlen(tiny), 3u);
    EXPECT_EQ(aDirectory_CWD(buffer, sizeof(buffer)), aErrNone);
    EXPECT_EQ(aDirectory_CWD(tiny, 1), aErrParam);
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
    EXPECT_EQ(std::string(buffer), RealHomeDirectory());
}
