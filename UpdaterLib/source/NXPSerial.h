// Client of the ASCII in-system-programming protocol of the LPC17xx ROM bootloader over a serial
// port: synchronise, identify, unlock, prepare and erase sectors, move data to and from on-chip
// RAM as uuencoded lines with checksums, copy RAM to flash and start the new code.
//
// Nothing here sleeps a fixed time after sending. The client keeps track of when the bytes it
// has queued will have left the wire at the port's rate, and every reply is awaited until then
// plus a budget that fits what the chip does for that command (an erase takes about 100 ms a
// sector on a real part).
#ifndef UPDATER_NXPSERIAL_H
#define UPDATER_NXPSERIAL_H

#include <cstddef>
#include <cstdint>

#include "aStream.h"

struct NXPSector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
};

// Flash sectors of the LPC17xx, ended by a record with start 0xFFFFFFFF.
extern const NXPSector NXP_LPC17XX_sectors[];

class NXPSerialClass {
  public:
    static const int MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;
    static const int MAX_BYTES_PER_LINE = 45;
    static const int LINES_PER_CHECKSUM = 20;
    static const int MAX_READ_RETRY = 3;
    static const uint32_t WRITE_ADDRESS = 0x10001000;
    static const int TERMINATION_SIZE = 2;
    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    aErr Connect(const char* port, uint32_t baud);
    aErr Disconnect();
    bool IsConnected() const { return stream != nullptr; }

    aErr Sync();
    aErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
    aErr GetPartNumber(uint32_t* number);
    aErr GetDeviceID();
    aErr SetEcho(bool on);
    aErr SetBaudRate(uint32_t baud);
    aErr Unlock();
    aErr Prepare(uint32_t first, uint32_t last);
    aErr Erase(uint32_t first, uint32_t last);
    aErr Read(uint32_t address, uint32_t count, uint8_t* destination);
    aErr Write(uint32_t address, uint32_t count, const uint8_t* source);
    aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    aErr ExecuteFrom(uint32_t address);

    bool Echo() const { return echo; }
    uint32_t BaudRate() const { return baud_rate; }
    const char* PortName() const { return port_name; }
    const uint32_t* DeviceSerialNumber() const { return device_serial_number; }

    static const char* GetErrorText(const char* line);
    // The return code that ended the chip's reply to the last command (0 CMD_SUCCESS ... 19,
    // MAX_ERROR for a larger number), -1 when that command got no return code.
    int LastReturnCode() const { return last_return_code; }
    // Whether a byte can be part of an answer of the ISP protocol: lines of printable text (with
    // NULs that noise on a waking line leaves before them). Anything else, such as an i.MX ROM's
    // binary reply, means that no LPC ROM is on the line.
    static bool IsAnswerByte(uint8_t byte);
    static uint32_t SectorFromAddress(uint32_t address);
    static uint32_t CopyLength(uint32_t count);

    // Codecs of the data lines. uuencode writes 1 + 4 * ceil(count / 3) characters and a zero.
    static void uuencode(char* out, const uint8_t* data, size_t count);
    static size_t uudecode(uint8_t* out, size_t room, const char* line);
    static char uuchar(uint32_t value);
    static uint32_t sum(const uint8_t* data, size_t count);

    // Milliseconds to move bytes plus two characters of 9 bits at a rate.
    static uint32_t WAIT_TIME_MS(uint32_t bytes, uint32_t baud);

  private:
    aStream* stream;
    bool echo;
    uint32_t baud_rate;
    char port_name[2048];
    uint32_t device_serial_number[4];
    int last_return_code = -1;
    uint64_t wire_free_at;  // ms tick when everything queued so far has left the port

    aErr Send(const char* text, size_t length, bool readEcho);
    aErr SendCommand(const char* text, uint32_t replyBudgetMs = 0);
    aErr GetEcho(const char* text, size_t count, size_t* received);
    aErr GetLine(char* buffer, size_t size, size_t* length, uint32_t budgetMs);
    aErr Response(char* buffer, size_t size, size_t* length, const char* expected, size_t expectedLength);
    aErr GetErrorIndex(const char* line, size_t length);
    aErr CommandWithCode(const char* text, uint32_t budgetMs, const char* what);
    aErr ReadByte(uint8_t* byte, uint64_t deadline);
    uint64_t Deadline(uint32_t budgetMs) const;
};

#endif
