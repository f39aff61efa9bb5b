// Stands a pseudo-terminal in for the family's kernel driver node: "/dev/strandix.%08X" is made
// a symbolic link to the terminal's slave, which is set up the way the driver's node behaves (a
// read returns at once, with 0 bytes when nothing is waiting). The link is removed again by the
// destructor (see also the node without poll support below). Typically the terminal is a SimDevice's (SimDevice::OpenPty).
#ifndef SIM_SIMUSBNODE_H
#define SIM_SIMUSBNODE_H

#include <cstdint>
#include <string>

class SimUsbNode {
  public:
    SimUsbNode(uint32_t serialNumber, const std::string& ptySlavePath);
    // A node of a driver without poll support and without a device: the link points at a
    // temporary regular file, which poll always reports readable while a read finds nothing
    // (written bytes are kept in the file). The file goes with the node.
    explicit SimUsbNode(uint32_t serialNumber);
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
    bool ownsTarget_ = false;
    bool ok_ = false;
};

#endif
