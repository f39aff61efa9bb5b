// The stream command (93) of a simulated module: the host asks it to stream the options a key
// selects (module, command, option, index; 0xFF in any but the module stands for every value)
// and to stop again, or asks whether it streams. A module streams a sample of every option it is
// asked for on a schedule and whenever the option's value changes. Samples carry a time stamp in
// microseconds since the logic was made.
//
// The module logic owns one of these, hands it the stream command's packets and tells it of its
// options (the sources) on every tick and of every change; subscriptions end when the host
// closes the link or the connection drops.
#ifndef SIM_SIMSTREAMLOGIC_H
#define SIM_SIMSTREAMLOGIC_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "SimDevice.h"

// One option a module can stream: its current value and its sample type (1 byte, 2 16-bit,
// 3 32-bit).
struct SimStreamSource {
    uint8_t module = 0;
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t index = 0;
    uint8_t type = 3;
    uint32_t value = 0;
};

class SimStreamLogic {
  public:
    static constexpr uint8_t kCommand = 93;
    static constexpr int kDefaultPeriodMs = 100;

    SimStreamLogic();

    // Time between scheduled samples; 0 streams on change only.
    void SetPeriod(int ms);
    // Answers a packet of the stream command sent to the module at address.
    void HandleCommand(SimDevice& device, uint8_t address, const SimPacket& packet);
    // The source's value changed: a sample goes out at once when it is streamed.
    void OnChange(SimDevice& device, const SimStreamSource& source);
    // When the period is due, a sample of every streamed source.
    void OnTick(SimDevice& device, const std::vector<SimStreamSource>& sources);
    // The host went away: streaming stops.
    void Clear();

    // For tests.
    bool Streaming(uint8_t address) const;
    uint64_t SamplesSent() const;
    // The stream requests received (the low 32 bits of the keys), enable and disable.
    std::vector<uint32_t> Subscriptions() const;

  private:
    bool Covered(const SimStreamSource& source) const;
    void SendSample(SimDevice& device, const SimStreamSource& source);
    int64_t NowMs() const;

    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point start_;
    int periodMs_ = kDefaultPeriodMs;
    int64_t nextDueMs_ = 0;
    std::vector<uint32_t> subscriptions_;
    uint64_t samplesSent_ = 0;
};

#endif
