// The whole-file check and the firmware transfer through a device's upgrade entity, shared by the update of a running
// device and the recovery of a device whose loader was started from its ROM.
#ifndef UPDATER_UPDATER_TRANSFER_H
#define UPDATER_UPDATER_TRANSFER_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "BirdCheck.h"
#include "BirdFile.h"
#include "DeviceInfo.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterSteps.h"
#include "aDefs.h"
#include "aLinkSpec.h"

// Refuses a file that fails the whole-file check before anything of it is sent: shows each
// problem and throws std::runtime_error. By default the file must carry firmware.
void _require_sendable(UpdaterDisplayInterface& display, const BirdFile& bird,
                       const BirdCheck::Options& options = BirdCheck::ForSending(true, false));

// Sends every firmware block to a device's upgrade entity (the loader runs), then REBOOT. The
// first block that fails ends it and the device is not rebooted. serial_number names the
// device in the reasons. _send_firmware leaves the reason to its caller; _transfer_firmware
// shows it.
StepResult _send_firmware(UpdaterDisplayInterface& display, Vantorix::Strandix::Module& module, BirdFile& bird,
                          unsigned int serial_number);
aErr _transfer_firmware(UpdaterDisplayInterface& display, Vantorix::Strandix::Module& module, BirdFile& bird,
                        unsigned int serial_number);
// Shows a failed step's reason (once; an empty reason was shown where it arose).
void _show_failure(UpdaterDisplayInterface& display, const StepResult& result);

// Connects the target directly: where a discovery of this run found it (known), else over each
// transport of DirectTransportOrder in turn while the device is not found.
aErr _connect_direct(Vantorix::Strandix::Module& target, unsigned int serial_number,
                     const std::map<unsigned int, linkSpec>& known);
// Connects the target (whose module address is set) through its router, which is connected
// directly first. With answered, also reads the serial number the module answers with (an error
// reading it is the result; the target stays connected either way).
aErr _connect_routed(Vantorix::Strandix::Module& target, unsigned int router_serial_number,
                     const std::map<unsigned int, linkSpec>& known, uint32_t* answered = nullptr);

// Reads what a connected device runs: firmware build (information query) and version, module
// and router address (system entity) into info.
aErr _read_running_firmware(Vantorix::Strandix::Module& module, DeviceInfo& info);

class UpdaterStoreItem;
struct LoaderPhase;

// Records a successful transfer in the device's settings (LATEST_TRANSFER, its date), making
// the device's store directory when it has none. Empty when recorded, else why not.
// bird_file: the path given, else build names the stored build.
std::string _record_transfer(const std::string& directory, UpdaterStoreItem& item, unsigned int serial_number,
                             const std::string& bird_file, unsigned int build);

// Writes loader-phase values into the device's settings under the store lock, making the
// device's store directory when it has none. Empty when written, else why not.
std::string _write_loader_phase(const std::string& directory, UpdaterStoreItem& item, unsigned int serial_number,
                                const std::vector<std::pair<std::string, std::string>>& values);

// Ends a recorded loader phase after the firmware transfer: cleared when it succeeded (REBOOT
// sent), else left with the reason. The transfer's result, or aErrIO when the record could not
// be written (with a message).
aErr _end_loader_phase(UpdaterDisplayInterface& display, const std::string& directory, UpdaterStoreItem& item,
                       LoaderPhase& phase, aErr transfer, const std::string& reason);

// A display that passes everything on and keeps the last error message: the reason a step
// failed, for the loader-phase record.
class ReasonDisplay : public UpdaterDisplayInterface {
  public:
    explicit ReasonDisplay(UpdaterDisplayInterface& out) : out(out) {}
    void display_progress(bool on) override { out.display_progress(on); }
    void update_progress(double fraction, const char* label) override { out.update_progress(fraction, label); }
    void update_spinner(bool on, const char* label) override { out.update_spinner(on, label); }
    void info_message(const char* text) override { out.info_message(text); }
    void error_message(const char* text) override
    {
        last_error = text;
        out.error_message(text);
    }
    const std::string& LastError() const { return last_error; }

  private:
    UpdaterDisplayInterface& out;
    std::string last_error;
};

#endif
