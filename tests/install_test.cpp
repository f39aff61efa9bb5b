// What gets installed beside the program: the man page and the bash completion. Both list the
// options by hand, so they are checked against the program's own option table; the completion
// is driven the way bash drives it (COMP_WORDS, COMP_CWORD) against a store in a private home.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "IsolatedHome.h"
#include "Parameters.h"
#include "Process.h"

namespace {

const std::string MAN_PAGE = std::string(UPDATER_SOURCE_DIR) + "/packaging/updater.1";
const std::string COMPLETION = std::string(UPDATER_SOURCE_DIR) + "/packaging/updater.bash";

// Accepted by the parser but meaning nothing to a user: neither documented nor completed.
const std::set<std::string> HIDDEN = {"-Y", "-Z", "-n"};

std::string RoffOption(const std::string& option)
{
    std::string escaped;
    for (char c : option) {
        if (c == '-')
            escaped += "\\";
        escaped += c;
    }
    return escaped;
}

// The completion's answers, one per line, for the words of a command line (the last is the word
// being completed).
std::vector<std::string> Complete(IsolatedHome& home, const std::vector<std::string>& words)
{
    std::string script = "source '" + COMPLETION + "'; COMP_WORDS=(";
    for (const std::string& w : words)
        script += " '" + w + "'";
    script += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
              "; _updater; printf '%s\\n' \"${COMPREPLY[@]}\"";
    ProcessResult r = home.RunCommand({"bash", "-c", script});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

TEST(InstallTest, EveryOptionIsDocumentedAndCompleted)
{
    // The words of the man page's bold lines (.B, .BI, .BR): where options are named.
    std::set<std::string> bold;
    std::istringstream man(ReadFileText(MAN_PAGE));
    for (std::string line; std::getline(man, line);) {
        if (line.rfind(".B", 0) != 0)
            continue;
        std::istringstream words(line);
        for (std::string w; words >> w;)
            bold.insert(w);
    }
    const std::string completion = ReadFileText(COMPLETION);
    const std::string key = "_updater_options=\"";
    const size_t start = completion.find(key) + key.size();
    const std::string options = " " + completion.substr(start, completion.find('"', start) - start) + " ";
    for (const std::string& option : _option_words()) {
        if (HIDDEN.count(option))
            continue;
        EXPECT_TRUE(bold.count(RoffOption(option))) << option << " has no entry in the man page";
        EXPECT_NE(options.find(" " + option + " "), std::string::npos) << option << " is not completed";
    }
}

TEST(InstallTest, ManPageRendersWithoutWarnings)
{
    ProcessResult r = RunProcess({"man", "--warnings", "-l", MAN_PAGE}, 60000, {"MANWIDTH=80", "MANPAGER=cat"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("EXIT STATUS"), std::string::npos);
}

TEST(InstallTest, CompletionParsesAndCompletesTransportsSerialsAndOptions)
{
    ProcessResult syntax = RunProcess({"bash", "-n", COMPLETION});
    ASSERT_EQ(syntax.exit_code, 0) << syntax.err;

    IsolatedHome home;
    const std::string store = home.store();
    ASSERT_EQ(RunProcess({"mkdir", "-p", store + "/40F5849A", store + "/00C0FFEE", store + "/notserial",
                          store + "/123456789"})
                  .exit_code,
              0);
    WriteFileText(store + "/12345678", "a file, not a device directory\n");

    struct Case {
        std::vector<std::string> words;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"updater", "-t", ""}, {"RECOVER", "TCPIP", "USB"}},
        {{"updater", "-t", "T"}, {"TCPIP"}},
        {{"updater", "-U", "-d", ""}, {"00C0FFEE", "40F5849A"}},
        {{"updater", "-d", "4"}, {"40F5849A"}},
        {{"updater", "-D", "-r", "0"}, {"00C0FFEE"}},
        {{"updater", "-d", "9"}, {}},
        {{"updater", "-OV"}, {"-OVERRIDE"}},
        {{"updater", "-b", "-"}, {}},
        {{"updater", "-s", "U"}, {"USB"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Complete(home, c.words), c.expected) << c.words[c.words.size() - 2] << " '" << c.words.back() << "'";
}
