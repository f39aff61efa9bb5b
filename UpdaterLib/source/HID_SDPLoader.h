// The serial download protocol over the ROM's USB HID device (hidapi, hidraw back end).
// Replies arrive as report 3 (4 bytes of security state) and report 4 (64 data bytes).
#ifndef UPDATER_HID_SDPLOADER_H
#define UPDATER_HID_SDPLOADER_H

#include "SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
  public:
    static const size_t REPLY_SIZE = 70;

    HID_SDPLoader(uint16_t vendor, uint16_t product);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const std::vector<uint8_t>& data) override;
    size_t readData(std::vector<uint8_t>& data, unsigned timeoutMs, unsigned dataBytes) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& data, unsigned offset, unsigned& value) override;

  private:
    hid_device_* handle;
    uint16_t vendor_id;
    uint16_t product_id;
    bool hid_started;
};

#endif
