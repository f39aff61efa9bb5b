// The command line: option matching, parameter handling, and the program's texts and exit
// codes (run through an isolated home so the real store is never touched).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BirdWriter.h"
#include "IsolatedHome.h"
#include "JsonQuery.h"
#include "Log.h"
#include "OptionParser.h"
#include "Parameters.h"
#include "RecordingDisplay.h"
#include "Reports.h"
#include "aDirectory.h"
#include <cstring>
#include <unistd.h>

namespace {

struct Parsed {
    int result;
    Parameters params;
    RecordingDisplay display;
};

std::unique_ptr<Parsed> sParse(std::vector<const char*> words)
{
    words.insert(words.begin(), "/usr/local/bin/updater");
    auto p = std::make_unique<Parsed>();
    p->result = _get_params(p->display, (int)words.size(), words.data(), p->params);
    return p;
}

}  // namespace

TEST(OptionMatching, PrefixesExactWinsAndAmbiguity)
{
    const OptionEntry table[] = {{"-ab", 1, false}, {"-ac", 1, false}, {"-a", 2, true}, {"-long", 3, false}};
    const char* words[] = {"prog", "-a", "v", "-l", "-lo=x", "-ab", "plain", "-abc", "-ac"};
    OptionParser parser(table, 4, 9, words);
    std::string value;
    const OptionEntry* e = parser.Next(value);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->text, "-a");  // exact wins over the two longer entries
    EXPECT_EQ(value, "v");
    e = parser.Next(value);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->text, "-long");  // unique prefix; "-lo=x" gives a value to a flag: skipped
    e = parser.Next(value);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->text, "-ab");
    e = parser.Next(value);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->text, "-ac");  // "-abc" is no entry and no prefix of one
    EXPECT_EQ(parser.Next(value), nullptr);
    std::vector<std::string> expected = {"prog", "-a", "v", "-l", "-ab", "-ac", "plain"};
    EXPECT_EQ(parser.Reordered(), expected);

    const OptionEntry twins[] = {{"-abc", 1, false}, {"-abd", 1, false}};
    const char* ambiguous[] = {"prog", "-ab"};
    OptionParser p2(twins, 2, 2, ambiguous);
    EXPECT_EQ(p2.Next(value), nullptr);
}

TEST(Parameters, DefaultsAndCommands)
{
    auto p = sParse({"-OV", "-D", "-G", "-I", "-C", "-N", "-U", "-B"});
    EXPECT_EQ(p->result, 0);
    EXPECT_TRUE(p->params.override_model_checks);
    EXPECT_EQ(p->params.commands.Word(), CMD_DISCOVER | CMD_GET | CMD_INFO | CMD_CHECK | CMD_FINGERPRINT |
                                             CMD_UPDATE | CMD_BUILDS);
    EXPECT_EQ(p->params.app_name, "updater");
    EXPECT_EQ(p->params.transport, USB);
    EXPECT_FALSE(p->params.transport_given);
    EXPECT_EQ(p->params.baud_rate, 115200u);
    EXPECT_EQ(p->params.server_url, "http://" UPDATE_SERVER_HOST "/cgi/u");
    EXPECT_EQ(p->params.log_file, "Updater.log");
    EXPECT_EQ(p->params.log_mode, "a+");
    EXPECT_TRUE(p->params.extended_usage);

    auto y = sParse({"-Y", "-D"});
    EXPECT_EQ(y->result, 1);
    EXPECT_EQ(y->display.errors, std::vector<std::string>{"Unhandled command: [-Y]"});
    EXPECT_TRUE(y->params.commands.IsSet(CMD_DISCOVER));
}

TEST(Parameters, SerialNumbers)
{
    EXPECT_EQ(sParse({"-d", "0x40f5849a"})->params.serial_number, 0x40F5849Au);
    EXPECT_EQ(sParse({"-d", "40F5849A"})->params.serial_number, 0x40F5849Au);
    EXPECT_EQ(sParse({"-d=0X1a"})->params.serial_number, 0x1Au);
    EXPECT_EQ(sParse({"-r", "D272031D"})->params.router_serial_number, 0xD272031Du);

    auto bad = sParse({"-d", "0x40G"});
    EXPECT_EQ(bad->result, 1);
    EXPECT_EQ(bad->display.errors, std::vector<std::string>{"Invalid serial number obtained from argument [40G]"});
    auto zero = sParse({"-r", "0"});
    EXPECT_EQ(zero->result, 1);
    EXPECT_EQ(zero->display.errors,
              std::vector<std::string>{"Invalid router serial number obtained from argument [0]"});
    // Joined to its value, "-d40F5849A" is no option at all.
    auto joined = sParse({"-d40F5849A"});
    EXPECT_EQ(joined->result, 0);
    EXPECT_EQ(joined->params.serial_number, 0u);
}

TEST(Parameters, DeviceListsJsonAndTheirCombinations)
{
    // "--h" stays --help and "--j" is --json; -j and -V are options of their own.
    EXPECT_TRUE(sParse({"--h"})->params.help_requested);
    auto json = sParse({"--j", "-D", "-V", "-j", "3", "-w", "90"});
    EXPECT_EQ(json->result, 0);
    EXPECT_TRUE(json->params.json);
    EXPECT_TRUE(json->params.verify);
    EXPECT_EQ(json->params.jobs, 3u);
    EXPECT_EQ(json->params.wait_seconds, 90u);
    EXPECT_EQ(sParse({"-OV"})->params.override_model_checks, true);

    auto list = sParse({"-U", "-d", "0x40F5849A,40F5849B,40f5849a,C"});
    EXPECT_EQ(list->result, 0);
    EXPECT_EQ(list->params.serial_numbers, (std::vector<uint32_t>{0x40F5849A, 0x40F5849B, 0xC}));
    EXPECT_EQ(list->params.serial_number, 0x40F5849Au);

    struct Refused {
        std::vector<const char*> words;
        const char* error;
    } refused[] = {
        {{"-U", "-d", "A,,B"}, "Invalid serial number obtained from argument []"},
        {{"-U", "-d", "A,"}, "Invalid serial number obtained from argument []"},
        {{"-U", "-d", "ALL"}, "-d ALL only goes with -U -f <bird file>"},
        {{"-U", "-G", "-d", "ALL", "-f", "x.bird"}, "-d ALL only goes with -U -f <bird file>"},
        {{"-U", "-d", "ALL", "-f", "x.bird", "-OVERRIDE"},
         "-d ALL cannot be used with -OVERRIDE: every device must fit the file's model"},
        {{"-B", "-d", "A,B"}, "Several devices (-d with a list or ALL) only go with -U, -G and -I"},
        {{"-U", "-t", "RECOVER", "-d", "A,B"}, "Several devices (-d with a list or ALL) only go with -U, -G and -I"},
        {{"-U", "-d", "A,B", "-r", "C", "-m", "04"}, "Only one device can be updated through a router"},
        {{"-U", "-V", "-t", "RECOVER", "-s", "/dev/null", "-f", "x.bird"},
         "-V after a recovery from a file needs the device's serial number: give it with -d"},
        {{"-j", "0"}, "Invalid job count obtained from argument [0]: must be 1 to 1024"},
        {{"-w", "2x"}, "Invalid wait obtained from argument [2x]: must be 1 to 3600 seconds"},
        {{"-w", "99999"}, "Invalid wait obtained from argument [99999]: must be 1 to 3600 seconds"},
    };
    for (const Refused& r : refused) {
        auto p = sParse(r.words);
        EXPECT_EQ(p->result, 1) << r.error;
        EXPECT_EQ(p->display.errors, std::vector<std::string>{r.error});
    }
    auto all = sParse({"-U", "-d", "ALL", "-f", "x.bird", "-t", "TCPIP"});
    EXPECT_EQ(all->result, 0);
    EXPECT_TRUE(all->params.all_devices);
}

TEST(Parameters, ValuesThatLookLikeOptionsOrAreMissing)
{
    // "-d -D": -d has no value and is skipped; -D is read as an option itself.
    auto p = sParse({"-d", "-D"});
    EXPECT_EQ(p->result, 0);
    EXPECT_EQ(p->params.serial_number, 0u);
    EXPECT_TRUE(p->params.commands.IsSet(CMD_DISCOVER));
    EXPECT_TRUE(p->display.all.empty());
    // -d as the last word, and an unknown word: silently ignored.
    auto q = sParse({"-x", "stray", "-d"});
    EXPECT_EQ(q->result, 0);
    EXPECT_FALSE(q->params.commands.IsSet(CMD_ANY_COMMAND));
    EXPECT_TRUE(q->display.all.empty());
    // A value given to an option that takes none.
    EXPECT_FALSE(sParse({"-D=1"})->params.commands.IsSet(CMD_DISCOVER));
}

TEST(Parameters, BuildBaudTransport)
{
    EXPECT_EQ(sParse({"-b", "99528558"})->params.build, "99528558");
    EXPECT_EQ(sParse({"-b", "4294967295"})->params.build, "4294967295");
    EXPECT_EQ(sParse({"-o", "9600"})->params.baud_rate, 9600u);
    EXPECT_EQ(sParse({"-o", "230400"})->params.baud_rate, 230400u);

    EXPECT_EQ(sParse({"-t", "USB"})->params.transport, USB);
    EXPECT_EQ(sParse({"-t", "TCPX"})->params.transport, TCPIP);
    EXPECT_EQ(sParse({"-t", "TCPIP"})->params.transport, TCPIP);
    EXPECT_EQ(sParse({"-t", "RECOVER"})->params.transport, 255u);
    auto bad = sParse({"-t", "tcp"});
    EXPECT_EQ(bad->result, 1);
    EXPECT_TRUE(bad->params.transport_given);
    EXPECT_EQ(bad->params.transport, 0u);
    EXPECT_EQ(bad->display.errors,
              std::vector<std::string>{"Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER"});
}

// Values are taken whole or refused, never cut or wrapped into another value.
TEST(Parameters, InexactValuesAreRefused)
{
    const std::string rates = "\nMust be one of the following: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400";
    struct Case {
        std::vector<const char*> words;
        std::string error;
    } cases[] = {
        {{"-d", "123456789"}, "Invalid serial number obtained from argument [123456789]"},
        {{"-d", "0x0040F5849A"}, "Invalid serial number obtained from argument [0040F5849A]"},
        {{"-r", "D272031D1"}, "Invalid router serial number obtained from argument [D272031D1]"},
        {{"-b", "12ab"}, "Invalid build number obtained from argument [12ab]"},
        {{"-b", "99999999999"}, "Invalid build number obtained from argument [99999999999]"},
        {{"-b", "4294967296"}, "Invalid build number obtained from argument [4294967296]"},
        {{"-b", "-1"}, ""},  // a value that begins with "-" is no value: -b is skipped
        {{"-o", "9600x"}, "Invalid baud rate obtained from argument [9600x]" + rates},
        {{"-o", "9601"}, "Invalid baud rate obtained from argument [9601]" + rates},
        {{"-o", "4294977696"}, "Invalid baud rate obtained from argument [4294977696]" + rates},
    };
    for (const Case& c : cases) {
        auto p = sParse(c.words);
        const std::string word = c.words[0] + std::string(" ") + c.words[1];
        EXPECT_EQ(p->result, c.error.empty() ? 0 : 1) << word;
        EXPECT_EQ(p->display.errors,
                  c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error})
            << word;
        EXPECT_EQ(p->params.serial_number, 0u) << word;
        EXPECT_EQ(p->params.router_serial_number, 0u) << word;
        EXPECT_EQ(p->params.build, "") << word;
        EXPECT_EQ(p->params.baud_rate, 115200u) << word;
    }
    // Eight digits with leading zeros are one serial number.
    EXPECT_EQ(sParse({"-d", "0000000A"})->params.serial_number, 0xAu);
}

TEST(Parameters, StoredValues)
{
    TempDir dir;
    const std::string log = dir.file("x.log");
    // -e takes no value: the word after it is a plain word.
    auto p = sParse({"-f", "a.bird", "-s", "/dev/ttyS0", "-l", "msg", "-k", log.c_str(), "-u", "http://h/c", "-e", "1",
                     "-n", "-Z", "z"});
    Log::SetOutput(stderr);
    EXPECT_EQ(p->result, 0);
    EXPECT_EQ(p->params.bird_file, "a.bird");
    EXPECT_EQ(p->params.serial_port, "/dev/ttyS0");
    EXPECT_EQ(p->params.log_message, "msg");
    EXPECT_EQ(p->params.log_file, log);
    EXPECT_TRUE(p->params.log_file_given);
    EXPECT_EQ(0, access(log.c_str(), F_OK));  // opened (made) while parsing
    EXPECT_EQ(p->params.server_url, "http://h/c");
    EXPECT_TRUE(p->params.echo);
    EXPECT_TRUE(p->params.flag_n);
    EXPECT_TRUE(p->params.commands.IsSet(CMD_OPTION_Z));
}

TEST(Parameters, ModuleAddresses)
{
    const struct {
        const char* text;
        bool accepted;
        uint8_t address;
    } cases[] = {{"04", true, 0x04}, {"0xFC", true, 0xFC}, {"2", true, 0x02}, {"a0", true, 0xA0},
                 {"05", false, 0},   {"00", false, 0},     {"FE", false, 0}, {"100", false, 0},
                 {"004", false, 0},  {"", false, 0},       {"4g", false, 0}, {"-4", false, 0}};
    for (const auto& c : cases) {
        uint8_t address = 0x77;
        EXPECT_EQ(c.accepted, _module_address_arg(c.text, &address)) << c.text;
        EXPECT_EQ(c.accepted ? c.address : 0x77, address) << c.text;
    }
    auto p = sParse({"-m", "0x06"});
    EXPECT_EQ(p->result, 0);
    EXPECT_EQ(p->params.module_address, 0x06);
    auto odd = sParse({"-m", "07"});
    EXPECT_EQ(odd->result, 1);
    ASSERT_EQ(1u, odd->display.errors.size());
    EXPECT_EQ(0u, odd->display.errors[0].find("Invalid module address obtained from argument [07]"));
}

TEST(Parameters, AnUnopenableLogFileIsAnError)
{
    auto p = sParse({"-D", "-k", "/nonexistent-directory/updater.log"});
    EXPECT_EQ(p->result, 1);
    ASSERT_EQ(1u, p->display.errors.size());
    EXPECT_EQ(0u, p->display.errors[0].find("Could not open log file [/nonexistent-directory/updater.log]"));
}

TEST(Parameters, HelpStopsParsingWithEarlierOptionsApplied)
{
    auto p = sParse({"-d", "zz", "-d", "12", "--h", "-d", "qq", "-Y"});
    EXPECT_EQ(p->result, 0);
    EXPECT_TRUE(p->params.help_requested);
    EXPECT_TRUE(p->params.commands.IsSet(CMD_HELP));
    EXPECT_EQ(p->params.serial_number, 0x12u);
    EXPECT_EQ(p->display.errors, std::vector<std::string>{"Invalid serial number obtained from argument [zz]"});
}

TEST(Parameters, DebugMask)
{
    Log::DeactivatePackage(0xFFFFFFFF);
    auto bad = sParse({"-X", "12abc"});
    EXPECT_EQ(bad->result, 0);
    EXPECT_EQ(bad->display.errors,
              std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [abc]"});
    EXPECT_EQ(Log::ActivePackages(), 0u);
    auto hex = sParse({"-X", "0x1FFFF"});
    EXPECT_EQ(hex->params.debug_mask, 0x1FFFFu);
    EXPECT_EQ(Log::ActivePackages(), 0x1FFFFu);
    Log::DeactivatePackage(0xFFFFFFFF);
    EXPECT_EQ(sParse({"-X", "32"})->params.debug_mask, 32u);
    EXPECT_EQ(Log::ActivePackages(), 32u);
    Log::DeactivatePackage(0xFFFFFFFF);
}

TEST(Parameters, DigitHelpers)
{
    const char* end = nullptr;
    const char* text = "1aF";
    EXPECT_EQ(_get_hex_arg(text, &end), 0x1AFu);
    EXPECT_EQ(end, text + 3);
    end = nullptr;
    EXPECT_EQ(_get_hex_arg("1g", &end), 0u);
    EXPECT_EQ(end, nullptr);
    EXPECT_EQ(_get_hex_arg("", &end), 0u);
    EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
    EXPECT_EQ(_get_hex_arg("123456789", &end), 0x23456789u);  // truncated to 32 bits
    EXPECT_EQ(_get_int_arg("4294967297", &end), 1u);
    EXPECT_EQ(_get_int_arg("12a", &end), 0u);
}

TEST(Reports, BuildListSortsByVersionBytes)
{
    RecordingDisplay display;
    _display_builds(display, {{"100", "2.9.0"}, {"200", "2.10.0"}, {"300", "averyveryverylongversion"}}, 0xAB);
    std::vector<std::string> expected = {"Build List for device [000000AB]:\n", "Build          \tVersion        ",
                                         "200            \t2.10.0         ", "100            \t2.9.0          ",
                                         "300            \taveryveryverylo"};
    EXPECT_EQ(display.info, expected);
    RecordingDisplay empty;
    _display_builds(empty, {}, 0x1234);
    EXPECT_EQ(empty.info, std::vector<std::string>{"No builds found for device [00001234]"});
}

TEST(Reports, DeviceListLines)
{
    DeviceInfo usb;
    usb.spec.type = USB;
    usb.spec.serial_number = 0x40F5849A;
    usb.spec.module = 6;
    usb.spec.router = 6;
    usb.spec.model = 17;
    usb.version_major = 2;
    usb.version_minor = 9;
    usb.version_patch = 29;
    usb.build = 12345;
    DeviceInfo busy = usb;
    busy.error = aErrBusy;
    RecordingDisplay display;
    _display_device_list(display, {usb, busy}, USB);
    std::vector<std::string> expected = {
        "Discovered Devices: (USB)", "    Device    Module   Router  Model          Firmware Version (Build)",
        "    40F5849A  06       06      Hemlock        2.9.29 (12345)",
        "    40F5849A  [Error (5): Is someone else connected to this device?]"};
    EXPECT_EQ(display.info, expected);

    DeviceInfo ip = usb;
    ip.spec.type = TCPIP;
    ip.error = aErrBusy;  // TCP/IP devices always show their line, then the error
    const uint8_t address[4] = {10, 0, 0, 7};
    memcpy(&ip.spec.t.ip.ip_address, address, 4);
    RecordingDisplay tcp;
    _display_device_list(tcp, {ip}, TCPIP);
    ASSERT_GE(tcp.info.size(), 2u);
    EXPECT_EQ(tcp.info[tcp.info.size() - 2], "    40F5849A  06       06      Hemlock        2.9.29 (12345) [10.0.0.7]");
    EXPECT_EQ(tcp.info.back(), "    40F5849A  [Error (5): aErrBusy]");
    RecordingDisplay none;
    _display_device_list(none, {}, 7);
    EXPECT_EQ(none.info, (std::vector<std::string>{"Discovered Devices: (Unknown)", "    No devices found."}));
}

// ---- the program itself ----

namespace {
const std::string VERSION_LINES = "Updater (Version: 1.1 Apr 26 2023)\nCopyright (c) 2023 Vantorix. All rights reserved.\n";
const std::string BLOCK1 =
    "\nApplication Usage:\nUpdater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Strandix Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n";
}  // namespace

TEST(Program, NoArgumentsShowsVersionAndShortUsage)
{
    IsolatedHome home;
    ProcessResult r = home.Run({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, VERSION_LINES + "[Strandix Release: 2.9.29]\n");
    EXPECT_EQ(r.err, BLOCK1);
    // Unknown words only: the same.
    ProcessResult x = home.Run({"-x", "word", "-d"});
    EXPECT_EQ(x.exit_code, 0);
    EXPECT_EQ(x.err, BLOCK1);
}

TEST(Program, HelpShowsAllBlocks)
{
    IsolatedHome home;
    ProcessResult r = home.Run({"-D", "--help", "-d", "zz"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, VERSION_LINES + "[Strandix Release: 2.9.29]\n");
    EXPECT_EQ(r.err.rfind(BLOCK1 + "  Parameters to commands:\n", 0), 0u);
    EXPECT_NE(r.err.find("     -u <host:port>           - The hostname and port of the update server\n" +
                         std::string(32, ' ') + "Default: " UPDATE_SERVER_HOST ":80\n  Extended Commands:\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("                                DEBUG_iMXSerial     0x10000000\n"), std::string::npos);
    const std::string tail = "-D -r D272031D                 Discover all devices connected to the I2C Strandix "
                             "network\n                               of the given routing device D272031D.\n\n";
    // The module-network lines come after every existing block.
    const std::string added = " Parameters for updates on a Strandix network:\n     -m <module address>      - ";
    EXPECT_NE(r.err.find(tail + added), std::string::npos);
    EXPECT_EQ(r.err.find("-m <module address>"), r.err.rfind("-m <module address>"));
    EXPECT_EQ(r.err.substr(r.err.size() - 3), ".\n\n");
    EXPECT_EQ(r.err.find("Invalid serial"), std::string::npos);  // words after help are not read
}

TEST(Program, OptionErrorsExitOne)
{
    IsolatedHome home;
    ProcessResult r = home.Run({"-D", "-d", "xyz"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, VERSION_LINES);
    EXPECT_EQ(r.err, "Invalid serial number obtained from argument [xyz]\n" + BLOCK1);
}

TEST(Program, CommandPreconditions)
{
    IsolatedHome home;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-U"}, "Must specify the specific device to be updated\n"},
        {{"-N"}, "Must specify the serial port used for connecting\n"},
        {{"-B"}, "Error must supply a serial number for the List Builds command\n" + BLOCK1},
        {{"-I"}, "-I must either use DISCOVER command [\"-D\"] or specify a specific device [\"-d\" option]\n"},
        {{"-I", "-d", "0BADF00D"}, "No stored information for device 0BADF00D\n"},
        {{"-C"}, "-C must specify the BIRD file to check with -f\n"},
    };
    for (const Case& c : cases) {
        ProcessResult r = home.Run(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args[0];
        EXPECT_EQ(r.out, "Updater (Version: 1.1 Apr 26 2023)\n") << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST(Program, CommandsWithoutActionEnsureTheStore)
{
    IsolatedHome home;
    // (-I and -C without their device or file are refused: see CommandPreconditions.)
    ProcessResult r = home.Run({"-Z", "1", "-X", "0x10000", "stray"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Updater (Version: 1.1 Apr 26 2023)\n");
    EXPECT_EQ(r.err, std::string("\nApplication parameters:[updater]\n\t[") + UPDATER_BINARY +
                         "]\n\t[-Z]\n\t[1]\n\t[-X]\n\t[0x10000]\n\t[stray]\n");
    ProcessResult z = home.Run({"-Z", "1"});
    EXPECT_EQ(z.exit_code, 0);
    EXPECT_EQ(z.err, "");
    EXPECT_TRUE(aDirectory_Exists(home.store().c_str()));
}

TEST(Program, UnusableStoreDirectory)
{
    IsolatedHome home;
    WriteFileText(home.dir() + "/.vantorix", "a file where the store directory should be");
    ProcessResult r = home.Run({"-I"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Could not find updater directory at " + RealHomeDirectory() + "/.vantorix/updater\n");
}

TEST(Program, CheckBirdFiles)
{
    IsolatedHome home;
    const std::string dir = home.dir();
    auto write = [&](const std::string& name, uint32_t serialAt, const std::string& model) {
        BirdWriter writer;
        writer.AddInformation(501, "3.1.4", 0x1234ABCD, model);
        writer.AddSerialNumberLocations(serialAt, 0);
        writer.AddRecoveryStart(0x20000400);
        writer.AddLoader(0x20000000, BirdWriter::MakeCode(700, 1));
        writer.AddFirmware(0x4000, BirdWriter::MakeCode(3000, 2));
        std::vector<uint8_t> bytes = writer.Build();
        WriteFileText(dir + "/" + name, std::string(bytes.begin(), bytes.end()));
        return std::string(bytes.begin(), bytes.end());
    };
    const std::string good = write("good.bird", 0x4010, "Ginkgo");
    write("range.bird", 0x9000, "Ginkgo");
    write("unknown.bird", 0x4010, "Nosuchmodel");
    WriteFileText(dir + "/truncated.bird", good.substr(0, good.size() / 2));
    std::string corrupt = good;
    for (size_t i = 20; i < 40; i++)
        corrupt[i] = (char)~corrupt[i];
    WriteFileText(dir + "/corrupt.bird", corrupt);
    ASSERT_EQ(0, RunProcess({"mkdir", "-p", home.store() + "/1234ABCD", home.store() + "/00C0FFEE"}).exit_code);
    WriteFileText(home.store() + "/1234ABCD/.settings", "MODEL=Ginkgo\n");
    WriteFileText(home.store() + "/00C0FFEE/.settings", "MODEL=Maple\n");

    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string out, err;  // a part of each; empty: nothing
        // With --json: the file's fields, the problems and the device entries (empty: not run).
        std::string json;
    } cases[] = {
        {{"good.bird"}, 0, "    Serial-number patch:  yes, at 0x00004010\n    Recovery loader start: yes, at 0x20000400\n"
                           "    Loader blocks:         1\n        1: type 0, address 0x20000000, 704 bytes\n", "",
         "(True, (501, '3.1.4', 'Ginkgo', '1234ABCD', '0x00004010', '0x20000400', 1, 1), [], [])"},
        {{"good.bird", "-d", "1234ABCD"}, 0, "would be accepted for an update of device 1234ABCD\n", "",
         "(True, (501, '3.1.4', 'Ginkgo', '1234ABCD', '0x00004010', '0x20000400', 1, 1), [], [('1234ABCD', True)])"},
        {{"good.bird", "-d", "00C0FFEE"}, 1, "    Model:                Ginkgo\n",
         "Problem: the file is for model [Ginkgo], device 00C0FFEE is recorded as [Maple]\n",
         "(False, (501, '3.1.4', 'Ginkgo', '1234ABCD', '0x00004010', '0x20000400', 1, 1), "
         "['the file is for model [Ginkgo], device 00C0FFEE is recorded as [Maple]'], [('00C0FFEE', False)])"},
        {{"good.bird", "-d", "0BADF00D"}, 1, "", "Problem: the store has no model recorded for device 0BADF00D", ""},
        {{"range.bird"}, 1, "    Build:                501\n",
         "Problem: the serial-number location 00009000 lies outside every firmware block\n", ""},
        {{"unknown.bird"}, 1, "", "Problem: ", ""},
        {{"truncated.bird"}, 1, "", "Problem: the file is truncated",
         "(False, None, ['the file is truncated: its compressed content ends early'], [])"},
        {{"corrupt.bird"}, 1, "", "would be refused for an update: ", ""},
        {{"missing.bird"}, 1, "", "would be refused for an update: ", ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-C", "-f", dir + "/" + c.args[0]};
        args.insert(args.end(), c.args.begin() + 1, c.args.end());
        ProcessResult r = home.Run(args);
        EXPECT_EQ(c.exit_code, r.exit_code) << c.args[0] << r.out << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.out)) << c.args[0] << "\n" << r.out;
        if (c.err.empty()) {
            EXPECT_EQ("", r.err) << c.args[0];
        } else {
            EXPECT_NE(std::string::npos, r.err.find(c.err)) << c.args[0] << "\n" << r.err;
        }
        // A file that does not load shows no fields.
        if (c.args[0] == "truncated.bird" || c.args[0] == "missing.bird") {
            EXPECT_EQ(std::string::npos, r.out.find("BIRD file:")) << r.out;
        }
        if (c.json.empty())
            continue;
        args.push_back("--json");
        ProcessResult json = home.Run(args);
        EXPECT_EQ(c.exit_code, json.exit_code) << c.args[0];
        EXPECT_EQ(c.json, JsonQuery(json.out, "(d['ok'], d['file'] and tuple(d['file'][k] for k in ('build', 'version', "
                                              "'model', 'serial', 'serial_patch', 'recovery_start', 'loader_blocks', "
                                              "'firmware_blocks')), d['problems'], [(x['serial'], x['ok']) for x in "
                                              "d['devices']])"))
            << c.args[0] << " " << json.out;
    }
}
