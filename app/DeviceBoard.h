// The console of an update of several devices at once: on a terminal one line per device,
// redrawn in place (its last step, or its progress bar); elsewhere one plain line per device and
// step. Each device reports through its own DeviceDisplay; the board serialises them.
#ifndef UPDATER_DEVICE_BOARD_H
#define UPDATER_DEVICE_BOARD_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class DeviceBoard {
  public:
    // One row per serial number, in this order. terminal: redraw in place.
    DeviceBoard(FILE* out, bool terminal, const std::vector<uint32_t>& serials);

    void Step(size_t row, const std::string& text);
    void Progress(size_t row, double fraction);
    // Leaves the rows as they are; later output goes below them.
    void Finish();

    // The line a row shows: serial number, then the step or a bar of the fraction.
    static std::string RowText(uint32_t serial, const std::string& step, double fraction, bool bar);

  private:
    void sRedraw();

    std::mutex lock;
    FILE* out;
    bool terminal;
    bool drawn = false;
    uint64_t last_draw_ms = 0;
    struct Row {
        uint32_t serial;
        std::string step;
        double fraction;
        bool bar;
    };
    std::vector<Row> rows;
};

// One device's display on the board. Keeps the device's error messages: the reason it failed.
class DeviceDisplay : public UpdaterDisplayInterface {
  public:
    DeviceDisplay(DeviceBoard& board, size_t row) : board(board), row(row) {}

    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override { board.Progress(row, fraction); }
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { board.Step(row, text); }
    void error_message(const char* text) override;

    // The error messages so far, joined by "; ".
    std::string Reason() const;

  private:
    DeviceBoard& board;
    size_t row;
    std::vector<std::string> errors;
};

#endif
