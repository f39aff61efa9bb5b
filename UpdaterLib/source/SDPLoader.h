// Serial download protocol of the i.MX RT1050 ROM: builds the 17-byte command blocks (report ID
// 1 and the 16-byte command), checks the processor's replies, downloads a loader into RAM and
// jumps to it. The bytes travel over an SDPLoader_Interface: USB HID or a serial port.
#ifndef UPDATER_SDPLOADER_H
#define UPDATER_SDPLOADER_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace IMX1050 {
const uint16_t VID = 0x1FC9;
const uint16_t PID = 0x0130;
const uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
const uint32_t CFG0_OFFSET = 0x410;
const uint32_t CFG1_OFFSET = 0x420;
const uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
}  // namespace IMX1050

// The byte transport under an SDPLoader.
class SDPLoader_Interface {
  public:
    virtual ~SDPLoader_Interface() {}
    virtual bool init() = 0;
    // Sends one buffer (report ID first); the count of bytes written, negative on failure.
    virtual ssize_t writeData(const std::vector<uint8_t>& data) = 0;
    // Appends what the processor sent; the count appended. Returns as soon as a whole reply is
    // there: the security state, followed by dataBytes of status or data (0: the state alone,
    // as before a jump). The time-out bounds the wait for it; 0 only takes what is there.
    virtual size_t readData(std::vector<uint8_t>& data, unsigned timeoutMs, unsigned dataBytes) = 0;
    // ORs the reply's 32-bit value (little-endian) into value; false for a malformed reply.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& data, unsigned offset, unsigned& value) = 0;
};

class SDPLoader {
  public:
    enum Result {
        SDP_OK = 0,
        SDP_NO_TRANSPORT = 1,
        SDP_NO_ANSWER = 2,
        SDP_UNEXPECTED_DATA = 3,
        SDP_BAD_COMPLETION = 4,
        SDP_NO_COMPLETION = 5,  // the data went out, and no status came back for it
        SDP_INIT_FAILED = 6,
        SDP_BAD_REPLY = 7,
    };
    static const size_t COMMAND_SIZE = 17;
    static const size_t MAX_DATA_PER_BUFFER = 1024;
    static const unsigned ALIVE_ATTEMPTS = 5;
    static const unsigned REPLY_TIMEOUT_MS = 100;
    static const unsigned WORD_SIZE = 4;  // a status word or a 4-byte register
    static const uint32_t ACK = 0xF0F0F0F0;
    static const uint32_t WRITE_COMPLETE = 0x88888888;

    SDPLoader();
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of the transport; false when it is null or one is already set.
    bool setLoader(SDPLoader_Interface* transport);
    int init();
    int writeLoader(const std::vector<uint8_t>& bytes, uint32_t address);
    void startLoader(uint32_t address);
    int getFingerprint(uint64_t& value);

    static std::vector<uint8_t> _createStatusPacket();
    static std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);
    static std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t size);
    static std::vector<uint8_t> _createJumpPacket(uint32_t address);
    static void _fillCommand(std::vector<uint8_t>& buffer);

  private:
    SDPLoader_Interface* transport;

    bool _isConnectionAlive();
    bool _expectAck(const std::vector<uint8_t>& reply);
    bool _expectSuccess(const std::vector<uint8_t>& reply);
    bool _expectResponse(const std::vector<uint8_t>& reply);
    int _readRegister(uint32_t address, uint32_t& value);
    static void _printBuffer(const std::vector<uint8_t>& buffer);
};

#endif
