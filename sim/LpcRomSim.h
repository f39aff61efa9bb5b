// A simulated LPC17xx ROM bootloader on a pseudo-terminal: autobaud sync ("?"), the ASCII ISP
// commands with echo, the flash sector table, on-chip RAM used for staging, a 512 KiB flash that
// can only be programmed after a prepare and only clears bits, a slow erase, and a fault switch
// that answers RESEND to checksums. Runs on its own thread; stops by itself after an idle time.
#ifndef SIM_LPCROMSIM_H
#define SIM_LPCROMSIM_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PtyLine.h"

struct LpcRomConfig {
    uint32_t baud = 115200;       // line rate; 0 takes the rate the program sets on its port
    uint32_t eraseMsPerSector = 100;
    uint32_t resendFaults = 0;    // the first N data checksums received are answered RESEND
    uint32_t serial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    uint32_t partId = 0x26013F37;  // LPC1768
    uint8_t bootMajor = 4, bootMinor = 1;
    uint32_t idleTimeoutMs = 60000;  // stops after this long without a byte
    bool staleRam = true;            // RAM starts with leftover bytes, not zeros
    uint32_t prepareFault = 0;       // non-zero: every prepare is answered with this code
    uint32_t eraseFault = 0;         // non-zero: every erase is answered with this code, nothing erased
    uint32_t copyFault = 0;          // non-zero: every copy to flash is answered with this code
    uint32_t replyDelayMs = 0;       // every answer (not the echo) goes out this long after the
                                     // command's last byte arrived on the wire
    // Called on the simulator's thread when GO starts the flashed firmware, with the flash: the
    // firmware's device can be brought up here.
    std::function<void(const std::vector<uint8_t>& flash)> onExecute;
};

class LpcRomSim {
  public:
    static const uint32_t FLASH_SIZE = 0x80000;
    static const uint32_t SECTORS = 30;

    explicit LpcRomSim(const LpcRomConfig& config = LpcRomConfig());
    ~LpcRomSim();
    LpcRomSim(const LpcRomSim&) = delete;
    LpcRomSim& operator=(const LpcRomSim&) = delete;

    bool Start();
    void Stop();
    bool running() const { return running_; }
    std::string Port() const { return line_.SlavePath(); }

    // Snapshot of the flash (512 KiB).
    std::vector<uint8_t> Flash();
    bool Executed(uint32_t* address = nullptr);
    // The same, waiting up to timeoutMs for it: a jump gets no answer, so a client may be done
    // while its command is still on the line.
    bool AwaitExecuted(uint32_t* address = nullptr, int timeoutMs = 2000);
    // Every command line received after sync, in order ("W 268439552 4096", ...).
    std::vector<std::string> Commands();
    // Sectors erased so far, in order of erasing.
    std::vector<uint32_t> Erased();
    uint32_t ResendsSent();
    // Data lines and checksum lines of the last write to RAM (every attempt counted).
    void LastWriteShape(uint32_t* lines, uint32_t* checksums);
    // Copy of on-chip RAM at 0x10000000 (32 KiB).
    std::vector<uint8_t> Ram();
    // Bytes on the wire so far (both directions), and how many of them were echoes.
    uint64_t WireBytes() const { return line_.BytesReceived() + line_.BytesSent(); }
    uint64_t EchoedBytes() const { return echoed_; }

    static uint32_t SectorStart(uint32_t sector);
    static uint32_t SectorSize(uint32_t sector);

  private:
    enum State { UNSYNCED, AWAIT_SYNC_WORD, AWAIT_CRYSTAL, COMMANDS, RUNNING };

    LpcRomConfig config_;
    PtyLine line_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;

    State state_ = UNSYNCED;
    bool echo_ = true;
    bool unlocked_ = false;
    bool prepared_[SECTORS] = {};
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;  // 0x10000000, 32 KiB
    std::vector<uint8_t> ahbRam_;  // 0x2007C000, 32 KiB
    bool executed_ = false;
    uint32_t executeAddress_ = 0;
    std::vector<std::string> commands_;
    std::vector<uint32_t> erased_;
    uint32_t resendFaultsLeft_ = 0;
    uint32_t resends_ = 0;
    uint32_t writeLines_ = 0, writeChecksums_ = 0;
    std::atomic<uint64_t> echoed_{0};

    void Run();
    bool ReadLine(std::string& line, int timeoutMs);
    void Reply(const std::string& text);
    void Code(int code) { Reply(std::to_string(code) + "\r\n"); }
    void Command(const std::string& line);
    uint8_t* Memory(uint32_t address, uint32_t count, bool writable);
    void DoWrite(uint32_t address, uint32_t count);
    void DoRead(uint32_t address, uint32_t count);
};

#endif
