// A simulated i.MX RT1050 ROM in serial download mode. ImxSdpDevice is the processor: it takes
// 16-byte commands and file data, keeps its RAM, fuses and status, and jumps to a loaded
// program. ImxRomSim puts it on a paced pseudo-terminal (the UART form of the protocol: the
// association handshake, replies of 4 bytes of security state and then the data). Whoever
// wants the started program to show up somewhere (a simulated USB device) sets the jump hook.
#ifndef SIM_IMXROMSIM_H
#define SIM_IMXROMSIM_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PtyLine.h"

struct ImxSdpReply {
    bool any = false;              // false: the processor sends nothing
    std::vector<uint8_t> payload;  // after the security state: a status word or data
};

struct ImxRomFaults {
    bool silent = false;           // never answers
    bool chatterDuringData = false;  // sends a status word in the middle of a file's data
    bool badCompletion = false;    // a finished file write reports failure
    int quietAfterReplies = -1;    // >= 0: after this many replies the processor hangs, answering nothing
};

// What the started program prints on the UART right after the jump (as a loader greeting on
// its console would); empty for a program that stays quiet.
#define IMX_LOADER_BANNER "loader up\r\n"


class ImxSdpDevice {
  public:
    static const uint32_t HAB_OPEN = 0x56787856;
    static const uint32_t ACK = 0xF0F0F0F0;
    static const uint32_t WRITE_COMPLETE = 0x88888888;
    static const uint32_t REGISTER_COMPLETE = 0x128A8A12;
    static const uint32_t STATUS_BAD_ADDRESS = 0x33333333;

    struct Write {
        uint32_t address;
        std::vector<uint8_t> data;
    };

    ImxSdpDevice();
    // Fault switches; may be changed while the simulator runs.
    void SetFaults(const ImxRomFaults& faults);
    ImxRomFaults Faults();
    uint32_t fuseCfg0 = 0x6A1B2C3D, fuseCfg1 = 0x0E0F1011;
    // Called once, on the protocol's thread, after the jump (entry address as given).
    std::function<void(uint32_t)> onJump;

    // One 16-byte command.
    ImxSdpReply Command(const uint8_t* command);
    // File or DCD data; count may be any part of what the command announced.
    ImxSdpReply Data(const uint8_t* data, size_t count, bool* chatter);
    size_t DataExpected();
    bool Jumped(uint32_t* address = nullptr);
    // When the jump command was taken (valid once Jumped()).
    std::chrono::steady_clock::time_point JumpTime();
    std::vector<Write> Writes();
    std::vector<uint16_t> Commands();
    // Copy of memory; empty when the range is not mapped.
    std::vector<uint8_t> Memory(uint32_t address, uint32_t count);

  private:
    std::mutex mutex_;
    ImxRomFaults faults;
    std::map<uint32_t, std::vector<uint8_t>> regions_;  // base -> bytes
    uint32_t status_ = ACK;
    size_t dataLeft_ = 0;
    uint16_t dataCommand_ = 0;
    std::vector<uint8_t> incoming_;
    uint32_t dataAddress_ = 0;
    bool jumped_ = false;
    uint32_t jumpAddress_ = 0;
    std::chrono::steady_clock::time_point jumpTime_;
    bool chattered_ = false;
    std::vector<Write> writes_;
    std::vector<uint16_t> commands_;

    int replies_ = 0;

    uint8_t* Map(uint32_t address, uint32_t count);
    ImxSdpReply Answer(const uint8_t* command);
    bool Hung() const { return faults.quietAfterReplies >= 0 && replies_ >= faults.quietAfterReplies; }
    ImxSdpReply Counted(const ImxSdpReply& reply);
};

class ImxRomSim {
  public:
    explicit ImxRomSim(uint32_t baud = 115200, uint32_t idleTimeoutMs = 60000);
    ~ImxRomSim();
    ImxRomSim(const ImxRomSim&) = delete;
    ImxRomSim& operator=(const ImxRomSim&) = delete;

    ImxSdpDevice& device() { return device_; }
    std::string banner = IMX_LOADER_BANNER;
    bool Start();
    void Stop();
    bool running() const { return running_; }
    std::string Port() const { return line_.SlavePath(); }
    // Bytes on the wire so far, both directions.
    uint64_t WireBytes() const { return line_.BytesReceived() + line_.BytesSent(); }
    // Every reply (not the association answer) goes out this long after the command's last
    // byte arrived on the wire, as a slow processor's would; set before Start.
    uint32_t replyDelayMs = 0;

  private:
    ImxSdpDevice device_;
    PtyLine line_;
    uint32_t idleTimeoutMs_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};

    void Run();
    void Send(const ImxSdpReply& reply);
};

#endif
