#include "RomEcho.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "SDPLoader.h"

namespace {

std::atomic<UpdaterDisplayInterface*> sDisplay{nullptr};

const char* sMark(bool sent)
{
    return sent ? "sent:     " : "received: ";
}

// Forwards to the wrapped transport and echoes what goes through it: each command (report 1)
// in hex; the data reports of a loader download (report 2) are announced by their size only.
class EchoingTransport : public SDPLoader_Interface {
  public:
    explicit EchoingTransport(SDPLoader_Interface* inner) : inner(inner) {}

    bool init() override { return inner->init(); }

    ssize_t writeData(const std::vector<uint8_t>& data) override
    {
        if (!data.empty() && data[0] == 2) {
            char text[64];
            int n = snprintf(text, sizeof(text), "[data report, %zu bytes]", data.size() - 1);
            RomEcho::Text(true, text, (size_t)n);
        } else if (!data.empty()) {
            // The command itself, without the report number in front of it (no serial line
            // carries that).
            RomEcho::Hex(true, data.data() + 1, data.size() - 1);
        }
        return inner->writeData(data);
    }

    size_t readData(std::vector<uint8_t>& data, unsigned timeoutMs, unsigned dataBytes) override
    {
        const size_t before = data.size();
        const size_t got = inner->readData(data, timeoutMs, dataBytes);
        if (data.size() > before)
            RomEcho::Hex(false, data.data() + before, data.size() - before);
        return got;
    }

    bool getDataFromBuffer(const std::vector<uint8_t>& data, unsigned offset, unsigned& value) override
    {
        return inner->getDataFromBuffer(data, offset, value);
    }

  private:
    std::unique_ptr<SDPLoader_Interface> inner;
};

}  // namespace

void RomEcho::Enable(UpdaterDisplayInterface* display)
{
    sDisplay = display;
}

bool RomEcho::Enabled()
{
    return sDisplay.load() != nullptr;
}

std::string RomEcho::FormatText(bool sent, const char* text, size_t length)
{
    std::string line = sMark(sent);
    line += '[';
    for (size_t i = 0; i < length; i++) {
        const unsigned char c = (unsigned char)text[i];
        if (c == '\r')
            line += "\\r";
        else if (c == '\n')
            line += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\x%02X", c);
            line += escape;
        } else
            line += (char)c;
    }
    return line + ']';
}

std::string RomEcho::FormatHex(bool sent, const uint8_t* bytes, size_t length)
{
    std::string line = sMark(sent);
    line += '[';
    for (size_t i = 0; i < length; i++) {
        char hex[4];
        snprintf(hex, sizeof(hex), "%s%02X", i ? " " : "", bytes[i]);
        line += hex;
    }
    return line + ']';
}

void RomEcho::Text(bool sent, const char* text, size_t length)
{
    UpdaterDisplayInterface* display = sDisplay.load();
    if (display != nullptr)
        display->message(UpdaterDisplayInterface::LEVEL_INFO, "%s", FormatText(sent, text, length).c_str());
}

void RomEcho::Hex(bool sent, const uint8_t* bytes, size_t length)
{
    UpdaterDisplayInterface* display = sDisplay.load();
    if (display != nullptr)
        display->message(UpdaterDisplayInterface::LEVEL_INFO, "%s", FormatHex(sent, bytes, length).c_str());
}

SDPLoader_Interface* RomEcho::Wrap(SDPLoader_Interface* transport)
{
    if (transport == nullptr || !Enabled())
        return transport;
    return new EchoingTransport(transport);
}
