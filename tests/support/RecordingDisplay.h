// A display that records what the Updater tells the user, for tests that call library code
// directly instead of running the program.
#ifndef TEST_RECORDING_DISPLAY_H
#define TEST_RECORDING_DISPLAY_H

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool on) override { progress_events.push_back(on ? "on" : "off"); }
    void update_progress(double fraction, const char*) override { last_fraction = fraction; progress_updates++; }
    void update_spinner(bool, const char*) override { spinner_updates++; }
    void info_message(const char* text) override { info.push_back(text); all.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); all.push_back(text); }

    bool saw(const std::string& text) const
    {
        for (const std::string& line : all)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::vector<std::string> info, errors, all, progress_events;
    double last_fraction = -1;
    int progress_updates = 0;
    int spinner_updates = 0;
};

#endif
