// A simulated serial line: the master side of a pseudo-terminal, paced at a baud rate the way a
// real wire is (10 bits a byte, each direction on its own clock). The program under test opens
// the slave path as its serial port. Bytes it writes reach the simulator no faster than the
// line carries them (so its writes block once the terminal's buffer is full), and bytes the
// simulator sends are delivered at the line's rate.
#ifndef SIM_PTYLINE_H
#define SIM_PTYLINE_H

#include <cstddef>
#include <cstdint>
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

  private:
    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the line up while the program reopens the port
    std::string slavePath_;
    uint32_t baud_ = 115200;
    std::deque<uint8_t> pending_;  // read from the terminal, not yet due off the wire
    int64_t inClockUs_ = 0;        // when the last received byte finished arriving
    int64_t outClockUs_ = 0;       // when the last sent byte finishes leaving

    int64_t ByteUs() const;
};

#endif
