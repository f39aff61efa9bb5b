// The Updater carries out every command of the program against devices, the local store and
// the update server. It reports only through the display it was given and writes diagnostics
// through Log. It holds no connection between calls.
#ifndef UPDATER_UPDATER_H
#define UPDATER_UPDATER_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "DeviceRecord.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

namespace Vantorix {
namespace Strandix {
class Module;
}
}  // namespace Vantorix

class BirdFile;
class UpdaterStoreItem;
struct LoaderPhase;

class Updater {
  public:
    // Finds the device (connected into the module) before the monotonic deadline.
    using FindRunning = std::function<aErr(Vantorix::Strandix::Module&, uint64_t deadline)>;
    Updater(const char* server_url, const char* updater_directory, UpdaterDisplayInterface& display);
    ~Updater();

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Each operation lives in its own file: Updater_Discover.cpp (device discovery),
    // Updater_Download.cpp (build lists and downloads), Updater_Update.cpp (firmware update),
    // Updater_Recover.cpp (fingerprint and recovery).

    // Discovery: transport 1 (USB), 2 (TCP/IP) or 0 (both, USB first). Each device is listed
    // once; the devices are asked at the same time, and one that does not answer keeps its error.
    std::vector<DeviceInfo> Discover_Devices(linkType transport);
    // The devices in order, a device found again (same transport and serial number, e.g. over
    // a second network interface) left out.
    static std::vector<DeviceInfo> Unique_Devices(const std::vector<DeviceInfo>& devices);
    std::vector<DeviceInfo> Discover_SXNetwork_Devices(unsigned int router_serial_number, linkType transport);

    // The store's record of devices (Updater_Info.cpp): what discovery found goes into each
    // device's settings (false when one could not be written, with a message); a device's
    // stored settings, builds and history (false when the store holds nothing for it).
    bool Record_Devices(const std::vector<DeviceInfo>& devices);
    bool Get_Stored_Device(unsigned int serial_number, StoredDevice& stored);
    // The checks -U makes of a file against a device, with the device's model as the store
    // recorded it: the serial number (unless the file patches it) and the model. Each problem
    // is a sentence; empty when the file fits.
    std::vector<std::string> Check_Against_Store(const BirdFile& bird, unsigned int serial_number);

    // Build lists and downloads: the build number stored, 0 on failure.
    std::map<std::string, std::string> Get_BuildList(unsigned int serial_number);
    // The same, saying whether the server gave a list at all (an empty "ok" list is one).
    bool Get_BuildList(unsigned int serial_number, std::map<std::string, std::string>& builds);
    unsigned int Download_Firmware(unsigned int serial_number, std::string build, bool override, bool no_cal);
    unsigned int Download_Firmware(Fingerprint fingerprint, std::string build, bool override);

    // Firmware update of a running device.
    bool Update_Firmware(unsigned int serial_number, unsigned int build, std::string bird_file,
                         unsigned char module_address, unsigned int router_serial_number, bool override);
    // -V: after an update, waits at most wait_seconds for the device to come back over the
    // transport the update reached it by (a module behind a router: at its address there),
    // reads what it runs into running, and succeeds only when that is the build of the file the
    // update sent ("Device %08X now runs ...").
    bool Verify_Update(unsigned int serial_number, unsigned int wait_seconds, DeviceInfo& running);
    // -V after a recovery: the same check for the device the recovery was for, looked for where
    // the recovered chip's firmware comes up (RecoveredDeviceTransports).
    bool Verify_Recovery(unsigned int serial_number, unsigned int wait_seconds, DeviceInfo& running);
    // Where a discovery of this run found a device: updates connect there first.
    void SetKnownDevice(const linkSpec& spec) { known_devices[spec.serial_number] = spec; }
    // An update that stopped in its loader phase (Updater_LoaderPhase.cpp): finishes it on the
    // device's loader, found over the recorded transport and address; and, for -D, what is known
    // of each found device that runs its loader (lines to show, empty for the others).
    bool Finish_Loader_Phase(UpdaterStoreItem& item, LoaderPhase& phase, unsigned int build, std::string bird_file,
                             unsigned char module_address, bool override);
    std::vector<std::string> Explain_Loaders(const std::vector<DeviceInfo>& devices);
    BirdFile load_bird(const char* action, std::string bird_file, unsigned int serial_number, unsigned int build,
                       bool download);

    // Recovery through a chip's ROM bootloader.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string serial_port, unsigned int serial_number,
                         std::string bird_file, unsigned int baud_rate, bool reset);
    bool Recover_Firmware(std::string serial_port, unsigned int build, unsigned int baud_rate,
                          unsigned int serial_number, std::string bird_file, bool override);
    // After a failed Get_Fingerprint: the line that tells where to look, when no step said why
    // it failed (nothing answered as a ROM on the port); empty when the reason was shown.
    std::string FingerprintHint(const std::string& serial_port) const;

    // The firmware the last update or recovery chose (the file given, or "BUILD.bird") and the
    // device it was for; empty and 0 before one was chosen. For the device's history.
    const std::string& LastFirmware() const { return last_firmware; }
    unsigned int LastSerialNumber() const { return last_serial_number; }
    // Build and version of the file the last update loaded (0 and empty before one).
    unsigned int LastBuild() const { return last_build; }
    const std::string& LastVersion() const { return last_version; }

    // How long (seconds) a device that restarted is sought at most; 0: the rounds alone bound
    // it. From UPDATER_RESTART_WAIT when the Updater is made.
    void SetRestartWait(uint32_t seconds) { restart_wait_s = seconds; }
    uint32_t RestartWait() const { return restart_wait_s; }

    const std::string& ServerUrl() const { return server_url; }
    const std::string& Directory() const { return updater_directory; }
    UpdaterDisplayInterface& Display() { return display; }

  private:
    bool verify_running(unsigned int serial_number, unsigned int wait_seconds, const FindRunning& find,
                        DeviceInfo& running);
    // Records the version and build a device was found running in its settings; false (with
    // the message shown) when the store could not keep them.
    bool record_running(unsigned int serial_number, const DeviceInfo& running);

    std::string server_url;
    std::string updater_directory;
    UpdaterDisplayInterface& display;
    std::string last_firmware;
    unsigned int last_serial_number = 0;
    unsigned int last_build = 0;
    std::string last_version;
    linkType last_transport = USB;
    // The router and module address of the last update of a module behind a router; 0 otherwise.
    unsigned int last_router_serial_number = 0;
    unsigned char last_module_address = 0;
    std::map<unsigned int, linkSpec> known_devices;
    uint8_t chip_type = 0;  // 2 LPC, 1 i.MX: set by Get_Fingerprint
    uint32_t restart_wait_s = 0;
    std::string fingerprint_failure;  // why the last Get_Fingerprint failed, when a step said so
};

#endif
