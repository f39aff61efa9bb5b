// A simulated serial line: the master side of a pseudo-terminal, paced at a baud rate the way a
// real wire is (10 bits a byte, each direction on its own clock). The program under test opens
// the slave path as its serial port. Bytes it writes reach the simulator no faster than the
// line carries them (so its writes block once the terminal's buffer is full), and bytes the
// simulator sends are delivered at the line's rate.
//
// With SXSIM_LINE_LOG naming a file, every line appends its traffic there with times: one
// record per burst the program wrote (as the terminal hands it over) and per send, as
// "<ms since open> <port> <in|out> <count> <first bytes in hex>", to see where a client's
// time between the bytes goes.
#ifndef SIM_PTYLINE_H
#define SIM_PTYLINE_H

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

class PtyLine {
  public:
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens the pseudo-terminal; false (with errno set) when that fails.
    bool Open();
    void Close();
    bool ok() const { return master_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }

    // The line rate in baud; 0 delivers at once (no pacing).
    void SetBaud(uint32_t baud) { baud_ = baud; }
    uint32_t Baud() const { return baud_; }
    // The input rate the other side last set on its end of the line (0 when unknown).
    uint32_t HostBaud() const;

    // Waits up to timeoutMs for the next byte off the wire; false when none came.
    bool ReadByte(uint8_t& byte, int timeoutMs);
    // Sends bytes, returning once the last one has been delivered at the line rate.
    void Write(const uint8_t* data, size_t count);
    void Write(const std::string& text) { Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }
    // Throws away everything received but not yet read.
    void DiscardInput();
    // When the last byte read finished arriving on the wire (monotonic microseconds). A
    // simulator that fell behind has read it later than that.
    uint64_t LastArrivalUs() const { return (uint64_t)(inClockNs_ / 1000); }
    // Bytes taken off the wire and bytes sent since the line was opened (any thread may ask).
    uint64_t BytesReceived() const { return received_; }
    uint64_t BytesSent() const { return sent_; }

  private:
    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the line up while the program reopens the port
    std::string slavePath_;
    uint32_t baud_ = 115200;
    std::deque<uint8_t> pending_;  // read from the terminal, not yet due off the wire
    int64_t inClockNs_ = 0;        // when the last received byte finished arriving
    int64_t outClockNs_ = 0;       // when the last sent byte finishes leaving
    std::atomic<uint64_t> received_{0}, sent_{0};
    FILE* log_ = nullptr;
    int64_t openedNs_ = 0;

    void Log(const char* direction, const uint8_t* data, size_t count);

    int64_t ByteNs() const;
};

#endif
