#include "Reports.h"

#include "aError.h"

#include <algorithm>
#include <cstdio>

#include "Parameters.h"
#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

static const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

void _display_app_version(UpdaterDisplayInterface& display)
{
    display.message(INFO, "%s (%s)", APP_NAME, APP_VERSION);
}

void _display_sx_version(UpdaterDisplayInterface& display)
{
    display.message(INFO, "[Strandix Release: %d.%d.%d]", (int)aVersion_GetMajor(), (int)aVersion_GetMinor(),
                    (int)aVersion_GetPatch());
}

void _display_copyright(UpdaterDisplayInterface& display)
{
    display.message(INFO, "Copyright (c) 2023 Vantorix. All rights reserved.");
}

static const char* const USAGE_BLOCK_1 =
    "\n"
    "Application Usage:\n"
    "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Strandix Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

static const char* const USAGE_BLOCK_2 =
    "  Parameters to commands:\n"
    "     -b <build number>        - Build version of the firmware to transfer.\n"
    "                                [Default: latest version available].\n"
    "     -d <device>              - Device serial number of the device to access.\n"
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].\n"
    "     -r <router serial>       - indirect connection through router device\n"
    "     -s <serial port>         - name of serial port to use for recovery\n"
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
    "                                19200, 38400, 57600, 115200, 230400)\n"
    "  Commands:\n"
    "     -B                       - list the Builds available for given device.\n"
    "\n"
    "     -D                       - Discover devices that are currently connected.\n"
    "\n"
    "     -G                       - Get build file from the Vantorix server and\n"
    "                                store on local machine for download to device.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to obtain the latest build for the\n"
    "                                given device, override with \"-b\" option.\n"
    "\n"
    "     -U                       - Update the firmware on device specified.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to download the latest build for the\n"
    "                                given device, override with \"-b\" option or\n"
    "                                specify specific BIRD file using \"-f\" option.\n"
    "     -H or -h                 - Display extended usage information.\n"
    "\n";

static const char* const USAGE_BLOCK_3_HEAD =
    "  Extended Parameters:\n"
    "     -f <bird file>           - Firmware file to be transferred to device.\n"
    "     -e                       - echoing of bytes enabled during recovery.\n"
    "\n"
    "     -l 'log message'         - message to place in device history log\n"
    "     -k <filename>            - log messages written into given filename\n"
    "                                Default:[APP.log]\n"
    "     -u <host:port>           - The hostname and port of the update server\n";

static const char* const USAGE_BLOCK_3_TAIL =
    "  Extended Commands:\n"
    "     -I                       - View stored device information.\n"
    "                                Must either use DISCOVER command [\"-D\"] or\n"
    "                                specify a specific device [\"-d\" option].\n"
    "\n"
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.\n"
    "                                This option should only be used when authorized by\n"
    "                                Vantorix development engineers.\n"
    "\n"
    "     -N                       - Get fingerprint from a device, requires -s\n"
    "\n"
    "     -X <BIT_MASK>            - Bitmask for Logging\n"
    "                                DEBUG_Updater       0x00000001\n"
    "                                DEBUG_History       0x00000002\n"
    "                                DEBUG_Attributes    0x00000004\n"
    "                                DEBUG_BirdFile      0x00000008\n"
    "                                DEBUG_Network       0x00000010\n"
    "                                DEBUG_ServerComm    0x00000020\n"
    "\n"
    "                                DEBUG_Network       0x00000100\n"
    "                                DEBUG_Network_SR    0x00000200\n"
    "                                DEBUG_Network_FIRM  0x00000400\n"
    "\n"
    "                                DEBUG_NXPSerial     0x00001000\n"
    "                                DEBUG_NXPSerial_E   0x00002000\n"
    "                                DEBUG_NXPSerial_SR  0x00004000\n"
    "\n"
    "                                DEBUG_APP           0x00010000\n"
    "\n"
    "                                DEBUG_iMXSerial     0x10000000\n"
    "\n"
    "     -C                       - Check the given BIRDFILE\n"
    "\n";

static const char* const USAGE_BLOCK_4 =
    " Sample usage:\n"
    "\n"
    "-D                             Discover all devices connected by either USB or TCPIP.\n"
    "                               Records the device information into the settings for that device.\n"
    "\n"
    "-D -t USB                      Discover all the devices connected by USB. Records the\n"
    "                               device information into the settings for that device.\n"
    "\n"
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)\n"
    "\n"
    "-G -d 40F5849A                 Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific device directory.\n"
    "\n"
    "-U -d 40F5849A                 Update the firmware on the specific device.\n"
    "                               Without other options, this command will try to locate\n"
    "                               the latest firmware version to be used for updating the device.\n"
    "\n"
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.\n"
    "                               Downloads the firmware file into the updater's specific\n"
    "                               device directory with the build number as the filename.\n"
    "\n"
    "-G -U -d 40F5849A              Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific\n"
    "                               device directory. After download, update the firmware\n"
    "                               using the latest release.\n"
    "\n"
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface\n"
    "                               in communicating with the device to install the latest firmware.\n"
    "\n"
    " Sample usage for network discovery and updates:\n"
    "\n"
    "-D -r D272031D                 Discover all devices connected to the I2C Strandix network\n"
    "                               of the given routing device D272031D.\n"
    "\n";

static const char* const USAGE_BLOCK_5 =
    " Parameters for updates on a Strandix network:\n"
    "     -m <module address>      - module address behind the router given with \"-r\",\n"
    "                                hexadecimal as -D -r lists it (even, 02 to FC).\n"
    "\n"
    "-U -d 40F5849A -r D272031D -m 04\n"
    "                               Update the firmware of the module at address 04 on the\n"
    "                               Strandix network of the routing device D272031D.\n"
    "\n";

static const char* const USAGE_BLOCK_6 =
    " Production line: several devices, verified updates, machine-readable results:\n"
    "     -d <serial,serial,...>   - several devices for -U, -G and -I; updated at once.\n"
    "     -d ALL                   - with -U -f: every device found that the file fits\n"
    "                                (others are skipped); not with -OVERRIDE.\n"
    "     -j <n>                   - at most n devices updated at once [Default: all].\n"
    "     -V                       - verify: after the reboot wait for the device and check\n"
    "                                that it runs the build of the file.\n"
    "     -w <seconds>             - how long -V waits for the device [Default: 60].\n"
    "     --json                   - results as one JSON document on standard output;\n"
    "                                messages go to standard error.\n"
    "\n"
    "-U -d 40F5849A,40F5849B -f fw.bird -V\n"
    "                               Update both devices at once and check what they run.\n"
    "\n";

void _display_usage(bool extended, bool full)
{
    fprintf(stderr, USAGE_BLOCK_1, APP_NAME);
    if (full)
        fputs(USAGE_BLOCK_2, stderr);
    if (full && extended) {
        fputs(USAGE_BLOCK_3_HEAD, stderr);
        fprintf(stderr, "%32sDefault: %s:%d\n", "", UPDATE_SERVER_HOST, UPDATE_SERVER_PORT);
        fputs(USAGE_BLOCK_3_TAIL, stderr);
    }
    if (full) {
        fputs(USAGE_BLOCK_4, stderr);
        fputs(USAGE_BLOCK_5, stderr);
        fputs(USAGE_BLOCK_6, stderr);
    }
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType transport)
{
    display.message(INFO, "Discovered Devices: (%s)",
                    transport == USB ? "USB" : transport == TCPIP ? "TCPIP" : "Unknown");
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (transport == USB)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)");
    else
        display.message(INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
    for (const DeviceInfo& d : devices) {
        if (d.spec.type != TCPIP) {
            if (d.error != aErrNone)
                display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                                d.spec.serial_number, (int)d.error);
            else
                display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", d.spec.serial_number,
                                d.spec.module, d.spec.router, aDefs_GetModelName((int32_t)d.spec.model),
                                d.version_major, d.version_minor, (int)d.version_patch, d.build);
        } else {
            const uint8_t* ip = reinterpret_cast<const uint8_t*>(&d.spec.t.ip.ip_address);
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) [%d.%d.%d.%d]",
                            d.spec.serial_number, d.spec.module, d.spec.router,
                            aDefs_GetModelName((int32_t)d.spec.model), d.version_major, d.version_minor,
                            (int)d.version_patch, d.build, ip[0], ip[1], ip[2], ip[3]);
            // The line stays; a device that did not answer says so below it.
            if (d.error != aErrNone)
                display.message(INFO, "    %08X  [Error (%d): %s]", d.spec.serial_number, (int)d.error,
                                aError_GetErrorText(d.error));
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serial_number)
{
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serial_number);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serial_number);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    std::vector<std::pair<std::string, std::string>> list(builds.begin(), builds.end());
    std::stable_sort(list.begin(), list.end(),
                     [](const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
                         return a.second < b.second;
                     });
    for (const auto& entry : list)
        display.message(INFO, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}

void _display_stored_device(UpdaterDisplayInterface& display, const StoredDevice& device)
{
    display.message(INFO, "Stored information for device %08X:", device.serial_number);
    for (const auto& entry : device.settings)
        display.message(INFO, "    %-22s %s", entry.first.c_str(), entry.second.c_str());
    display.message(INFO, "  Stored builds:");
    if (device.builds.empty())
        display.message(INFO, "    None");
    for (const StoredBuild& build : device.builds)
        display.message(INFO, "    %-10u %s", build.build,
                        build.version.empty() ? "[does not load as a BIRD file]" : build.version.c_str());
    display.message(INFO, "  History:");
    if (device.history.empty())
        display.message(INFO, "    None");
    for (const std::string& line : device.history)
        display.message(INFO, "    %s", line.c_str());
}

void _display_bird_summary(UpdaterDisplayInterface& display, const std::string& path, const BirdFile& bird)
{
    display.message(INFO, "BIRD file: %s", path.c_str());
    display.message(INFO, "    Build:                %u", bird.GetBuild());
    display.message(INFO, "    Version:              %s", bird.GetVersion().c_str());
    display.message(INFO, "    Model:                %s", bird.GetModel().c_str());
    display.message(INFO, "    Serial number:        %08X", bird.GetSerialNumber());
    if (bird.HasSerialNumberBlock())
        display.message(INFO, "    Serial-number patch:  yes, at 0x%08X", bird.SerialNumberAddress());
    else
        display.message(INFO, "    Serial-number patch:  no");
    const std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_RECOVERY_START);
    if (!starts.empty() && starts[0].length >= 4) {
        const uint8_t* d = starts[0].data;
        display.message(INFO, "    Recovery loader start: yes, at 0x%08X",
                        (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3]);
    } else {
        display.message(INFO, "    Recovery loader start: no");
    }
    for (uint8_t type : {(uint8_t)BirdFile::BLOCK_LOADER, (uint8_t)BirdFile::BLOCK_FIRMWARE}) {
        const std::vector<BirdBlock> blocks = bird.FindBlocks(type);
        const char* name = type == BirdFile::BLOCK_LOADER ? "Loader" : "Firmware";
        display.message(INFO, "    %s blocks:%s %zu", name, type == BirdFile::BLOCK_LOADER ? "        " : "      ",
                        blocks.size());
        int k = 1;
        for (const BirdBlock& block : blocks)
            display.message(INFO, "        %d: type %u, address 0x%08X, %u bytes", k++, (unsigned)block.type,
                            block.address, block.length);
    }
}
