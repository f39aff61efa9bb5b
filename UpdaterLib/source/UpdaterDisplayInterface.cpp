#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted || format == nullptr)
        return;
    char text[UPDATER_MESSAGE_MAX + 1];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof(text), format, args);  // cuts at 2047 characters
    va_end(args);
    if (n < 0)
        return;
    const std::string shown = Escape(text);
    if (level == LEVEL_ERROR)
        error_message(shown.c_str());
    else
        info_message(shown.c_str());
}

std::string UpdaterDisplayInterface::Escape(const char* text)
{
    std::string shown;
    for (const char* p = text; p && *p; p++) {
        const unsigned char c = (unsigned char)*p;
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
            char code[8];
            snprintf(code, sizeof(code), "\\x%02X", c);
            shown += code;
        } else {
            shown += (char)c;
        }
    }
    return shown;
}
