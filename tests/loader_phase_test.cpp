// The loader-phase decisions: reading a record back, which records a found loader may belong
// to, and what is refused or shown.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "LoaderPhase.h"

namespace {

uint32_t sAddress(const char* text)
{
    uint32_t address = 0;
    EXPECT_TRUE(LoaderPhaseParseAddress(text, &address)) << text;
    return address;
}

LoaderPhase sPhase(unsigned int serial, linkType transport, const char* address, unsigned int build = 601)
{
    LoaderPhase phase;
    phase.serial_number = serial;
    phase.file = std::to_string(build) + ".bird";
    phase.stored = true;
    phase.build = build;
    phase.transport = transport;
    phase.address = address ? sAddress(address) : 0;
    return phase;
}

std::map<std::string, std::string> sSettings(const LoaderPhase& phase)
{
    std::map<std::string, std::string> settings;
    for (const auto& value : LoaderPhaseValues(phase))
        settings[value.first] = value.second;
    return settings;
}

}  // namespace

TEST(LoaderPhase, RecordsReadBackOrAreUnusable)
{
    LoaderPhase written = sPhase(0x1234ABCD, TCPIP, "10.77.0.1");
    written.failed = true;
    written.reason = "Failed to prepare firmware block 1 of 2";
    LoaderPhase read;
    ASSERT_TRUE(LoaderPhaseFromSettings(sSettings(written), 0x1234ABCD, &read));
    EXPECT_EQ(written.file, read.file);
    EXPECT_EQ(601u, read.build);
    EXPECT_TRUE(read.stored && read.failed);
    EXPECT_EQ(TCPIP, read.transport);
    EXPECT_EQ("10.77.0.1", LoaderPhaseAddressText(read.address));
    EXPECT_EQ(written.reason, read.reason);

    // Cleared, or missing what finishing needs: no record.
    std::map<std::string, std::string> cleared = sSettings(written);
    for (const auto& value : LoaderPhaseClearedValues())
        cleared[value.first] = value.second;
    struct Case {
        const char* name;
        const char* key;
        const char* value;
    } cases[] = {
        {"cleared", nullptr, nullptr},
        {"unknown state", "LOADER_PHASE", "maybe"},
        {"no file", "LOADER_PHASE_FILE", ""},
        {"stored without build", "LOADER_PHASE_BUILD", "12x"},
        {"unknown transport", "LOADER_PHASE_TRANSPORT", "SERIAL"},
        {"TCP/IP without address", "LOADER_PHASE_ADDRESS", "10.77.0"},
        {"router without module", "LOADER_PHASE_ROUTER", "00000777"},
        {"router not hexadecimal", "LOADER_PHASE_ROUTER", "0000077G"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::string> settings = c.key ? sSettings(written) : cleared;
        if (c.key)
            settings[c.key] = c.value;
        EXPECT_FALSE(LoaderPhaseFromSettings(settings, 0x1234ABCD, &read));
    }
    // Over USB no address is needed.
    EXPECT_TRUE(LoaderPhaseFromSettings(sSettings(sPhase(0xA5B7, USB, nullptr)), 0xA5B7, &read));
    EXPECT_EQ(0u, read.router_serial_number);

    // A module behind a router keeps the router and its module address.
    LoaderPhase routed = sPhase(0x1234ABCD, TCPIP, "10.77.0.1");
    routed.router_serial_number = 0x777;
    routed.module_address = 0x04;
    ASSERT_TRUE(LoaderPhaseFromSettings(sSettings(routed), 0x1234ABCD, &read));
    EXPECT_EQ(0x777u, read.router_serial_number);
    EXPECT_EQ(0x04, read.module_address);
}

TEST(LoaderPhase, ALoaderIsOnlyTakenForTheOneDeviceRecordedWhereItWasFound)
{
    const LoaderPhase mine = sPhase(0x1234ABCD, TCPIP, "10.77.0.1");
    const LoaderPhase sameAddress = sPhase(0x00C0FFEE, TCPIP, "10.77.0.1");
    const LoaderPhase elsewhere = sPhase(0x00BEEF00, TCPIP, "10.77.0.2");
    const LoaderPhase usb = sPhase(0x0000A5B7, USB, nullptr);

    EXPECT_EQ("", LoaderPhaseAmbiguity(mine, {mine, elsewhere, usb}));
    EXPECT_EQ("the loader found under DEADDEAD over TCPIP at 10.77.0.1 may be any of the devices with an "
              "unfinished update: 1234ABCD and 00C0FFEE; not guessing which",
              LoaderPhaseAmbiguity(mine, {mine, sameAddress, elsewhere}));
    // A module behind a router at that address is not what discovery finds there.
    LoaderPhase routed = sPhase(0x00AB0004, TCPIP, "10.77.0.1");
    routed.router_serial_number = 0x777;
    routed.module_address = 0x04;
    EXPECT_EQ("", LoaderPhaseAmbiguity(mine, {mine, routed}));
    // The loader search takes only a device reached the way the phase was recorded.
    linkSpec found{};
    found.type = TCPIP;
    found.t.ip.ip_address = sAddress("10.77.0.1");
    EXPECT_TRUE(LoaderPhaseReachedBy(mine, found));
    EXPECT_FALSE(LoaderPhaseReachedBy(elsewhere, found));
    EXPECT_FALSE(LoaderPhaseReachedBy(usb, found));
    EXPECT_FALSE(LoaderPhaseReachedBy(routed, found));
    found.type = USB;
    EXPECT_TRUE(LoaderPhaseReachedBy(usb, found));
    EXPECT_FALSE(LoaderPhaseReachedBy(mine, found));
    // Over USB any two recorded devices share the bus.
    EXPECT_NE("", LoaderPhaseAmbiguity(usb, {usb, sPhase(0x0000A5B8, USB, nullptr)}));

    // -D: the default serial number is explained by the one record made where it answers.
    std::vector<std::string> lines = LoaderExplanation(0xDEADDEAD, TCPIP, sAddress("10.77.0.1"), {mine, elsewhere});
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("DEADDEAD in loader over TCPIP at 10.77.0.1: the unfinished update of 1234ABCD (601.bird), "
              "interrupted",
              lines[0]);
    EXPECT_EQ("    finish it with updater -U -d 1234ABCD", lines[1]);
    lines = LoaderExplanation(0xDEADDEAD, TCPIP, sAddress("10.77.0.3"), {mine, elsewhere});
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("no unfinished update is recorded for it")) << lines[0];
    lines = LoaderExplanation(0xDEADDEAD, TCPIP, sAddress("10.77.0.1"), {mine, sameAddress});
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("unfinished updates of 1234ABCD and 00C0FFEE")) << lines[0];
    // Behind a router, by the module address recorded there; a direct loader at the router's
    // address is not taken for the module.
    lines = LoaderExplanation(0xDEADDEAD, TCPIP, sAddress("10.77.0.1"), {routed}, 0x777, 0x04);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("DEADDEAD in loader at module 04 behind router 00000777: the unfinished update of 00AB0004 "
              "(601.bird), interrupted",
              lines[0]);
    lines = LoaderExplanation(0xDEADDEAD, TCPIP, sAddress("10.77.0.1"), {routed}, 0x777, 0x06);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("no unfinished update is recorded for it")) << lines[0];
    lines = LoaderExplanation(0xDEADDEAD, TCPIP, sAddress("10.77.0.1"), {routed});
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("no unfinished update is recorded for it")) << lines[0];
    // A device answering under a recorded serial number is in its loader too; others are not.
    EXPECT_EQ(1u, LoaderExplanation(0x1234ABCD, TCPIP, sAddress("10.77.0.9"), {mine}).size());
    EXPECT_TRUE(LoaderExplanation(0x00ABCDEF, TCPIP, sAddress("10.77.0.1"), {mine}).empty());
}

TEST(LoaderPhase, RefusalsNameTheRecordedDevice)
{
    const LoaderPhase mine = sPhase(0x1234ABCD, USB, nullptr);
    EXPECT_EQ("", LoaderPhaseBuildProblem(mine, 601, false));
    EXPECT_EQ("", LoaderPhaseBuildProblem(mine, 602, true));
    EXPECT_NE(std::string::npos, LoaderPhaseBuildProblem(mine, 602, false).find("was with build 601"));

    EXPECT_NE(std::string::npos, LoaderSerialRefusal({}).find("no unfinished update is recorded"));
    EXPECT_NE(std::string::npos,
              LoaderSerialRefusal({mine}).find("the unfinished update is of 1234ABCD (601.bird): finish it with "
                                               "updater -U -d 1234ABCD"));
    EXPECT_NE(std::string::npos, LoaderSerialRefusal({mine, sPhase(0x00C0FFEE, USB, nullptr, 7)})
                                     .find("updates are of 1234ABCD (601.bird) and 00C0FFEE (7.bird)"));
}
