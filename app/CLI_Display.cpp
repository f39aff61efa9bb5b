#include "CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

uint8_t CLI_Display::count = 0;

static const char* const BAR = "=====================================================================";
static const int BAR_WIDTH = 69;
static const int CLEAR_WIDTH = 88;
static const char* const FRAMES[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

CLI_Display::CLI_Display() : out(stdout)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::keep_standard_output(bool keep)
{
    out = keep ? stderr : stdout;
}

bool CLI_Display::sIsTerminal() const
{
    return isatty(fileno(out)) != 0;
}

void CLI_Display::display_progress(bool on)
{
    if (!sIsTerminal() || on)
        return;
    fprintf(out, "\r%*s\r", CLEAR_WIDTH, " ");
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!sIsTerminal())
        return;
    if (fraction < 0.0 || fraction != fraction)
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int width = BAR_WIDTH;
    if (label)
        width = BAR_WIDTH - (int)strnlen(label, 1024) - 4;
    // A label so long that no bar is left still gives a bar of one place.
    if (width < 1)
        width = 1;
    int filled = (int)(width * fraction);
    int remaining = width - filled;
    // A full bar has no room left after the ">": keep the line the same width as the others.
    int pad = remaining > 0 ? remaining - 1 : 0;
    int percent = (int)(fraction * 100.0);
    if (label)
        fprintf(out, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR, pad, "", percent);
    else
        fprintf(out, "\r[%.*s>%*s] (%3d%% ) ", filled, BAR, pad, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label)
{
    if (!sIsTerminal())
        return;
    if (!on) {
        fprintf(out, "\r%*s\r", CLEAR_WIDTH, " ");
        return;
    }
    if (label)
        fprintf(out, "\r (%s) %s      \r", label, FRAMES[count & 7]);
    else
        fprintf(out, "\r %s      \r", FRAMES[count & 7]);
    count = (uint8_t)((count + 1) & 7);
}

void CLI_Display::info_message(const char* text)
{
    fprintf(out, "%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
}
