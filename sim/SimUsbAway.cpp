#include "SimUsbAway.h"

#include "SimUsbBus.h"

SimUsbAway::SimUsbAway(SimUsbDevice* device) : device_(device)
{
    thread_ = std::thread([this] { Run(); });
}

SimUsbAway::~SimUsbAway()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SimUsbAway::Leave(int ms, SimUsbDevice* comeBackAs)
{
    {
        // Under the lock, so a return that falls due meanwhile cannot come after this.
        std::lock_guard<std::mutex> lock(mutex_);
        if (device_ == nullptr)
            return;
        device_->SetPlugged(false);
        if (comeBackAs != nullptr)
            device_ = comeBackAs;
        departures_++;
        returnPending_ = ms >= 0;
        returnAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    }
    changed_.notify_all();
}

SimUsbDevice* SimUsbAway::Current()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

int SimUsbAway::Departures()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return departures_;
}

int SimUsbAway::Returns()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return returns_;
}

// Waits for a return that is due; sleeps only until the next one or a change, so it costs
// nothing while the device is on the bus and stops with the object.
void SimUsbAway::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (!returnPending_) {
            changed_.wait(lock);
            continue;
        }
        if (changed_.wait_until(lock, returnAt_) != std::cv_status::timeout && returnPending_ &&
            std::chrono::steady_clock::now() < returnAt_)
            continue;
        if (stop_ || !returnPending_)
            continue;
        returnPending_ = false;
        returns_++;
        device_->SetPlugged(true);
    }
}
