// A simulated device: the device side of the packet wire over any byte pipe (a TCP connection
// accepted on 127.0.0.1, the master of a pseudo-terminal that stands for a serial line, or a
// descriptor the caller hands over, such as one end of a socketpair).
//
// The wire side is handled here: packet framing, the sync request (answered with two
// zero-length packets from the module address), link open and close, heartbeats sent on a
// period and their answers checked, and fault switches (a framing-breaking byte, delayed
// replies, a dropped connection). Every other complete packet goes to the device logic, which
// answers through Send. Runs on its own thread; stops by itself after an idle time-out.
#ifndef SIM_SIMDEVICE_H
#define SIM_SIMDEVICE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimPacket {
    uint8_t address = 0;
    uint8_t length = 0;
    uint8_t data[28] = {};

    static SimPacket Make(uint8_t address, std::initializer_list<uint8_t> bytes);
    std::vector<uint8_t> Wire() const;
};

class SimDevice;

// What a device does with the packets sent to it. Called on the device's thread.
class SimDeviceLogic {
  public:
    virtual ~SimDeviceLogic() = default;
    // Every complete packet from the host other than link control, sync requests and
    // heartbeat answers.
    virtual void OnPacket(SimDevice& device, const SimPacket& packet) = 0;
    virtual void OnLinkOpen(SimDevice&) {}
    virtual void OnLinkClose(SimDevice&) {}
    virtual void OnConnect(SimDevice&) {}
    virtual void OnDisconnect(SimDevice&) {}
    // About every 10 ms, for logic with timed work of its own.
    virtual void OnTick(SimDevice&) {}
};

struct SimDeviceConfig {
    uint32_t serialNumber = 0x0000002A;
    uint8_t moduleAddress = 2;
    uint8_t model = 16;
    int heartbeatMs = 0;         // period of heartbeats while connected; 0 for none
    int idleTimeoutMs = 30000;   // stops by itself after this long without any traffic
    int replyDelayMs = 0;        // every packet to the host leaves this much later
};

struct SimDeviceStats {
    uint64_t connections = 0;
    uint64_t bytesReceived = 0;
    uint64_t syncRequests = 0;
    uint64_t linkOpens = 0;
    uint64_t linkCloses = 0;
    uint64_t heartbeatsSent = 0;
    uint64_t heartbeatAnswers = 0;    // answered with (x + 2) mod 256
    uint64_t badHeartbeatAnswers = 0; // answered with anything else
    uint64_t missedHeartbeats = 0;    // the next heartbeat was due before an answer came
    uint64_t packetsToLogic = 0;
    uint64_t skippedBytes = 0;        // bytes that could not start a packet
};

class SimDevice {
  public:
    // logic is not owned and may be null (a device that only keeps the link).
    SimDevice(const SimDeviceConfig& config, SimDeviceLogic* logic);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // One transport, chosen before Start.
    // On 127.0.0.1 (or on every address, for a device inside a private network namespace);
    // port 0 picks a free port.
    bool ListenTcp(uint16_t port = 0, bool anyAddress = false);
    bool OpenPty();                     // the host opens PtyPath() as its serial port
    bool AttachFd(int fd);              // takes ownership of a connected descriptor

    bool Start();
    void Stop();
    // False once stopped, also after the idle time-out.
    bool Running() const;

    uint16_t Port() const { return port_; }
    const std::string& PtyPath() const { return ptyPath_; }
    const SimDeviceConfig& Config() const { return config_; }

    // Queues a packet to the host (it leaves after the reply delay). Any thread.
    void Send(const SimPacket& packet);
    void SendBytes(const std::vector<uint8_t>& bytes);
    void SendHeartbeat();

    // Fault switches.
    void InjectFramingByte(uint8_t byte = 0x00);  // a byte where the host expects an address
    void SetReplyDelay(int ms);
    void DropConnection();
    // A restart: the connection drops and, on TCP, new ones are refused for ms (negative: for
    // good); then the device listens on its port again.
    void GoAway(int ms);
    bool Away() const;
    // Answers sync requests with these bytes instead of the proper reply (empty: proper).
    void SetSyncReply(const std::vector<uint8_t>& bytes);

    SimDeviceStats Stats() const;
    // Every byte received from the host (the first 1 MiB).
    std::vector<uint8_t> Received() const;
    void ClearReceived();
    // Waits until pred holds for the statistics, at most timeoutMs.
    bool WaitFor(const std::function<bool(const SimDeviceStats&)>& pred, int timeoutMs) const;

  private:
    struct Outgoing {
        int64_t dueMs;
        std::vector<uint8_t> bytes;
    };

    void Run();
    void Wake();
    void CloseConnection();
    void AcceptConnection();
    void ReadConnection();
    void FlushDue(int64_t now);
    void Feed(uint8_t byte);
    void HandlePacket(const SimPacket& packet);
    void Enqueue(std::vector<uint8_t> bytes, bool delayed);
    void Touch();

    SimDeviceConfig config_;
    SimDeviceLogic* logic_;
    int listenFd_ = -1;
    int connFd_ = -1;
    int ptySlaveKeep_ = -1;
    bool fixedConnection_ = false;  // a pty or an attached descriptor: no accepting
    int wakePipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::string ptyPath_;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool running_ = false;
    bool stopRequested_ = false;
    bool dropRequested_ = false;
    bool awayRequested_ = false;
    int awayMs_ = 0;
    bool away_ = false;
    int64_t awayUntilMs_ = 0;
    bool anyAddress_ = false;
    std::deque<Outgoing> outgoing_;
    SimDeviceStats stats_;
    std::vector<uint8_t> received_;
    std::vector<uint8_t> syncReply_;
    int64_t lastActivityMs_ = 0;

    // Device thread only.
    SimPacket assembling_;
    int assembled_ = 0;  // wire bytes of assembling_ taken so far
    uint64_t syncRun_ = 0;
    bool heartbeatOutstanding_ = false;
    uint8_t heartbeatValue_ = 0;
    uint8_t nextHeartbeat_ = 0;
    int64_t nextHeartbeatMs_ = 0;
};

#endif
