// Runs the simulated i.MX RT1050 ROM (serial download over UART) on a pseudo-terminal. Prints
// the port ("PORT /dev/pts/N"), answers until idle or interrupted, then reports what the
// processor received: "WRITE <address> <size>" per file write and "JUMP <address>".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ImxRomSim.h"
#include "SimToolSupport.h"

namespace {

void sUsage()
{
    fprintf(stderr,
            "Usage: sxsim_imxrom [--baud N] [--idle SECONDS] [--silent] [--chatter] [--bad-completion]\n"
            "                    [--quiet-after REPLIES]\n"
            "  Defaults: 115200 baud, idle 60 s. --quiet-after: the processor hangs after that many replies.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    uint32_t baud = 115200, idleMs = 60000;
    ImxRomFaults faults;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            sUsage();
            return 0;
        } else if (arg == "--silent") {
            faults.silent = true;
        } else if (arg == "--chatter") {
            faults.chatterDuringData = true;
        } else if (arg == "--bad-completion") {
            faults.badCompletion = true;
        } else if (arg == "--quiet-after" && i + 1 < argc) {
            faults.quietAfterReplies = (int)SimToolNumber(argv[++i]);
        } else if ((arg == "--baud" || arg == "--idle") && i + 1 < argc) {
            uint32_t v = SimToolNumber(argv[++i]);
            if (arg == "--baud")
                baud = v;
            else
                idleMs = v * 1000;
        } else {
            fprintf(stderr, "sxsim_imxrom: bad option %s\n", arg.c_str());
            sUsage();
            return 2;
        }
    }
    SimToolCatchSignals();
    ImxRomSim sim(baud, idleMs);
    sim.device().SetFaults(faults);
    if (!sim.Start()) {
        perror("sxsim_imxrom: cannot open a pseudo-terminal");
        return 1;
    }
    SimToolServe(sim.Port(), [&sim] { return sim.running(); });
    sim.Stop();
    for (const ImxSdpDevice::Write& w : sim.device().Writes())
        printf("WRITE 0x%08X %zu\n", w.address, w.data.size());
    uint32_t entry;
    if (sim.device().Jumped(&entry))
        printf("JUMP 0x%08X\n", entry);
    return 0;
}
