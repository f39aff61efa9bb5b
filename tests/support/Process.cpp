#include "Process.h"

#include "aTime.h"
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

pid_t sSpawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd, int errFd)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        execvp(args[0], args.data());
        dprintf(2, "exec %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    return pid;
}

void sAppend(int fd, std::string& to, bool& open)
{
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0)
        to.append(buffer, (size_t)n);
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeout_ms, const std::vector<std::string>& env)
{
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return result;
    pid_t pid = sSpawn(argv, env, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    bool outOpen = true, errOpen = true;
    const long deadline = (long)aTime_MonoMS() + timeout_ms;
    while ((outOpen || errOpen) && (long)aTime_MonoMS() < deadline) {
        struct pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        int left = (int)(deadline - (long)aTime_MonoMS());
        if (poll(fds, 2, left > 0 ? left : 0) <= 0)
            continue;
        if (fds[0].revents)
            sAppend(outPipe[0], result.out, outOpen);
        if (fds[1].revents)
            sAppend(errPipe[0], result.err, errOpen);
    }
    int status = 0;
    if (outOpen || errOpen) {
        result.timed_out = true;
        kill(-pid, SIGKILL);
    }
    waitpid(pid, &status, 0);
    close(outPipe[0]);
    close(errPipe[0]);
    if (!result.timed_out && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    int p[2];
    if (pipe(p) != 0)
        return;
    pid_ = sSpawn(argv, env, p[1], p[1]);
    close(p[1]);
    out_fd_ = p[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
}

BackgroundProcess::~BackgroundProcess()
{
    Stop(1000);
    if (out_fd_ >= 0)
        close(out_fd_);
}

void BackgroundProcess::Drain()
{
    if (out_fd_ < 0)
        return;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(out_fd_, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        out_.append(buffer, (size_t)n);
    }
}

std::string BackgroundProcess::Output()
{
    Drain();
    return out_;
}

std::string BackgroundProcess::FirstLine(const std::string& prefix, int timeout_ms)
{
    const uint64_t deadline = aTime_MonoMS() + (uint64_t)timeout_ms;
    for (;;) {
        std::string out = Output();
        size_t at = out.find(prefix);
        size_t end = at == std::string::npos ? std::string::npos : out.find('\n', at);
        if (end != std::string::npos)
            return out.substr(at, end - at);
        if (!running() || aTime_MonoMS() >= deadline)
            return std::string();
        usleep(20000);
    }
}

bool BackgroundProcess::running()
{
    if (pid_ <= 0 || reaped_)
        return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

int BackgroundProcess::Wait(int timeout_ms)
{
    const long deadline = (long)aTime_MonoMS() + timeout_ms;
    while (running()) {
        if ((long)aTime_MonoMS() >= deadline)
            return -2;
        Drain();
        usleep(10000);
    }
    Drain();
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int BackgroundProcess::Stop(int grace_ms)
{
    if (pid_ <= 0)
        return -1;
    if (running()) {
        kill(-pid_, SIGTERM);
        if (Wait(grace_ms) == -2) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            reaped_ = true;
        }
    }
    Drain();
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}
