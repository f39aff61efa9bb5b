// Lines from an LPC ROM bootloader: decoding any data line stays inside the room given and a
// line made from decoded bytes decodes back to them; any reply line gets an error text; any
// serial download reply is either refused or read from inside the buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "NXPSerial.h"
#include "Serial_SDPLoader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.c_str();  // a line as received ends at its first zero byte
    uint8_t room = size > 0 ? data[0] % 46 : 0;
    // A guard area after the room catches a decoder that writes past it.
    std::vector<uint8_t> out(room + 16, 0xA5);
    size_t n = NXPSerialClass::uudecode(out.data(), room, line.c_str());
    if (n > room)
        __builtin_trap();
    for (size_t i = room; i < out.size(); i++)
        if (out[i] != 0xA5)
            __builtin_trap();
    if (n > 0 && n == (size_t)(((unsigned char)line[0] - 32) & 63)) {
        char encoded[80];
        NXPSerialClass::uuencode(encoded, out.data(), n);
        uint8_t back[45];
        if (NXPSerialClass::uudecode(back, sizeof(back), encoded) != n || memcmp(back, out.data(), n) != 0)
            __builtin_trap();
    }
    if (NXPSerialClass::GetErrorText(line.c_str()) == nullptr)
        __builtin_trap();

    Serial_SDPLoader serial("/nonexistent");
    std::vector<uint8_t> reply(data, data + size);
    unsigned value = 0;
    serial.getDataFromBuffer(reply, size > 0 ? data[0] % 20 : 0, value);
    return 0;
}
