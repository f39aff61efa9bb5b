// The machine-readable document of --json (every text survives a real JSON parser), and the
// pure decisions of an update of several devices: which devices it takes, and its summary.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DeviceBoard.h"
#include "IsolatedHome.h"
#include "JsonQuery.h"
#include "JsonReport.h"
#include "JsonWriter.h"
#include "UpdateRun.h"

TEST(JsonWriter, EveryTextParsesBackToWhatWasMeant)
{
    struct Case {
        std::string text;
        std::string parsed;  // ascii() of what the parser gives back
    } cases[] = {
        {"plain", "'plain'"},
        {"quote \" and back\\slash", "'quote \" and back\\\\slash'"},
        {"line\nbreak\ttab\rret", "'line\\nbreak\\ttab\\rret'"},
        {std::string("nul\0bell\x07" "del\x7f", 13), "'nul\\x00bell\\x07del\\x7f'"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "'caf\\xe9 \\u20ac \\U0001f600'"},
        // Not UTF-8: a Latin-1 file name, a cut sequence, an overlong slash, a surrogate.
        {"fw-\xe9t\xe9.bird", "'fw-\\ufffdt\\ufffd.bird'"},
        {"cut \xe2\x82", "'cut \\ufffd\\ufffd'"},
        {"\xc0\xaf", "'\\ufffd\\ufffd'"},
        {"\xed\xa0\x80", "'\\ufffd\\ufffd\\ufffd'"},
    };
    JsonValue texts = JsonValue::Array();
    std::string expected = "[";
    for (const Case& c : cases) {
        texts.Push(c.text);
        expected += std::string(expected.size() > 1 ? ", " : "") + c.parsed;
    }
    EXPECT_EQ(expected + "]", JsonQuery(texts.Write(), "d")) << texts.Write();

    JsonValue document = JsonValue::Object();
    document.Set("n", 4294967295u).Push(1);  // a member that changes kind becomes what is asked
    document.Set("big", (uint64_t)99528558123ull);
    document.Set("seconds", 1.5);
    document.Set("nan", 0.0 / 0.0);
    document.Set("none", JsonValue());
    JsonValue& list = document.Set("list", JsonValue::Array());
    list.Push(true);
    list.Push(JsonValue::Object()).Set("k", "v");
    document.Set("big", 7);  // replaces, keeps its place
    EXPECT_EQ(document.Write(),
              "{\"n\":[1],\"big\":7,\"seconds\":1.500,\"nan\":null,\"none\":null,\"list\":[true,{\"k\":\"v\"}]}");
    EXPECT_EQ("[[1], 7, 1.5, None, None, [True, {'k': 'v'}]]", JsonQuery(document.Write(), "list(d.values())"));
}

TEST(JsonReport, DocumentFieldsAndFailures)
{
    JsonReport report;
    report.SetCommand("discover");
    DeviceInfo usb;
    usb.spec.type = USB;
    usb.spec.serial_number = 0x40F5849A;
    usb.spec.model = 16;
    usb.spec.module = 2;
    usb.spec.router = 0x0A;
    usb.build = 99528558;
    usb.version_major = 2;
    usb.version_minor = 9;
    usb.version_patch = 28;
    DeviceInfo ip = usb;
    ip.spec.type = TCPIP;
    ip.spec.serial_number = 0xA;
    const uint8_t address[4] = {10, 77, 0, 2};
    memcpy(&ip.spec.t.ip.ip_address, address, 4);
    for (const DeviceInfo* device : {&usb, &ip}) {
        JsonValue fields = _json_discovered(*device);
        for (const char* key : {"model", "module", "router", "version", "build", "transport", "ip"})
            if (const JsonValue* value = fields.Find(key))
                report.Set(device->spec.serial_number, key, *value);
    }
    report.Fail(0xA, "first reason");
    report.Fail(0xA, "second reason");  // the first reason stays
    const std::string doc = report.Document(false);
    EXPECT_EQ("('discover', False, None, 2)", JsonQuery(doc, "(d['command'], d['ok'], d['error'], len(d['devices']))"));
    EXPECT_EQ("{'serial': '40F5849A', 'ok': True, 'error': None, 'model': 'Ginkgo', 'module': '02', 'router': '0A', "
              "'version': '2.9.28', 'build': 99528558, 'transport': 'USB'}",
              JsonQuery(doc, "d['devices'][0]"));
    EXPECT_EQ("('0000000A', False, 'first reason', 'TCPIP', '10.77.0.2')",
              JsonQuery(doc, "tuple(d['devices'][1][k] for k in ('serial','ok','error','transport','ip'))"));

    // Builds by version as the listing sorts them; a build named by no number keeps its text.
    const std::string builds =
        _json_builds({{"99528558", "2.9.28"}, {"100", "2.10.1"}, {"beta", "1.0.0"}}).Write();
    EXPECT_EQ(builds, "[{\"build\":\"beta\",\"version\":\"1.0.0\"},{\"build\":100,\"version\":\"2.10.1\"},"
                      "{\"build\":99528558,\"version\":\"2.9.28\"}]");
    Fingerprint fingerprint;
    fingerprint.words[0] = 0xDEADBEEF;
    fingerprint.words[3] = 7;
    EXPECT_EQ(_json_fingerprint(fingerprint).Write(), "[\"DEADBEEF\",\"00000000\",\"00000000\",\"00000007\"]");

    // A stored build that does not load has no version (null, not an empty text).
    StoredDevice stored;
    stored.settings["MODEL"] = "Ginkgo";
    stored.builds = {{102, "102.bird", "2.9.0"}, {101, "101.bird", ""}};
    EXPECT_EQ(_json_stored(stored).Write(),
              "{\"settings\":{\"MODEL\":\"Ginkgo\"},\"stored_builds\":[{\"build\":102,\"version\":\"2.9.0\"},"
              "{\"build\":101,\"version\":null}],\"history\":[]}");
}

TEST(UpdateRun, PlanSkipsOtherModelsAndKeepsNamedDevicesInOrder)
{
    auto device = [](uint32_t serial, uint8_t model, linkType type, aErr error) {
        DeviceInfo info;
        info.spec.serial_number = serial;
        info.spec.model = model;
        info.spec.type = type;
        info.version_major = 1;
        info.version_minor = 2;
        info.version_patch = 3;
        info.error = error;
        return info;
    };
    const std::vector<DeviceInfo> found = {device(0xA, 16, USB, aErrNone), device(0xB, 4, USB, aErrNone),
                                           device(0xC, 16, USB, aErrBusy), device(0xA, 16, TCPIP, aErrNone)};
    std::vector<int> asked;
    auto fits = [&asked](uint8_t model) {
        asked.push_back(model);
        return model == 16;
    };
    std::vector<DeviceOutcome> all = _plan_update({}, found, fits, "Ginkgo");
    ASSERT_EQ(3u, all.size());  // A found twice is one device
    EXPECT_FALSE(all[0].skipped);
    EXPECT_EQ("1.2.3", all[0].version_before);
    EXPECT_TRUE(all[1].skipped);
    EXPECT_NE(std::string::npos, all[1].reason.find("the file is for Ginkgo"));
    // A device discovery could not read still fits by the model its announcement gave.
    EXPECT_FALSE(all[2].skipped);
    EXPECT_EQ("-", all[2].version_before);

    asked.clear();
    std::vector<DeviceOutcome> named = _plan_update({0xD, 0xB}, found, fits, "");
    EXPECT_TRUE(asked.empty());  // named devices are never judged by model here
    ASSERT_EQ(2u, named.size());
    EXPECT_EQ(0xDu, named[0].serial);
    EXPECT_FALSE(named[0].found);  // tried anyway; its update says why it fails
    EXPECT_TRUE(named[1].found);
    EXPECT_FALSE(named[1].skipped);

    named[1].ok = true;
    named[1].seconds = 12.34;
    named[0].reason = "Failed to connect to module [0000000D]";
    const std::vector<std::string> table = _summary_table(named);
    ASSERT_EQ(3u, table.size());
    EXPECT_EQ("0000000D  -            -           -           failed        0.0  Failed to connect to module [0000000D]",
              table[1]);
    EXPECT_EQ(0u, table[2].find("0000000B  "));
    EXPECT_NE(std::string::npos, table[2].find(" ok           12.3"));
}

TEST(DeviceBoard, PlainLinesPerStepAndInPlaceRowsOnATerminal)
{
    TempDir dir;
    for (bool terminal : {false, true}) {
        const std::string path = dir.file(terminal ? "tty" : "plain");
        FILE* out = fopen(path.c_str(), "w+");
        DeviceBoard board(out, terminal, {0xA, 0xB});
        DeviceDisplay a(board, 0), b(board, 1);
        a.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader to device");
        b.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to prepare loader block %d of %d", 1, 1);
        a.update_progress(1.0, nullptr);
        board.Finish();
        fclose(out);
        EXPECT_EQ("Failed to prepare loader block 1 of 1", b.Reason());
        EXPECT_EQ("", a.Reason());
        const std::string text = ReadFileText(path);
        if (!terminal) {
            EXPECT_EQ("0000000A  Transferring loader to device\n0000000B  Failed to prepare loader block 1 of 1\n",
                      text);
        } else {
            // Each redraw goes back up over the two rows and rewrites them.
            EXPECT_NE(std::string::npos, text.find("\x1b[2A\r\x1b[2K0000000A  [========================================>] 100%\n"
                                                   "\r\x1b[2K0000000B  Failed to prepare loader block 1 of 1\n"));
        }
    }
}
