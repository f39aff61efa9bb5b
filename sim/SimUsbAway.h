// A device on the simulated USB bus that leaves the bus for a while, as a device does when it
// restarts: Leave unplugs it at once and, after the given time, plugs it back in. Meant as the
// away hook of a simulated device's upgrade entity, so that its LOAD and REBOOT take it off the
// bus rather than only off a TCP port. A device may come back as another USB device (a loader
// that answers under another serial number is a new device to the host): Leave names it.
#ifndef SIM_SIMUSBAWAY_H
#define SIM_SIMUSBAWAY_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class SimUsbDevice;

class SimUsbAway {
  public:
    explicit SimUsbAway(SimUsbDevice* device);
    // Ends a pending return at once (the device then stays off the bus).
    ~SimUsbAway();
    SimUsbAway(const SimUsbAway&) = delete;
    SimUsbAway& operator=(const SimUsbAway&) = delete;

    // Unplugs the device now on the bus; when ms >= 0 it comes back after ms (a later Leave
    // replaces a pending return), as comeBackAs when given (another device on the same bus,
    // normally behind the same backend, which is then the one on the bus). Negative: away for good.
    void Leave(int ms, SimUsbDevice* comeBackAs = nullptr);
    // The device on the bus, or the one that comes back next.
    SimUsbDevice* Current();
    int Departures();
    int Returns();

  private:
    void Run();

    SimUsbDevice* device_;  // the one on the bus, or to come back
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    bool stop_ = false;
    bool returnPending_ = false;
    std::chrono::steady_clock::time_point returnAt_;
    int departures_ = 0;
    int returns_ = 0;
};

#endif
