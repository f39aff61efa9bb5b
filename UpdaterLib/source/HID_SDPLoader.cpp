#include "HID_SDPLoader.h"

#include <hidapi.h>

#include "Log.h"

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product)
    : handle(nullptr), vendor_id(vendor), product_id(product), hid_started(false)
{
}

HID_SDPLoader::~HID_SDPLoader()
{
    if (handle)
        hid_close(handle);
    if (hid_started)
        hid_exit();
}

bool HID_SDPLoader::init()
{
    if (handle)
        return true;
    if (hid_init() != 0)
        return false;
    hid_started = true;
    handle = hid_open(vendor_id, product_id, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", (void*)handle);
    return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& data)
{
    if (!handle || data.empty())
        return -1;
    return hid_write(handle, data.data(), data.size());
}

size_t HID_SDPLoader::readData(std::vector<uint8_t>& data, unsigned timeoutMs, unsigned dataBytes)
{
    if (!handle)
        return 0;
    size_t before = data.size();
    // Bounded: a reply is two reports; a device that keeps talking is cut off.
    for (int reports = 0; reports < 64; reports++) {
        unsigned char report[65];
        int n = hid_read_timeout(handle, report, sizeof(report), (int)timeoutMs);
        if (n <= 0)
            break;
        if (report[0] == 3 && n > 5)
            n = 5;
        data.insert(data.end(), report, report + n);
        // A reply is whole with the data after the security state (report 3), or with the
        // state alone when no data follows. Without a time-out, everything there is taken.
        if (timeoutMs > 0 && (report[0] == 4 || (report[0] == 3 && dataBytes == 0)))
            break;
    }
    return data.size() - before;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& data, unsigned offset, unsigned& value)
{
    if (data.size() != REPLY_SIZE || offset >= 16)
        return false;
    size_t at = 6 + offset;
    value |= (unsigned)data[at] | (unsigned)data[at + 1] << 8 | (unsigned)data[at + 2] << 16 |
             (unsigned)data[at + 3] << 24;
    return true;
}
