// Echo of what is exchanged with a chip's ROM bootloader during recovery (-e): every line sent
// to or received from the LPC ISP client as text, every i.MX serial download command and status
// in hex, each on its own line marked "sent" or "received", through the display. Off until a
// display is given; the recovery clients call it unconditionally.
#ifndef UPDATER_ROMECHO_H
#define UPDATER_ROMECHO_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

class SDPLoader_Interface;

class RomEcho {
  public:
    // Echo to this display from now on; null turns the echo off.
    static void Enable(UpdaterDisplayInterface* display);
    static bool Enabled();

    // A line of text, line ends and other control characters shown as escapes.
    static void Text(bool sent, const char* text, size_t length);
    // Bytes in hex.
    static void Hex(bool sent, const uint8_t* bytes, size_t length);
    // Wraps an i.MX transport so its commands and replies are echoed (the transport itself
    // when the echo is off). The wrapper owns the transport.
    static SDPLoader_Interface* Wrap(SDPLoader_Interface* transport);

    // The echoed lines, without the display.
    static std::string FormatText(bool sent, const char* text, size_t length);
    static std::string FormatHex(bool sent, const uint8_t* bytes, size_t length);
};

#endif
