// The whole-file check of a BIRD file: the one place that decides whether a file may be sent to
// a device. The update and recovery flows refuse a file with any structural problem before they
// send anything; the file check command reports every problem, the identity ones included.
#ifndef UPDATER_BIRDCHECK_H
#define UPDATER_BIRDCHECK_H

#include <string>
#include <vector>

#include "BirdFile.h"

class BirdCheck {
  public:
    struct Options {
        // Also report what the device check compares: a missing or short information block and
        // a model name that no device has. The flows leave these to that check (and -O).
        bool identity = true;
        // What the caller will send: firmware (an update or a recovery) needs at least one
        // firmware block; a ROM loader start needs at least one loader block.
        bool need_firmware = true;
        bool need_loader = false;
    };

    // The structural check a flow makes before it sends the file.
    static Options ForSending(bool firmware, bool loader)
    {
        Options options;
        options.identity = false;
        options.need_firmware = firmware;
        options.need_loader = loader;
        return options;
    }

    // Every problem of a loaded file, each a sentence without a final full stop; empty when the
    // file may be sent.
    static std::vector<std::string> Problems(const BirdFile& bird, const Options& options);
    static std::vector<std::string> Problems(const BirdFile& bird) { return Problems(bird, Options()); }

    // Loads path into *loaded (when given) and checks it: a file that cannot be loaded gives the
    // one reason why (unreadable, too short, truncated, does not decompress, too large).
    static std::vector<std::string> FileProblems(const char* path, const Options& options, BirdFile* loaded = nullptr);

    // The reason a load failed, as a problem text; empty for LOAD_OK.
    static std::string LoadProblem(BirdFile::LoadFailure failure);

    // The problems joined with "; ".
    static std::string Summary(const std::vector<std::string>& problems);
};

#endif
