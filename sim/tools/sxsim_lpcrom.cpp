// Runs the simulated LPC17xx ROM bootloader on a pseudo-terminal. Prints the port to open
// ("PORT /dev/pts/N"), then answers until it has been idle for the idle time or is
// interrupted; with --flash-out it then writes the flash contents to a file.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "LpcRomSim.h"
#include "SimToolSupport.h"

namespace {

void sUsage()
{
    fprintf(stderr,
            "Usage: sxsim_lpcrom [--baud N] [--resend N] [--erase-ms N] [--idle SECONDS]\n"
            "                    [--serial W0,W1,W2,W3] [--flash-out FILE]\n"
            "  --baud 0 takes the rate the program sets on the port. Defaults: 115200 baud,\n"
            "  no RESEND faults, 100 ms a sector, idle 60 s.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    LpcRomConfig config;
    std::string flashOut;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            sUsage();
            return 0;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "sxsim_lpcrom: %s needs a value\n", arg.c_str());
            sUsage();
            return 2;
        }
        const char* value = argv[++i];
        if (arg == "--baud") {
            config.baud = SimToolNumber(value);
        } else if (arg == "--resend") {
            config.resendFaults = SimToolNumber(value);
        } else if (arg == "--erase-ms") {
            config.eraseMsPerSector = SimToolNumber(value);
        } else if (arg == "--idle") {
            config.idleTimeoutMs = SimToolNumber(value) * 1000;
        } else if (arg == "--serial") {
            if (sscanf(value, "%x,%x,%x,%x", &config.serial[0], &config.serial[1], &config.serial[2],
                       &config.serial[3]) != 4) {
                fprintf(stderr, "sxsim_lpcrom: --serial needs four hexadecimal words\n");
                return 2;
            }
        } else if (arg == "--flash-out") {
            flashOut = value;
        } else {
            fprintf(stderr, "sxsim_lpcrom: unknown option %s\n", arg.c_str());
            sUsage();
            return 2;
        }
    }
    SimToolCatchSignals();
    LpcRomSim sim(config);
    if (!sim.Start()) {
        perror("sxsim_lpcrom: cannot open a pseudo-terminal");
        return 1;
    }
    SimToolServe(sim.Port(), [&sim] { return sim.running(); });
    sim.Stop();
    if (!flashOut.empty()) {
        std::vector<uint8_t> flash = sim.Flash();
        FILE* f = fopen(flashOut.c_str(), "wb");
        if (!f || fwrite(flash.data(), 1, flash.size(), f) != flash.size()) {
            perror("sxsim_lpcrom: cannot write the flash file");
            if (f)
                fclose(f);
            return 1;
        }
        fclose(f);
    }
    return 0;
}
