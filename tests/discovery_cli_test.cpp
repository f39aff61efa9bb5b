// `updater -D` end to end: the program, with a private home, inside a private network namespace
// where simulated devices answer TCP/IP discovery and serve their links.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "IsolatedHome.h"
#include "NetNamespace.h"
#include "Process.h"

namespace {

const char* const kAddress = "10.77.0.1";

// A simulated device program running inside the namespace; ready once it has printed its port.
std::unique_ptr<BackgroundProcess> sStartDevice(const NetNamespace& ns, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = ns.Prefix();
    argv.push_back(std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_device");
    for (const char* fixed : {"--tcp", "0", "--any-address", "--discover", "--system", "--idle-timeout-s", "60"})
        argv.push_back(fixed);
    argv.insert(argv.end(), args.begin(), args.end());
    auto device = std::make_unique<BackgroundProcess>(argv);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (device->Output().find("tcp ") == std::string::npos && device->running() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(std::string::npos, device->Output().find("tcp ")) << device->Output();
    return device;
}

std::vector<std::string> sLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool sHasLine(const std::string& text, const std::string& line)
{
    for (const std::string& l : sLines(text))
        if (l == line)
            return true;
    return false;
}

class DiscoveryCli : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(ns.ok());
        // An address besides 127.0.0.1 for discovery to send its request from.
        ASSERT_TRUE(ns.AddAddress(std::string(kAddress) + "/24"));
    }

    NetNamespace ns;
    IsolatedHome home;
};

}  // namespace

TEST_F(DiscoveryCli, TcpIpDevicesAreListedWithTheirAddresses)
{
    auto good = sStartDevice(ns, {"--serial", "1234ABCD", "--module", "6", "--model", "16", "--version", "2.1.7",
                                  "--build", "4321"});
    // Firmware that answers the build query with a reply of the wrong length.
    auto odd = sStartDevice(ns, {"--serial", "0000BEEF", "--module", "8", "--model", "18", "--version", "3.0.12",
                                 "--build", "99", "--build-reply-length", "5"});

    // A device already in the store with a history of its own.
    const std::string known = home.store() + "/1234ABCD";
    ASSERT_EQ(0, RunProcess({"mkdir", "-p", known}).exit_code);
    WriteFileText(known + "/.settings", "LATEST_DOWNLOAD=4300.bird\nLATEST_TRANSFER=4200.bird\n");

    ProcessResult r = home.Run({"-D", "-t", "TCPIP"}, ns.name());
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(sHasLine(r.out, "Searching for Strandix devices")) << r.out;
    EXPECT_TRUE(sHasLine(r.out, "Discovered Devices: (TCPIP)")) << r.out;
    EXPECT_TRUE(sHasLine(r.out, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"))
        << r.out;
    EXPECT_TRUE(sHasLine(r.out, "    1234ABCD  06       06      Ginkgo         2.1.7 (4321) [10.77.0.1]")) << r.out;
    EXPECT_TRUE(sHasLine(r.out, "    0000BEEF  08       08      Ironwood       3.0.12 (0) [10.77.0.1]")) << r.out;
    // Discovery records what it found in each device's settings, keeping the history keys.
    EXPECT_EQ(home.store() + "/0000BEEF/.settings\n" + known + "/.settings\n",
              RunProcess({"sh", "-c", "find '" + home.store() + "' -type f | sort"}).out);
    r = home.Run({"-I", "-d", "1234ABCD"});
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(sHasLine(r.out, "Stored information for device 1234ABCD:")) << r.out;
    for (const char* line :
         {"    MODEL                  Ginkgo", "    FIRMWARE_VERSION       2.1.7", "    FIRMWARE_BUILD         4321",
          "    MODULE_ADDRESS         06", "    TRANSPORT              TCPIP", "    IP_ADDRESS             10.77.0.1",
          "    LATEST_DOWNLOAD        4300.bird", "    LATEST_TRANSFER        4200.bird"})
        EXPECT_TRUE(sHasLine(r.out, line)) << line << "\n" << r.out;
    EXPECT_NE(std::string::npos, r.out.find("    LAST_SEEN_DATE         ")) << r.out;
    // Discovery and its stored information in one run.
    r = home.Run({"-I", "-D", "-t", "TCPIP"}, ns.name());
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(sHasLine(r.out, "Stored information for device 1234ABCD:")) << r.out;
    EXPECT_TRUE(sHasLine(r.out, "Stored information for device 0000BEEF:")) << r.out;
    EXPECT_TRUE(sHasLine(r.out, "    MODEL                  Ironwood")) << r.out;
}

// Devices that take the connection but never answer are listed with their error, asked at the
// same time as the others; with a second interface every device is still listed once.
TEST_F(DiscoveryCli, SilentDevicesAreListedWithAnErrorAndEveryDeviceOnce)
{
    ASSERT_TRUE(ns.AddAddress("10.78.0.1/24"));
    auto good = sStartDevice(ns, {"--serial", "1234ABCD", "--module", "6", "--model", "16", "--version", "2.1.7",
                                  "--build", "4321"});
    std::vector<std::unique_ptr<BackgroundProcess>> silent;
    for (const char* serial : {"5110E001", "5110E002", "5110E003", "5110E004"})
        silent.push_back(sStartDevice(ns, {"--serial", serial, "--reply-delay-ms", "600000"}));

    auto start = std::chrono::steady_clock::now();
    ProcessResult r = home.Run({"-D", "-t", "TCPIP"}, ns.name());
    const long seconds =
        (long)std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    size_t listed = 0;
    for (const std::string& line : sLines(r.out))
        if (line.find("1234ABCD") != std::string::npos)
            listed++;
    EXPECT_EQ(1u, listed) << r.out;
    EXPECT_TRUE(sHasLine(r.out, "    1234ABCD  06       06      Ginkgo         2.1.7 (4321) [10.77.0.1]")) << r.out;
    for (const char* serial : {"5110E001", "5110E002", "5110E003", "5110E004"}) {
        size_t at = r.out.find(std::string("    ") + serial + "  [Error (");
        EXPECT_NE(std::string::npos, at) << serial << "\n" << r.out;
    }
    RecordProperty("discovery_seconds", std::to_string(seconds));
}

TEST_F(DiscoveryCli, NoDevicesAndUsbOnlyByDefault)
{
    ProcessResult r = home.Run({"-D", "-t", "TCPIP"}, ns.name());
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(sHasLine(r.out, "    No devices found.")) << r.out;

    // Without -t only USB is searched, so a TCP/IP device is not listed.
    auto device = sStartDevice(ns, {"--serial", "1234ABCD"});
    r = home.Run({"-D"}, ns.name());
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(sHasLine(r.out, "Discovered Devices: (USB)")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("1234ABCD")) << r.out;
}

TEST_F(DiscoveryCli, ModulesBehindARouter)
{
    // The router sits at 254, outside the probed range, with modules at 4 and 10 behind it. It
    // answers for empty addresses, or leaves them silent (the other 124 addresses), or answers
    // everything 400 ms late.
    const std::vector<std::vector<std::string>> routers = {{"--answer-absent"}, {}, {"--reply-delay-ms", "400"}};
    for (const std::vector<std::string>& behaviour : routers) {
        std::vector<std::string> args = {"--serial", "00000100", "--module", "254", "--model", "16",
                                         "--network-module", "4:00000104:18", "--network-module", "10:0000010A:21"};
        args.insert(args.end(), behaviour.begin(), behaviour.end());
        const std::string which = behaviour.empty() ? "silent" : behaviour[0];
        auto router = sStartDevice(ns, args);
        // The router's transport is found first (USB, then TCP/IP).
        ProcessResult r = home.Run({"-D", "-r", "00000100"}, ns.name());
        ASSERT_EQ(0, r.exit_code) << which << r.out << r.err;
        EXPECT_TRUE(sHasLine(r.out, "Searching for Strandix Network devices connected to 00000100")) << r.out;
        std::vector<std::string> devices;
        for (const std::string& line : sLines(r.out))
            if (line.find("[10.77.0.1]") != std::string::npos)
                devices.push_back(line);
        ASSERT_EQ(2u, devices.size()) << which << r.out;
        EXPECT_EQ("    00000104  04       FE      Ironwood       2.1.7 (1234) [10.77.0.1]", devices[0]) << which;
        EXPECT_EQ("    0000010A  0A       FE      Maple          2.1.7 (1234) [10.77.0.1]", devices[1]) << which;
        router->Stop();
    }

    // An unknown router gives an empty list.
    ProcessResult r = home.Run({"-D", "-r", "0BADF00D", "-t", "TCPIP"}, ns.name());
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(sHasLine(r.out, "    No devices found.")) << r.out;
}
