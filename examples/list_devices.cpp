// Lists the Strandix devices on USB and on the local TCP/IP networks, with each one's firmware
// version and temperature, through the installed device API:
//
//   c++ -std=c++17 list_devices.cpp $(pkg-config --cflags --libs strandix) -o strandix-list
//   ./strandix-list [usb|tcpip]
#include <cstdio>
#include <cstring>
#include <vector>

#include <strandix/Module.h>
#include <strandix/SystemClass.h>
#include <strandix/aDiscovery.h>
#include <strandix/aVersion.h>

using namespace Vantorix::Strandix;

static bool sCollect(const linkSpec* spec, bool* countIt, void* ref)
{
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *countIt = true;
    return true;
}

int main(int argc, char** argv)
{
    std::vector<linkType> transports = {USB, TCPIP};
    if (argc > 1 && strcmp(argv[1], "usb") == 0)
        transports = {USB};
    else if (argc > 1 && strcmp(argv[1], "tcpip") == 0)
        transports = {TCPIP};
    else if (argc > 1) {
        fprintf(stderr, "usage: %s [usb|tcpip]\n", argv[0]);
        return 1;
    }

    std::vector<linkSpec> devices;
    for (linkType type : transports)
        aDiscovery_EnumerateModules(type, sCollect, &devices);
    printf("%zu device(s)\n", devices.size());

    int failures = 0;
    for (const linkSpec& spec : devices) {
        const char* transport = spec.type == USB ? "USB" : "TCPIP";
        // The module asks the device for its address once connected.
        Module module(2, (uint8_t)spec.model);
        aErr err = module.connectFromSpec(spec);
        if (err != aErrNone) {
            printf("%08X  %-5s  cannot connect (error %d)\n", spec.serial_number, transport, (int)err);
            failures++;
            continue;
        }
        SystemClass system;
        system.init(&module, 0);
        uint32_t version = 0;
        int32_t temperature = 0;
        aErr versionErr = system.getVersion(&version);
        aErr temperatureErr = system.getTemperature(&temperature);
        if (versionErr != aErrNone || temperatureErr != aErrNone) {
            printf("%08X  %-5s  cannot read version or temperature (errors %d, %d)\n", spec.serial_number,
                   transport, (int)versionErr, (int)temperatureErr);
            failures++;
        } else {
            // The temperature is in millionths of a degree Celsius.
            printf("%08X  %-5s  version %u.%u.%u  temperature %.1f C\n", spec.serial_number, transport,
                   aVersion_ParseMajor(version), aVersion_ParseMinor(version), aVersion_ParsePatch(version),
                   temperature / 1e6);
        }
        module.disconnect();
    }
    return failures == 0 ? 0 : 1;
}
