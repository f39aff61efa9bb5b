// Runs the updater with a private home directory, so that no test ever touches the real
// store (~/.vantorix of the password-database home).
//
// The program runs under "unshare --mount" with a tmpfs mounted over the home directory (the
// source and build trees stay visible when they live under it). Before the run the tmpfs is
// seeded from a host temporary directory, and after it the home's contents are copied back
// there, so a test can prepare a store and inspect what the program wrote.
#ifndef TEST_ISOLATED_HOME_H
#define TEST_ISOLATED_HOME_H

#include <string>
#include <vector>

#include "Process.h"

class IsolatedHome {
  public:
    IsolatedHome();
    ~IsolatedHome();
    IsolatedHome(const IsolatedHome&) = delete;
    IsolatedHome& operator=(const IsolatedHome&) = delete;

    // The host directory that stands for the home directory.
    const std::string& dir() const { return dir_; }
    // The store root inside it: dir()/.vantorix/updater.
    std::string store() const { return dir_ + "/.vantorix/updater"; }

    // Runs the updater binary with the arguments. With a namespace name, it runs inside that
    // network namespace (ip netns exec).
    ProcessResult Run(const std::vector<std::string>& args, const std::string& netns = "", int timeout_ms = 120000);
    // Runs any command the same way (argv[0] looked up in PATH), with extra environment entries
    // ("NAME=value") for every program of the run.
    ProcessResult RunCommand(const std::vector<std::string>& argv, const std::string& netns = "",
                             int timeout_ms = 120000, const std::vector<std::string>& env = {});

  private:
    std::string dir_;
};

// The password-database home directory of the current user.
std::string RealHomeDirectory();

// A temporary directory removed (with its contents) by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

#endif
