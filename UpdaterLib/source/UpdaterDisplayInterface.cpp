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
    if (level == LEVEL_ERROR)
        error_message(text);
    else
        info_message(text);
}
