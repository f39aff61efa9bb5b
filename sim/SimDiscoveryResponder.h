// The network side of a simulated device: answers the TCP/IP discovery request (a 16-byte
// datagram to the multicast group 232.2.2.2, port 9888) with the device's 16-byte reply, sent
// to port 9889 of the requesting host. Runs on its own thread; stops by itself after an idle
// time-out. Multicast leaves the machine, so run it only inside a network namespace made for
// the purpose (tests: NetNamespace::RunInside).
#ifndef SIM_SIMDISCOVERYRESPONDER_H
#define SIM_SIMDISCOVERYRESPONDER_H

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

struct SimDiscoveryConfig {
    uint8_t moduleAddress = 2;
    uint16_t port = 8000;  // the device's TCP link server
    uint32_t serialNumber = 0x0000002A;
    uint8_t model = 16;
    // When not empty, sent as the reply instead of the encoded fields (malformed replies).
    std::vector<uint8_t> rawReply;
    int idleTimeoutMs = 30000;
};

class SimDiscoveryResponder {
  public:
    explicit SimDiscoveryResponder(const SimDiscoveryConfig& config);
    ~SimDiscoveryResponder();
    SimDiscoveryResponder(const SimDiscoveryResponder&) = delete;
    SimDiscoveryResponder& operator=(const SimDiscoveryResponder&) = delete;

    // Binds and joins the group in the calling thread's network namespace, then answers on a
    // thread of its own. False when the socket cannot be set up.
    bool Start();
    void Stop();
    bool Running() const { return running_; }
    uint32_t Requests() const { return requests_; }
    // A restarted device answers under another serial number (0: the configured one), and not
    // at all while it is away.
    void SetSerialNumber(uint32_t serial) { serialNumber_ = serial; }
    void SetSilent(bool silent) { silent_ = silent; }

    // The 16-byte reply for the configuration.
    static std::vector<uint8_t> EncodeReply(const SimDiscoveryConfig& config);

  private:
    void Run();

    SimDiscoveryConfig config_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> requests_{0};
    std::atomic<uint32_t> serialNumber_{0};
    std::atomic<bool> silent_{false};
};

#endif
