// The update server client: Base64, reply parsing, and the five requests over real HTTP and
// HTTPS against the reference server on 127.0.0.1, faults and time-outs included.
// test-labels: threads
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "HTTPRequest.h"
#include "IsolatedHome.h"
#include "LocalCertificate.h"
#include "UpdateServerReply.h"
#include "UpdateServerRequest.h"
#include "UpdateServerSim.h"
#include "base64.h"

namespace {

std::string sDecode(const std::string& text, bool* ok = nullptr)
{
    size_t length = 0;
    unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
    if (ok)
        *ok = bytes != nullptr;
    std::string out = bytes ? std::string((const char*)bytes, length) : std::string();
    if (bytes) {
        EXPECT_EQ(bytes[length], 0);  // NUL after the bytes
    }
    free(bytes);
    return out;
}

std::string sEncode(const std::string& bytes)
{
    size_t length = 0;
    char* text = base64_encode((const unsigned char*)bytes.data(), bytes.size(), &length);
    std::string out(text, length);
    EXPECT_EQ(strlen(text), length);
    free(text);
    return out;
}

// A server with one device, two builds and a fingerprint.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        server.AddDevice(0x1A2B, "FW-X");
        server.AddBuild(0x1A2B, 100, "1.0.0", "first build");
        server.AddBuild(0x1A2B, 101, "1.0.1", std::string("second\0build", 12));
        const uint32_t fp[4] = {0x11, 0xABCDEF01, 0x3, 0xFFFFFFFF};
        server.SetFingerprint(0x1A2B, fp);
        UpdateServerSim::Options options;
        options.idle_timeout_ms = 30000;
        options.stall_ms = 10000;
        std::string error;
        ASSERT_TRUE(server.Start(options, &error)) << error;
        url = server.BaseURL();
    }
    void TearDown() override
    {
        HTTPRequest::SetTimeouts(10000, 60);
        HTTPRequest::SetLimits(900, 1024);
    }

    UpdateServerSim server;
    std::string url;
};

}  // namespace

TEST(Base64, KnownTextsAndRoundTrips)
{
    const char* vectors[][2] = {{"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                                {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (auto& v : vectors) {
        EXPECT_EQ(sEncode(v[0]), v[1]);
        EXPECT_EQ(sDecode(v[1]), v[0]);
    }
    std::string all;
    for (int i = 0; i < 256; i++)
        all += (char)i;
    for (size_t n = 0; n <= all.size(); n += 37) {
        std::string text = sEncode(all.substr(0, n));
        EXPECT_EQ(text.size(), 4 * ((n + 2) / 3));
        if (n > 0) {
            EXPECT_EQ(sDecode(text), all.substr(0, n));
        }
    }
}

TEST(Base64, RejectsMalformedText)
{
    const char* bad[] = {"",      "Zm9",      "Zm9vY",     "Zm9v@mFy", "Zm9v YmF", "Zg=a",
                         "Z===",  "Zm=v",     "=Zm9",      "Zg==Zg==", "Zm9v\n"};
    for (const char* text : bad) {
        bool ok = true;
        sDecode(text, &ok);
        EXPECT_FALSE(ok) << "[" << text << "]";
    }
}

TEST(ReplyParsing, LinesAndRequests)
{
    using namespace UpdateServerReply;
    EXPECT_TRUE(IsOk(Lines("okay\n")));
    EXPECT_FALSE(IsOk(Lines("error\nok\n")));
    EXPECT_FALSE(IsOk(Lines("\n\n")));
    EXPECT_FALSE(IsOk(Lines("o")));

    std::string build = "keep", fw = "keep";
    QueryBuild(Lines("ok\n\n1234\nFW-X\r\n"), build, fw);  // empty line skipped, CR ends line 3
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(fw, "FW-X");
    build = fw = "keep";
    QueryBuild(Lines("ok\n"), build, fw);
    EXPECT_EQ(build, "keep");
    EXPECT_EQ(fw, "keep");

    std::map<std::string, std::string> builds;
    GetBuildList(Lines("ok\n100;1.0.0\n101;1.0.1\r\n100;9.9.9\nab\n102\n;;;\n"), builds);
    std::map<std::string, std::string> expected = {{"100", "1.0.0"}, {"101", "1.0.1"}, {"102", ""}};
    EXPECT_EQ(builds, expected);

    uint32_t serial = 7, bld = 9;
    GetRecoveryInfo(Lines("ok\n0000ABCD\n0x20\n"), &serial, &bld);
    EXPECT_EQ(serial, 0xABCDu);
    EXPECT_EQ(bld, 32u);
    GetRecoveryInfo(Lines("ok\n10\n010\n"), &serial, &bld);
    EXPECT_EQ(serial, 16u);
    EXPECT_EQ(bld, 8u);  // octal
    serial = 7, bld = 9;
    GetRecoveryInfo(Lines("ok\n"), &serial, &bld);
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(bld, 9u);
}

TEST_F(ServerTest, FiveRequestsWithExactQueries)
{
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));

    std::string build, fw;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1A2B, build, fw, url.c_str()));
    EXPECT_EQ(build, "101");
    EXPECT_EQ(fw, "FW-X");

    std::string data = "stale";
    ASSERT_TRUE(UpdateServerRequest::GetBuild(0x1A2B, "FW-X", "101", data, url.c_str(), true));
    EXPECT_EQ(sDecode(data), std::string("second\0build", 12));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0x1A2B, "FW-X", "555", data, url.c_str(), false));
    EXPECT_TRUE(data.empty());  // emptied even on failure

    std::map<std::string, std::string> builds = {{"stale", "x"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x1A2B, builds, url.c_str()));
    std::map<std::string, std::string> expected = {{"100", "1.0.0"}, {"101", "1.0.1"}};
    EXPECT_EQ(builds, expected);
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x9999, builds, url.c_str()));  // unknown device
    EXPECT_TRUE(builds.empty());

    const uint32_t fp[4] = {0x11, 0xABCDEF01, 0x3, 0xFFFFFFFF};
    unsigned int serial = 0, latest = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &latest, url.c_str()));
    EXPECT_EQ(serial, 0x1A2Bu);
    EXPECT_EQ(latest, 101u);

    const std::vector<std::string> queries = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=00001A2B&",
        "/cgi/u?bld=101&fw=FW-X&no_cal=true&op=bird&sn=00001A2B&",
        "/cgi/u?bld=555&fw=FW-X&no_cal=false&op=bird&sn=00001A2B&",
        "/cgi/u?op=builds&sn=00001A2B&",
        "/cgi/u?op=builds&sn=00009999&",
        "/cgi/u?brief=true&fp=00000011%20ABCDEF01%2000000003%20FFFFFFFF&op=fix&",
    };
    EXPECT_EQ(server.Requests(), queries);
}

TEST_F(ServerTest, FaultyRepliesFailEveryRequest)
{
    const uint32_t fp[4] = {0x11, 0xABCDEF01, 0x3, 0xFFFFFFFF};
    for (UpdateServerSim::Fault fault :
         {UpdateServerSim::FAULT_NOT_FOUND, UpdateServerSim::FAULT_NOT_OK, UpdateServerSim::FAULT_EMPTY_BODY}) {
        server.SetFault(fault);
        std::string build = "b", fw = "f", data;
        std::map<std::string, std::string> builds;
        unsigned int serial = 5, latest = 6;
        EXPECT_FALSE(UpdateServerRequest::ping(url.c_str())) << fault;
        EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x1A2B, build, fw, url.c_str())) << fault;
        EXPECT_FALSE(UpdateServerRequest::GetBuild(0x1A2B, "FW-X", "100", data, url.c_str(), false)) << fault;
        EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x1A2B, builds, url.c_str())) << fault;
        EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &latest, url.c_str())) << fault;
        EXPECT_EQ(build, "b");
        EXPECT_EQ(fw, "f");
        EXPECT_EQ(serial, 5u);
        EXPECT_EQ(latest, 6u);
        EXPECT_TRUE(UpdateServerRequest::last_transfer_error().empty());  // a reply came
    }
    // Only one request misbehaves when the fault names it.
    server.SetFault(UpdateServerSim::FAULT_NONE);
    server.SetFault(UpdateServerSim::FAULT_GARBAGE_BASE64, "bird");
    std::string data;
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
    ASSERT_TRUE(UpdateServerRequest::GetBuild(0x1A2B, "FW-X", "100", data, url.c_str(), false));
    bool ok = true;
    sDecode(data, &ok);
    EXPECT_FALSE(ok);
}

TEST_F(ServerTest, UnreachableStalledAndUnansweredServersFailInBoundedTime)
{
    // Nothing listens on the port of a stopped server.
    UpdateServerSim gone;
    UpdateServerSim::Options options;
    ASSERT_TRUE(gone.Start(options, nullptr));
    const std::string goneUrl = gone.BaseURL();
    gone.Stop();
    EXPECT_FALSE(UpdateServerRequest::ping(goneUrl.c_str()));
    EXPECT_FALSE(UpdateServerRequest::last_transfer_error().empty());
    EXPECT_FALSE(UpdateServerRequest::last_transfer_timed_out());

    // A reply that stops after its first line is aborted after the stall time.
    HTTPRequest::SetTimeouts(2000, 1);
    server.SetFault(UpdateServerSim::FAULT_STALL, "bird");
    std::string data;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0x1A2B, "FW-X", "100", data, url.c_str(), false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(UpdateServerRequest::last_transfer_timed_out());
    EXPECT_NE(UpdateServerRequest::last_transfer_error().find("stopped sending"), std::string::npos)
        << UpdateServerRequest::last_transfer_error();

    // A reply dripped at 2 bytes a second is aborted once the stall time has passed.
    HTTPRequest::SetLimits(900, 1024);
    server.SetFault(UpdateServerSim::FAULT_DRIP, "bird");
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0x1A2B, "FW-X", "100", data, url.c_str(), false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(UpdateServerRequest::last_transfer_timed_out());
    EXPECT_NE(UpdateServerRequest::last_transfer_error().find("sends too slowly"), std::string::npos)
        << UpdateServerRequest::last_transfer_error();
    server.SetFault(UpdateServerSim::FAULT_NONE, "bird");

    // A listener whose queue is full never completes the connection: the connect time-out ends it.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener, (struct sockaddr*)&address, sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    getsockname(listener, (struct sockaddr*)&address, &length);
    std::vector<int> fillers;
    for (int i = 0; i < 4; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, (struct sockaddr*)&address, sizeof(address));
        fillers.push_back(fd);
    }
    HTTPRequest::SetTimeouts(500, 30);
    const std::string fullUrl = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u";
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateServerRequest::ping(fullUrl.c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(UpdateServerRequest::last_transfer_timed_out());
    EXPECT_NE(UpdateServerRequest::last_transfer_error().find("No connection"), std::string::npos)
        << UpdateServerRequest::last_transfer_error();
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST(ServerHttps, VerifiesTheCertificateNamedByTheEnvironment)
{
    TempDir dir;
    const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    ProcessResult made = MakeLocalCertificate(cert, key);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    UpdateServerSim server;
    UpdateServerSim::Options options;
    options.cert_file = cert;
    options.key_file = key;
    std::string error;
    ASSERT_TRUE(server.Start(options, &error)) << error;
    const std::string url = server.BaseURL();
    ASSERT_EQ(url.compare(0, 8, "https://"), 0);

    const char* saved = getenv("CURL_CA_BUNDLE");
    const std::string savedText = saved ? saved : "";
    unsetenv("CURL_CA_BUNDLE");
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));  // unknown authority: refused
    EXPECT_FALSE(UpdateServerRequest::last_transfer_error().empty());
    setenv("CURL_CA_BUNDLE", cert.c_str(), 1);
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str())) << UpdateServerRequest::last_transfer_error();
    if (saved)
        setenv("CURL_CA_BUNDLE", savedText.c_str(), 1);
    else
        unsetenv("CURL_CA_BUNDLE");
}

// The progress check: the overall deadline, nothing for the stall time, and the minimum average
// only after the stall time.
TEST(HTTPLimits, DeadlineAndMinimumAverage)
{
    HTTPRequest::SetTimeouts(10000, 60);
    HTTPRequest::SetLimits(900, 1024);
    struct {
        uint64_t elapsed_ms, received, idle_ms;
        const char* expected;  // null: the transfer goes on
    } cases[] = {
        {59999, 0, 59999, nullptr},                  // not yet judged
        {60000, 0, 60000, "stopped sending"},        // nothing at all for the stall time
        {60000, 120, 500, "sends too slowly"},       // a 2 bytes/s drip after a minute
        {60000, 1024 * 60, 0, nullptr},              // exactly the minimum
        {120000, 1024 * 120 - 1, 0, "sends too slowly"},
        {899999, 500000000, 0, nullptr},
        {900000, 500000000, 0, "longer than 900 s"},
    };
    for (const auto& c : cases) {
        std::string why = HTTPRequest::LimitExceeded(c.elapsed_ms, c.received, c.idle_ms);
        if (c.expected == nullptr)
            EXPECT_TRUE(why.empty()) << c.elapsed_ms << ": " << why;
        else
            EXPECT_NE(why.find(c.expected), std::string::npos) << c.elapsed_ms << ": " << why;
    }
}
