#include "NetNamespace.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

static std::atomic<int> sCounter{0};

// The namespace's own set-up and removal run ip without the preload libraries of the test
// program (a sanitizer runtime preloaded into a system tool reports its leaks and fails it).
static ProcessResult sIp(const std::vector<std::string>& argv)
{
    return RunProcess(argv, 10000, {"LD_PRELOAD="});
}

NetNamespace::NetNamespace()
{
    name_ = "updt" + std::to_string(getpid()) + "n" + std::to_string(sCounter++);
    ok_ = sIp({"ip", "netns", "add", name_}).exit_code == 0;
    if (!ok_)
        return;
    ok_ = sIp({"ip", "netns", "exec", name_, "ip", "link", "set", "lo", "up"}).exit_code == 0 &&
          sIp({"ip", "netns", "exec", name_, "ip", "link", "set", "lo", "multicast", "on"}).exit_code == 0 &&
          sIp({"ip", "netns", "exec", name_, "ip", "route", "add", "224.0.0.0/4", "dev", "lo"}).exit_code == 0;
}

NetNamespace::~NetNamespace()
{
    if (name_.empty())
        return;
    // End what still runs inside (processes that this test started there), then delete.
    ProcessResult pids = sIp({"ip", "netns", "pids", name_});
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
    sIp({"ip", "netns", "del", name_});
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
