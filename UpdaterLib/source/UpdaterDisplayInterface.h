// The user-facing display the Updater reports through: messages by level, a progress bar and
// a spinner. The program's console implementation is CLI_Display.
#ifndef UPDATER_DISPLAY_INTERFACE_H
#define UPDATER_DISPLAY_INTERFACE_H

// Longest formatted message; longer ones are cut.
#define UPDATER_MESSAGE_MAX 2047

#include <string>

class UpdaterDisplayInterface {
  public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    UpdaterDisplayInterface() : muted(false) {}

    virtual void display_progress(bool on) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool on, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;
    // With keep, standard output is left to the caller (a machine-readable document): every
    // message and the progress go to standard error. Displays that never write there ignore it.
    virtual void keep_standard_output(bool) {}

    void mute_messages(bool mute) { muted = mute; }
    // Formats and shows a message. Control characters in it (text from the server, a file or a
    // device included) are shown escaped ("\x1B"), so nothing reaches the terminal raw; line
    // feeds and tabs stay.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The text with every control character but line feed and tab, and DEL, as "\xNN".
    static std::string Escape(const char* text);

  protected:
    ~UpdaterDisplayInterface() {}
    bool muted;
};

#endif
