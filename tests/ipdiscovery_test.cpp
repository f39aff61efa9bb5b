// TCP/IP discovery against simulated devices. Everything that sends or answers multicast runs
// inside a network namespace that the test makes and removes; nothing is sent from this
// machine's own namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <vector>

#include "NetNamespace.h"
#include "Process.h"
#include "SimDiscoveryResponder.h"
#include "aDiscovery.h"
#include "aTime.h"

namespace {

const char* const kHostAddress = "10.77.0.1";

struct Seen {
    std::vector<linkSpec> specs;
    bool stopAfterFirst = false;
};

bool sCollect(const linkSpec* spec, bool* countIt, void* ref)
{
    Seen* seen = static_cast<Seen*>(ref);
    seen->specs.push_back(*spec);
    *countIt = true;
    return !seen->stopAfterFirst;
}

class IpDiscoveryTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!net.ok())
            GTEST_SKIP() << "network namespaces are not available here";
        ASSERT_TRUE(net.AddAddress(std::string(kHostAddress) + "/24"));
    }
    // Starts responders and runs body inside the namespace.
    void Inside(const std::vector<SimDiscoveryConfig>& devices, const std::function<void()>& body)
    {
        bool started = true;
        ASSERT_TRUE(net.RunInside([&] {
            std::vector<std::unique_ptr<SimDiscoveryResponder>> responders;
            for (const SimDiscoveryConfig& config : devices) {
                responders.emplace_back(new SimDiscoveryResponder(config));
                started = started && responders.back()->Start();
            }
            if (started)
                body();
        }));
        ASSERT_TRUE(started);
    }
    NetNamespace net;
};

SimDiscoveryConfig sDevice(uint32_t serialNumber, uint8_t module = 2)
{
    SimDiscoveryConfig config;
    config.serialNumber = serialNumber;
    config.moduleAddress = module;
    config.idleTimeoutMs = 20000;
    return config;
}

TEST_F(IpDiscoveryTest, ReplyDecodesIntoASpecifier)
{
    // The reply bytes exactly as a device sends them.
    SimDiscoveryConfig device;
    device.rawReply = {0x00, 0x06, 0x40, 0x1F, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 0, 0x13, 0, 0, 0};
    Seen seen;
    uint32_t count = 0;
    Inside({device}, [&] { count = aDiscovery_EnumerateModules(TCPIP, sCollect, &seen); });
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(seen.specs.size(), 1u);
    const linkSpec& spec = seen.specs[0];
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.module, 6u);
    EXPECT_EQ(spec.router, 6u);
    EXPECT_EQ(spec.t.ip.ip_port, 8000u);
    EXPECT_EQ(spec.serial_number, 0xD4C3B2A1u);
    EXPECT_EQ(spec.router_serial_number, 0xD4C3B2A1u);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.t.ip.ip_address, inet_addr(kHostAddress));  // the sender, network byte order
}

TEST_F(IpDiscoveryTest, ShortRepliesAreSkippedOrLackAModel)
{
    SimDiscoveryConfig tooShort;
    tooShort.rawReply = {0x00, 0x04, 0x40, 0x1F, 0x01};
    SimDiscoveryConfig noModel;
    noModel.rawReply = {0x00, 0x04, 0x41, 0x1F, 0x44, 0x33, 0x22, 0x11, 0, 0};
    Seen seen;
    uint32_t count = 0;
    Inside({tooShort, noModel}, [&] { count = aDiscovery_EnumerateModules(TCPIP, sCollect, &seen); });
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(seen.specs.size(), 1u);
    EXPECT_EQ(seen.specs[0].serial_number, 0x11223344u);
    EXPECT_EQ(seen.specs[0].t.ip.ip_port, 8001u);
    EXPECT_EQ(seen.specs[0].model, 0xFFu);
}

TEST_F(IpDiscoveryTest, NoDeviceEndsAfterTwoQuietSeconds)
{
    Seen seen;
    uint32_t count = 99;
    uint64_t elapsed = 0;
    Inside({}, [&] {
        const uint64_t start = aTime_MonoMS();
        count = aDiscovery_EnumerateModules(TCPIP, sCollect, &seen);
        elapsed = aTime_MonoMS() - start;
    });
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(seen.specs.empty());
    EXPECT_GE(elapsed, 1900u);  // it did wait for replies
    EXPECT_LT(elapsed, 10000u);
}

TEST_F(IpDiscoveryTest, CallbackReturningFalseStops)
{
    Seen seen;
    seen.stopAfterFirst = true;
    uint32_t count = 0;
    Inside({sDevice(0x101), sDevice(0x102), sDevice(0x103)},
           [&] { count = aDiscovery_EnumerateModules(TCPIP, sCollect, &seen); });
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(seen.specs.size(), 1u);
}

TEST_F(IpDiscoveryTest, FindModuleAndFindFirstModule)
{
    linkSpec* found = nullptr;
    linkSpec* absent = reinterpret_cast<linkSpec*>(0x1);
    linkSpec* first = nullptr;
    Inside({sDevice(0, 8), sDevice(0xCAFE0001, 10), sDevice(0xCAFE0002, 12)}, [&] {
        found = aDiscovery_FindModule(TCPIP, 0xCAFE0002);
        absent = aDiscovery_FindModule(TCPIP, 0x0BADBEEF);
        first = aDiscovery_FindFirstModule(TCPIP);
    });
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->serial_number, 0xCAFE0002u);
    EXPECT_EQ(found->module, 12u);
    EXPECT_EQ(found->type, TCPIP);
    EXPECT_EQ(absent, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first->serial_number, 0u);  // a device without a serial number is passed over
    aLinkSpec_Destroy(&found);
    aLinkSpec_Destroy(&first);
    EXPECT_EQ(first, nullptr);
}

TEST_F(IpDiscoveryTest, SimulatedDeviceProgramIsFoundWithItsLinkPort)
{
    std::vector<std::string> argv = net.Prefix();
    for (const char* word : {UPDATER_BUILD_DIR "/sim/sxsim_device", "--tcp", "0", "--any-address", "--discover",
                             "--serial", "5EED0042", "--module", "8", "--model", "19", "--idle-timeout-s", "20"})
        argv.push_back(word);
    BackgroundProcess device(argv);
    std::string output;
    for (int i = 0; i < 200 && output.find('\n') == std::string::npos; i++) {
        aTime_MSSleep(10);
        output = device.Output();
    }
    unsigned port = 0;
    ASSERT_EQ(sscanf(output.c_str(), "tcp %u", &port), 1) << output;

    linkSpec* spec = nullptr;
    ASSERT_TRUE(net.RunInside([&] { spec = aDiscovery_FindModule(TCPIP, 0x5EED0042); }));
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->t.ip.ip_port, port);
    EXPECT_EQ(spec->module, 8u);
    EXPECT_EQ(spec->model, 19u);
    aLinkSpec_Destroy(&spec);
    device.Stop();
}

TEST(DiscoveryDispatch, OtherLinkTypesFindNothingAtOnce)
{
    // No traffic at all: these return before touching any transport.
    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, sCollect, &seen), 0u);
    EXPECT_EQ(aDiscovery_EnumerateModules(INVALID, sCollect, &seen), 0u);
    EXPECT_EQ(aDiscovery_FindModule(SERIAL, 1), nullptr);
    EXPECT_TRUE(seen.specs.empty());

    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_number, 0u);
    snprintf(spec->t.serial.port_name, sizeof(spec->t.serial.port_name), "/dev/ttyS9");
    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->t.serial.port_name, "/dev/ttyS9");
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);

    struct sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = inet_addr("10.1.2.3");
    EXPECT_EQ(SockAddrToUint32(reinterpret_cast<struct sockaddr*>(&in)), 0x0A010203u);
    in.sin_family = AF_INET6;
    EXPECT_EQ(SockAddrToUint32(reinterpret_cast<struct sockaddr*>(&in)), 0u);
    EXPECT_EQ(SockAddrToUint32(nullptr), 0u);
}

}  // namespace
