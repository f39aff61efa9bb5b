// Console display: messages to standard output and standard error, and a progress bar and a
// spinner drawn in place when standard output is a terminal. With keep_standard_output the
// messages and the progress go to standard error (drawn when that is a terminal).
#ifndef UPDATER_CLI_DISPLAY_H
#define UPDATER_CLI_DISPLAY_H

#include <cstdint>
#include <cstdio>
#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
  public:
    CLI_Display();

    void display_progress(bool on) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
    void keep_standard_output(bool keep) override;

    // Spinner position, shared by all instances.
    static uint8_t count;

  private:
    bool sIsTerminal() const;
    FILE* out;
};

#endif
