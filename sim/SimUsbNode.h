// Stands a pseudo-terminal in for the family's kernel driver node: "/dev/strandix.%08X" is made
// a symbolic link to the terminal's slave, which is set up the way the driver's node behaves (a
// read returns at once, with 0 bytes when nothing is waiting). The link is removed again by the
// destructor. Typically the terminal is a SimDevice's (SimDevice::OpenPty).
#ifndef SIM_SIMUSBNODE_H
#define SIM_SIMUSBNODE_H

#include <cstdint>
#include <string>

class SimUsbNode {
  public:
    SimUsbNode(uint32_t serialNumber, const std::string& ptySlavePath);
    ~SimUsbNode();
    SimUsbNode(const SimUsbNode&) = delete;
    SimUsbNode& operator=(const SimUsbNode&) = delete;

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }
    // Removes the node now (a device that went away).
    void Remove();

  private:
    std::string path_;
    std::string target_;
    bool ok_ = false;
};

#endif
