#include "DeviceBoard.h"

#include "aTime.h"

namespace {

// A terminal is redrawn at most this often for progress alone; a new step draws at once.
const uint64_t kRedrawMs = 100;
const int kBarWidth = 40;
const size_t kLineWidth = 100;

}  // namespace

DeviceBoard::DeviceBoard(FILE* o, bool t, const std::vector<uint32_t>& serials) : out(o), terminal(t)
{
    for (uint32_t serial : serials)
        rows.push_back(Row{serial, "waiting", 0.0, false});
}

std::string DeviceBoard::RowText(uint32_t serial, const std::string& step, double fraction, bool bar)
{
    char head[16];
    snprintf(head, sizeof(head), "%08X  ", serial);
    std::string line = head;
    if (bar) {
        if (!(fraction >= 0.0))
            fraction = 0.0;
        if (fraction > 1.0)
            fraction = 1.0;
        const int filled = (int)(kBarWidth * fraction);
        line += "[" + std::string((size_t)filled, '=') + ">" + std::string((size_t)(kBarWidth - filled), ' ') + "] ";
        line += std::to_string((int)(fraction * 100.0)) + "%";
        return line;
    }
    // One screen line: a long step is cut, a line break ends it.
    line += step.substr(0, step.find('\n'));
    if (line.size() > kLineWidth)
        line.resize(kLineWidth);
    return line;
}

void DeviceBoard::sRedraw()
{
    std::string text;
    if (drawn)
        text += "\x1b[" + std::to_string(rows.size()) + "A";
    for (const Row& row : rows)
        text += "\r\x1b[2K" + RowText(row.serial, row.step, row.fraction, row.bar) + "\n";
    fputs(text.c_str(), out);
    fflush(out);
    drawn = true;
    last_draw_ms = aTime_MonoMS();
}

void DeviceBoard::Step(size_t row, const std::string& text)
{
    std::lock_guard<std::mutex> hold(lock);
    if (row >= rows.size())
        return;
    if (!terminal) {
        fprintf(out, "%s\n", RowText(rows[row].serial, text, 0.0, false).c_str());
        return;
    }
    rows[row].step = text;
    rows[row].bar = false;
    sRedraw();
}

void DeviceBoard::Progress(size_t row, double fraction)
{
    std::lock_guard<std::mutex> hold(lock);
    if (!terminal || row >= rows.size())
        return;
    rows[row].fraction = fraction;
    rows[row].bar = true;
    if (aTime_MonoMS() - last_draw_ms >= kRedrawMs || fraction >= 1.0)
        sRedraw();
}

void DeviceBoard::Finish()
{
    std::lock_guard<std::mutex> hold(lock);
    if (terminal && drawn)
        sRedraw();
}

void DeviceDisplay::error_message(const char* text)
{
    board.Step(row, text);
    if (text != nullptr && text[0] != '\0')
        errors.push_back(text);
}

std::string DeviceDisplay::Reason() const
{
    std::string reason;
    for (const std::string& error : errors)
        reason += (reason.empty() ? "" : "; ") + error;
    return reason;
}
