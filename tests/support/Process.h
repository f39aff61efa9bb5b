// Runs a program as a child process with a bounded time, capturing its output.
#ifndef TEST_PROCESS_H
#define TEST_PROCESS_H

#include <string>
#include <vector>

struct ProcessResult {
    int exit_code = -1;  // -1 when it did not exit normally (killed, timed out)
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up in PATH) with the arguments; kills it after timeout_ms.
// stdin is /dev/null. Extra environment entries ("NAME=value") are added to the child's.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeout_ms = 60000,
                         const std::vector<std::string>& env = {});

// A child started in the background; ended (SIGTERM, then SIGKILL) by Stop or the destructor.
class BackgroundProcess {
  public:
    explicit BackgroundProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    int pid() const { return pid_; }
    bool running();
    // Stops the process; returns its exit code (-1 when killed by a signal).
    int Stop(int grace_ms = 2000);
    // Waits for the process to exit by itself for at most timeout_ms; -2 on time-out.
    int Wait(int timeout_ms);
    // Output so far (read from its pipes).
    std::string Output();
    // The first complete output line that starts with prefix, waiting for it at most
    // timeout_ms (or until the process ends); empty when none came.
    std::string FirstLine(const std::string& prefix, int timeout_ms = 10000);

  private:
    int pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    int out_fd_ = -1;
    std::string out_;
    void Drain();
};

#endif
