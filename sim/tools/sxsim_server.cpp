// Runs the reference update server on a catalogue directory, for tests, demos and as a local
// mirror. Prints the base URL to give the updater with -u, then serves until it has been idle
// for the idle time or is interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "UpdateServerSim.h"

namespace {

volatile sig_atomic_t sInterrupted = 0;

void sOnSignal(int)
{
    sInterrupted = 1;
}

void sUsage()
{
    fprintf(stderr,
            "Usage: sxsim_server --dir DIRECTORY [--port N] [--bind ADDRESS] [--idle SECONDS]\n"
            "                    [--fault KIND[:OP]]... [--stall SECONDS] [--cert FILE --key FILE]\n"
            "  DIRECTORY holds the file \"catalogue\" and the build files it names.\n"
            "  KIND: none, 404, notok, empty, garbage, stall, drip, wrap; OP limits it to one request\n"
            "  (hi, qu, bird, builds, fix). Default: 127.0.0.1, any free port, idle 60 s.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    UpdateServerSim server;
    UpdateServerSim::Options options;
    std::string directory;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            sUsage();
            return 0;
        }
        if (value == nullptr) {
            fprintf(stderr, "sxsim_server: %s needs a value\n", arg.c_str());
            sUsage();
            return 2;
        }
        i++;
        if (arg == "--dir") {
            directory = value;
        } else if (arg == "--port") {
            options.port = (uint16_t)atoi(value);
        } else if (arg == "--bind") {
            options.bind = value;
        } else if (arg == "--idle") {
            options.idle_timeout_ms = atoi(value) * 1000;
        } else if (arg == "--stall") {
            options.stall_ms = atoi(value) * 1000;
        } else if (arg == "--cert") {
            options.cert_file = value;
        } else if (arg == "--key") {
            options.key_file = value;
        } else if (arg == "--fault") {
            UpdateServerSim::Fault fault;
            std::string op;
            if (!UpdateServerSim::ParseFault(value, &fault, &op)) {
                fprintf(stderr, "sxsim_server: unknown fault %s\n", value);
                return 2;
            }
            server.SetFault(fault, op);
        } else {
            fprintf(stderr, "sxsim_server: unknown option %s\n", arg.c_str());
            sUsage();
            return 2;
        }
    }
    if (directory.empty()) {
        sUsage();
        return 2;
    }
    std::string error;
    if (!server.LoadCatalogue(directory, &error)) {
        fprintf(stderr, "sxsim_server: %s\n", error.c_str());
        return 1;
    }
    if (options.idle_timeout_ms <= 0)
        options.idle_timeout_ms = 60000;
    if (!server.Start(options, &error)) {
        fprintf(stderr, "sxsim_server: %s\n", error.c_str());
        return 1;
    }
    signal(SIGINT, sOnSignal);
    signal(SIGTERM, sOnSignal);
    printf("%s\n", server.BaseURL().c_str());
    fflush(stdout);
    while (!sInterrupted && !server.Wait(200)) {
    }
    server.Stop();
    fprintf(stderr, "sxsim_server: stopped after %zu requests\n", server.Requests().size());
    return 0;
}
