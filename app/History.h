// What the program writes to a device's history log, and the display that collects the reason
// of a failed command for it.
#ifndef UPDATER_APP_HISTORY_H
#define UPDATER_APP_HISTORY_H

#include <string>
#include <vector>

#include "DeviceHistory.h"
#include "UpdaterDisplayInterface.h"

// Passes everything on to the console and keeps the error messages since StartCommand: the
// reason a command failed, in the words the user saw.
class CommandDisplay : public UpdaterDisplayInterface {
  public:
    explicit CommandDisplay(UpdaterDisplayInterface& out) : out(out) {}

    void display_progress(bool on) override { out.display_progress(on); }
    void update_progress(double fraction, const char* label) override { out.update_progress(fraction, label); }
    void update_spinner(bool on, const char* label) override { out.update_spinner(on, label); }
    void info_message(const char* text) override { out.info_message(text); }
    void error_message(const char* text) override;
    void keep_standard_output(bool keep) override { out.keep_standard_output(keep); }

    void StartCommand() { errors.clear(); }
    // The error messages since StartCommand, joined by "; ".
    std::string Reason() const;

  private:
    UpdaterDisplayInterface& out;
    std::vector<std::string> errors;
};

// Appends the entry to the history of the device in the store at directory. Nothing for serial
// number 0; a history that cannot be written is reported on the display, and false: a command
// that succeeded fails the run then, since what it did is not on record.
bool _record_history(UpdaterDisplayInterface& display, const std::string& directory, unsigned int serial_number,
                     const HistoryEntry& entry);

#endif
