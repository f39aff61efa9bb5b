// -B and -G end to end: the updater binary, isolated from the real store, against the reference
// update server on 127.0.0.1 (in this process, or as the sxsim_server program).
// test-labels: threads
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "BirdWriter.h"
#include "IsolatedHome.h"
#include "JsonQuery.h"
#include "KeyValueStore.h"
#include "LocalCertificate.h"
#include "UpdateServerSim.h"

namespace {

const std::string VERSION_LINE = "Updater (Version: 1.1 Apr 26 2023)\n";

std::string sBird(uint32_t build, const std::string& version, size_t size)
{
    BirdWriter writer;
    writer.AddInformation(build, version, 0x40F5849A, "Ginkgo");
    writer.AddFirmware(0x1000, BirdWriter::MakeCode(size, build));
    std::vector<uint8_t> bytes = writer.Build();
    return std::string(bytes.begin(), bytes.end());
}

class ServerCliTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        bird = sBird(102, "2.9.0", 20000);
        server.AddDevice(0x40F5849A, "FW-GINKGO");
        server.AddBuild(0x40F5849A, 100, "2.10.0", sBird(100, "2.10.0", 100));
        server.AddBuild(0x40F5849A, 101, "1.0.0", sBird(101, "1.0.0", 100));
        server.AddBuild(0x40F5849A, 102, "2.9.0", bird);
        server.AddBuild(0x40F5849A, 99528558, "a-very-long-version-text", "x");
        server.SetLatest(0x40F5849A, 102);
        UpdateServerSim::Options options;
        options.idle_timeout_ms = 60000;
        ASSERT_TRUE(server.Start(options, nullptr));
        url = server.BaseURL();
    }

    UpdateServerSim server;
    IsolatedHome home;
    std::string url, bird;
};

}  // namespace

TEST_F(ServerCliTest, BuildListSortedByVersionText)
{
    ProcessResult r = home.Run({"-B", "-d", "40f5849a", "-u", url});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, VERSION_LINE +
                         "Build List for device [40F5849A]:\n\n"
                         "Build          \tVersion        \n"
                         "101            \t1.0.0          \n"
                         "100            \t2.10.0         \n"
                         "102            \t2.9.0          \n"
                         "99528558       \ta-very-long-ver\n");
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> queries = {"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=40F5849A&"};
    EXPECT_EQ(server.Requests(), queries);

    // An unreachable server: no list to show, the failure and its reason, exit 1.
    ProcessResult dead = home.Run({"-B", "-d", "40F5849A", "-u", "http://127.0.0.1:1/cgi/u"});
    EXPECT_EQ(dead.exit_code, 1);
    EXPECT_EQ(dead.out, VERSION_LINE);
    EXPECT_EQ(dead.err, "Server request failed for http://127.0.0.1:1/cgi/u\n"
                        "The update server could not be reached: Couldn't connect to server\n");

    // A server that answers "ok" with no builds: an empty list is an answer, exit 0.
    server.AddDevice(0x1234, "FW-EMPTY");
    ProcessResult none = home.Run({"-B", "-d", "00001234", "-u", url});
    EXPECT_EQ(none.exit_code, 0) << none.err;
    EXPECT_EQ(none.out, VERSION_LINE + "No builds found for device [00001234]\n");

    // Control characters in the server's text reach the terminal escaped, never raw.
    server.AddDevice(0x5678, "FW-ESC");
    server.AddBuild(0x5678, 7, "\x1b[2J1.0\x07", "x");
    ProcessResult escaped = home.Run({"-B", "-d", "00005678", "-u", url});
    EXPECT_EQ(escaped.exit_code, 0) << escaped.err;
    EXPECT_NE(escaped.out.find("7              \t\\x1B[2J1.0\\x07"), std::string::npos) << escaped.out;
    EXPECT_EQ(escaped.out.find('\x1b'), std::string::npos);
}

TEST_F(ServerCliTest, GetStoresTheBuildAndRecordsIt)
{
    ProcessResult r = home.Run({"-G", "-d", "40F5849A", "-u", url});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, VERSION_LINE +
                         "Retrieving firmware for device with serial number 40F5849A\n"
                         "No build specified\nUsing Latest build\n"
                         "Retrieving build 102\nValidating build 102 with server\nBuild 102 is valid\n");
    EXPECT_EQ(r.err, "");
    const std::string device = home.store() + "/40F5849A";
    EXPECT_EQ(ReadFileText(device + "/102.bird"), bird);
    KeyValueStore settings((device + "/.settings").c_str());
    EXPECT_STREQ(settings["LATEST_DOWNLOAD"], "102.bird");
    EXPECT_NE(settings["LAST_DOWNLOAD_DATE"], nullptr);
    const std::vector<std::string> queries = {
        "/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=40F5849A&", "/cgi/u?op=builds&sn=40F5849A&",
        "/cgi/u?bld=102&fw=FW-GINKGO&no_cal=false&op=bird&sn=40F5849A&"};
    EXPECT_EQ(server.Requests(), queries);

    // A build the server does not list.
    ProcessResult bad = home.Run({"-G", "-d", "40F5849A", "-b", "555", "-u", url});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_NE(bad.out.find("Retrieving firmware build 555\n"), std::string::npos);
    EXPECT_EQ(bad.err, "No valid build 555\n");
    EXPECT_FALSE(ReadFileText(device + "/555.bird").size());
    EXPECT_EQ(ReadFileText(device + "/102.bird"), bird);  // the earlier download is kept

    // -I shows the recorded download, the stored build and both history lines.
    ProcessResult info = home.Run({"-I", "-d", "40F5849A", "-l", "unused"});
    EXPECT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.out.find("\n    LATEST_DOWNLOAD        102.bird\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\n  Stored builds:\n    102        2.9.0\n  History:\n"), std::string::npos) << info.out;
    const size_t ok = info.out.find(" | download | 102.bird | ok\n");
    const size_t failed = info.out.find(" | download | build 555 | failed: No valid build 555\n");
    EXPECT_NE(ok, std::string::npos) << info.out;
    EXPECT_NE(failed, std::string::npos) << info.out;
    EXPECT_LT(ok, failed);
    ProcessResult infoJson = home.Run({"-I", "-d", "40F5849A", "--json"});
    EXPECT_EQ(infoJson.exit_code, 0) << infoJson.err;
    EXPECT_EQ("('info', '102.bird', [{'build': 102, 'version': '2.9.0'}], 2, True, True)",
              JsonQuery(infoJson.out, "(d['command'], d['devices'][0]['settings']['LATEST_DOWNLOAD'], "
                                      "d['devices'][0]['stored_builds'], len(d['devices'][0]['history']), "
                                      "d['devices'][0]['history'][0].endswith(' | download | 102.bird | ok'), "
                                      "d['devices'][0]['history'][1].endswith('failed: No valid build 555'))"))
        << infoJson.out;

    // -G then -B: both run.
    ProcessResult both = home.Run({"-G", "-B", "-d", "40F5849A", "-b", "101", "-u", url});
    EXPECT_EQ(both.exit_code, 0);
    EXPECT_NE(both.out.find("Build 101 is valid\nBuild List for device [40F5849A]:\n"), std::string::npos);
    // A failed download still lets the list run, but the run fails.
    ProcessResult failedGet = home.Run({"-G", "-B", "-d", "40F5849A", "-b", "555", "-u", url});
    EXPECT_EQ(failedGet.exit_code, 1);
    EXPECT_NE(failedGet.out.find("Build List for device [40F5849A]:\n"), std::string::npos);
    // A failed -N with a successful -G after it: the download runs, the run fails.
    ProcessResult failedFingerprint =
        home.Run({"-N", "-s", home.dir() + "/no-such-port", "-G", "-d", "40F5849A", "-b", "101", "-u", url});
    EXPECT_EQ(failedFingerprint.exit_code, 1);
    EXPECT_NE(failedFingerprint.out.find("Build 101 is valid\n"), std::string::npos) << failedFingerprint.out;
    EXPECT_NE(failedFingerprint.err.find("Got no response from chip\n"), std::string::npos) << failedFingerprint.err;
}

TEST_F(ServerCliTest, HttpsServerWithTheCertificateFromTheEnvironment)
{
    TempDir dir;
    const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    ProcessResult made = MakeLocalCertificate(cert, key);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    UpdateServerSim secure;
    secure.AddDevice(0x40F5849A, "FW-GINKGO");
    secure.AddBuild(0x40F5849A, 102, "2.9.0", bird);
    UpdateServerSim::Options options;
    options.cert_file = cert;
    options.key_file = key;
    ASSERT_TRUE(secure.Start(options, nullptr));
    const std::string secureUrl = secure.BaseURL();

    ProcessResult r = home.RunCommand(
        {"env", "CURL_CA_BUNDLE=" + cert, UPDATER_BINARY, "-G", "-d", "40F5849A", "-u", secureUrl});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFileText(home.store() + "/40F5849A/102.bird"), bird);

    // Without the certificate the server is not trusted.
    ProcessResult untrusted = home.Run({"-B", "-d", "40F5849A", "-u", secureUrl});
    EXPECT_EQ(untrusted.exit_code, 1);
    EXPECT_EQ(untrusted.err.rfind("Server request failed for " + secureUrl + "\nThe update server could not be reached: ", 0), 0u)
        << untrusted.err;
}

TEST(ServerProgram, ServesACatalogueDirectoryAndStopsWhenIdle)
{
    TempDir dir;
    const std::string bird = sBird(7001, "3.0.0", 3000);
    WriteFileText(dir.file("7001.bird"), bird);
    WriteFileText(dir.file("catalogue"), "# test catalogue\n"
                                         "device 40F5849A FW-GINKGO 00000001 00000002 00000003 00000004\n"
                                         "build 40F5849A 7001 3.0.0\n"
                                         "build 40F5849A 7000 2.0.0 missing.bird\n");
    BackgroundProcess server({std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_server", "--dir", dir.path(), "--idle",
                              "2"});
    std::string url;
    for (int i = 0; i < 100 && url.empty(); i++) {
        std::string out = server.Output();
        if (out.find('\n') != std::string::npos)
            url = out.substr(0, out.find('\n'));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(url.compare(0, 17, "http://127.0.0.1:"), 0) << url;

    IsolatedHome home;
    ProcessResult r = home.Run({"-G", "-d", "40F5849A", "-u", url});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFileText(home.store() + "/40F5849A/7001.bird"), bird);
    // A listed build whose file is missing: the server says so, nothing is stored.
    ProcessResult missing = home.Run({"-G", "-d", "40F5849A", "-b", "7000", "-u", url});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.err.find("Failed to retreive a valid BIRD file"), std::string::npos);

    EXPECT_EQ(server.Wait(10000), 0);  // stopped by itself after 2 s without requests
}
