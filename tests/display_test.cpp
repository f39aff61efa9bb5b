// The console display on a real pseudo-terminal and on a file, and the debug log.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "CLI_Display.h"
#include "IsolatedHome.h"
#include "Log.h"
#include "RecordingDisplay.h"

namespace {

// Runs body in a child whose standard output is a pseudo-terminal (raw, so nothing is
// translated) and returns everything the child wrote to it.
std::string sOnTerminal(const std::function<void(CLI_Display&)>& body)
{
    int master = -1;
    struct termios raw;
    cfmakeraw(&raw);
    pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
    if (pid == 0) {
        CLI_Display display;
        body(display);
        _exit(0);
    }
    std::string out;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(master, buffer, sizeof(buffer));
        if (n <= 0)
            break;  // EIO once the child has gone
        out.append(buffer, (size_t)n);
    }
    waitpid(pid, nullptr, 0);
    close(master);
    return out;
}

// Runs body in a child whose standard output and error go to files; returns {out, err}.
std::pair<std::string, std::string> sOnFiles(const std::function<void(CLI_Display&)>& body)
{
    TempDir dir;
    pid_t pid = fork();
    if (pid == 0) {
        freopen(dir.file("out").c_str(), "w", stdout);
        freopen(dir.file("err").c_str(), "w", stderr);
        CLI_Display display;
        body(display);
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return {ReadFileText(dir.file("out")), ReadFileText(dir.file("err"))};
}

}  // namespace

TEST(ProgressBar, ShapesOnATerminal)
{
    EXPECT_EQ(sOnTerminal([](CLI_Display& d) { d.update_progress(0.0, nullptr); }),
              "\r[>" + std::string(68, ' ') + "] (  0% ) ");
    EXPECT_EQ(sOnTerminal([](CLI_Display& d) { d.update_progress(0.5, nullptr); }),
              "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) ");
    // A 4-character label leaves a bar of 61 places.
    EXPECT_EQ(sOnTerminal([](CLI_Display& d) { d.update_progress(0.0, "Data"); }),
              "\r (Data) [>" + std::string(60, ' ') + "] (  0% ) ");
    EXPECT_EQ(sOnTerminal([](CLI_Display& d) { d.display_progress(false); }), "\r" + std::string(88, ' ') + "\r");
    EXPECT_EQ(sOnTerminal([](CLI_Display& d) { d.display_progress(true); }), "");
}

TEST(ProgressBar, OverlongLabelStillDrawsASaneLine)
{
    const std::string label(100, 'L');
    std::string out = sOnTerminal([&](CLI_Display& d) {
        d.update_progress(0.0, label.c_str());
        d.update_progress(1.0, label.c_str());
    });
    EXPECT_EQ(out, "\r (" + label + ") [>] (  0% ) \r (" + label + ") [=>] (100% ) ");
}

TEST(Spinner, NineUpdatesWrapToTheFirstFrame)
{
    std::string out = sOnTerminal([](CLI_Display& d) {
        for (int i = 0; i < 9; i++)
            d.update_spinner(true, i == 0 ? "Downloading" : nullptr);
        d.update_spinner(false, nullptr);
    });
    std::string expected = "\r (Downloading) .      \r";
    const char* frames[] = {"..", "...", "....", ".....", "....", "...", "..", "."};
    for (const char* f : frames)
        expected += std::string("\r ") + f + "      \r";
    expected += "\r" + std::string(88, ' ') + "\r";
    EXPECT_EQ(out, expected);
}

TEST(Console, FilesGetMessagesButNoProgress)
{
    auto [out, err] = sOnFiles([](CLI_Display& d) {
        d.update_progress(0.3, "x");
        d.update_spinner(true, nullptr);
        d.update_spinner(false, nullptr);
        d.display_progress(false);
        d.message(UpdaterDisplayInterface::LEVEL_INFO, "info %d", 1);
        d.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "two");
        d.message((UpdaterDisplayInterface::Level)7, "other level");
        d.mute_messages(true);
        d.message(UpdaterDisplayInterface::LEVEL_ERROR, "muted");
    });
    EXPECT_EQ(out, "info 1\nother level\n");
    EXPECT_EQ(err, "error two\n");
}

TEST(Console, OverlongMessageIsCut)
{
    RecordingDisplay display;
    const std::string big(5000, 'm');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", big.c_str());
    ASSERT_EQ(display.info.size(), 1u);
    EXPECT_EQ(display.info[0], std::string(2047, 'm'));
}

// Text from a server, a file or a device never reaches the terminal raw.
TEST(Console, ControlCharactersAreShownEscaped)
{
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "build %s", "1.0\x1b[2J\x1b]0;owned\x07\r\x7f");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "two\tlines\nkept");
    ASSERT_EQ(display.info.size(), 1u);
    EXPECT_EQ(display.info[0], "build 1.0\\x1B[2J\\x1B]0;owned\\x07\\x0D\\x7F");
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0], "two\tlines\nkept");
}

TEST(DebugLog, PackagesMasksAndCutting)
{
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::SetOutput(nullptr);
    Log::log(0, "unset\n");  // nowhere to go yet
    Log::SetOutput(out);
    Log::log(0, "always\n");
    Log::log(0x20, "server before\n");
    Log::ActivatePackage(0x20);
    Log::log(0x20, "server after %d\n", 1);
    Log::log(0x01, "updater\n");
    Log::DeactivatePackage(0x20);
    Log::log(0x20, "server off\n");
    Log::log(0, "%s", std::string(3000, 'z').c_str());
    Log::SetOutput(stderr);

    rewind(out);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), out)) > 0)
        text.append(buffer, n);
    fclose(out);
    EXPECT_EQ(text, "always\nserver after 1\n" + std::string(2047, 'z'));
}
