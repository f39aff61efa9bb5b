// The serial download protocol over a serial port (raw, 115200 baud, 8N1). The report ID that
// leads every buffer has no meaning on a serial line and is not sent. Replies are 4 bytes of
// security state followed by 4 data bytes.
#ifndef UPDATER_SERIAL_SDPLOADER_H
#define UPDATER_SERIAL_SDPLOADER_H

#include <string>

#include "SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
  public:
    static const unsigned BAUD = 115200;
    // A write that cannot move a byte for this long gives up.
    static const unsigned WRITE_STALL_LIMIT_MS = 2000;
    // Once the port is set up, what the line still carries is dropped until it has been quiet
    // this long, for at most the settle limit.
    static const unsigned QUIET_MS = 10;
    static const unsigned SETTLE_LIMIT_MS = 1000;
    static const unsigned SECURITY_STATE_SIZE = 4;

    explicit Serial_SDPLoader(const std::string& port);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const std::vector<uint8_t>& data) override;
    // Returns as soon as the reply's bytes have arrived (taking any more that are there too).
    // The time-out counts from when everything written so far has left the line (its bytes'
    // time at 10 bits a byte). A time-out of 0 only takes what is already there.
    size_t readData(std::vector<uint8_t>& data, unsigned timeoutMs, unsigned dataBytes) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& data, unsigned offset, unsigned& value) override;

  private:
    PrivateSerial_SDPLoader* p;
};

#endif
