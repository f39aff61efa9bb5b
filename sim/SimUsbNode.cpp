#include "SimUsbNode.h"

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

SimUsbNode::SimUsbNode(uint32_t serialNumber, const std::string& ptySlavePath) : target_(ptySlavePath)
{
    char path[64];
    snprintf(path, sizeof(path), "/dev/strandix.%08X", serialNumber);
    path_ = path;

    int fd = open(ptySlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct termios t;
    bool raw = tcgetattr(fd, &t) == 0;
    if (raw) {
        cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        raw = tcsetattr(fd, TCSANOW, &t) == 0;
    }
    close(fd);
    if (!raw)
        return;
    // Never replace something that is not ours.
    if (access(path_.c_str(), F_OK) == 0)
        return;
    ok_ = symlink(ptySlavePath.c_str(), path_.c_str()) == 0;
}

SimUsbNode::SimUsbNode(uint32_t serialNumber)
{
    char path[64];
    snprintf(path, sizeof(path), "/dev/strandix.%08X", serialNumber);
    path_ = path;
    if (access(path_.c_str(), F_OK) == 0)
        return;
    char file[] = "/tmp/sxsim-node-XXXXXX";
    int fd = mkstemp(file);
    if (fd < 0)
        return;
    close(fd);
    target_ = file;
    ownsTarget_ = true;
    ok_ = symlink(target_.c_str(), path_.c_str()) == 0;
    if (!ok_)
        unlink(target_.c_str());
}

SimUsbNode::~SimUsbNode()
{
    Remove();
}

void SimUsbNode::Remove()
{
    if (!ok_)
        return;
    char target[PATH_MAX];
    ssize_t n = readlink(path_.c_str(), target, sizeof(target) - 1);
    if (n > 0) {
        target[n] = 0;
        if (target_ == target)
            unlink(path_.c_str());
    }
    if (ownsTarget_)
        unlink(target_.c_str());
    ownsTarget_ = false;
    ok_ = false;
}
