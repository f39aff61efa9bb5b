#include "NetNamespace.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

static std::atomic<int> sCounter{0};

NetNamespace::NetNamespace()
{
    name_ = "updt" + std::to_string(getpid()) + "n" + std::to_string(sCounter++);
    ok_ = RunProcess({"ip", "netns", "add", name_}, 10000).exit_code == 0;
    if (!ok_)
        return;
    ok_ = Run({"ip", "link", "set", "lo", "up"}).exit_code == 0 &&
          Run({"ip", "link", "set", "lo", "multicast", "on"}).exit_code == 0 &&
          Run({"ip", "route", "add", "224.0.0.0/4", "dev", "lo"}).exit_code == 0;
}

NetNamespace::~NetNamespace()
{
    if (name_.empty())
        return;
    // End what still runs inside (processes that this test started there), then delete.
    ProcessResult pids = RunProcess({"ip", "netns", "pids", name_}, 10000);
    size_t start = 0;
    while (start < pids.out.size()) {
        size_t end = pids.out.find('\n', start);
        if (end == std::string::npos)
            end = pids.out.size();
        std::string pid = pids.out.substr(start, end - start);
        if (!pid.empty())
            kill(std::stoi(pid), SIGKILL);
        start = end + 1;
    }
    RunProcess({"ip", "netns", "del", name_}, 10000);
}

std::vector<std::string> NetNamespace::Prefix() const
{
    return {"ip", "netns", "exec", name_};
}

ProcessResult NetNamespace::Run(const std::vector<std::string>& argv, int timeout_ms) const
{
    std::vector<std::string> command = Prefix();
    command.insert(command.end(), argv.begin(), argv.end());
    return RunProcess(command, timeout_ms);
}

bool NetNamespace::AddAddress(const std::string& cidr) const
{
    return ok_ && Run({"ip", "addr", "add", cidr, "dev", "lo"}).exit_code == 0;
}

bool NetNamespace::RunInside(const std::function<void()>& fn) const
{
    if (!ok_)
        return false;
    bool entered = false;
    std::thread worker([&] {
        int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        // Only this thread moves: the rest of the process stays in its own namespace.
        entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (entered)
            fn();
    });
    worker.join();
    return entered;
}
