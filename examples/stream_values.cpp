// Connects to a Strandix device over TCP/IP and prints the values of its system entity as the
// device streams them, through the installed device API:
//
//   c++ -std=c++17 stream_values.cpp $(pkg-config --cflags --libs strandix) -o strandix-stream
//   ./strandix-stream ADDRESS PORT [SECONDS]
#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <strandix/Module.h>
#include <strandix/SystemClass.h>

using namespace Vantorix::Strandix;

static std::atomic<int> sSamples{0};

// Runs on the link's stream worker thread, once per sample.
static aErr sPrintSample(const aPacket* packet, void*)
{
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subIndex = 0;
    if (Link::getStreamSample(packet, &timestamp, &value, &subIndex) != aErrNone)
        return aErrNone;
    uint8_t type = 0;
    Link::getStreamPacketType(packet, &type);
    // Data bytes 0 to 2 of a sample: command, option, index.
    printf("command %u option %u index %u value %u (time %llu)\n", packet->data[0], packet->data[1],
           packet->data[2] & 0x3F, value, (unsigned long long)timestamp);
    fflush(stdout);
    sSamples++;
    return aErrNone;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s ADDRESS PORT [SECONDS]\n", argv[0]);
        return 1;
    }
    linkSpec spec = {};
    spec.type = TCPIP;
    if (inet_pton(AF_INET, argv[1], &spec.t.ip.ip_address) != 1) {
        fprintf(stderr, "not an IPv4 address: %s\n", argv[1]);
        return 1;
    }
    spec.t.ip.ip_port = (uint32_t)strtoul(argv[2], nullptr, 10);
    const int seconds = argc > 3 ? atoi(argv[3]) : 2;

    Module module(2, 0);
    aErr err = module.connectFromSpec(spec);
    if (err != aErrNone) {
        fprintf(stderr, "cannot connect to %s:%s (error %d)\n", argv[1], argv[2], (int)err);
        return 1;
    }
    SystemClass system;
    system.init(&module, 0);
    // Every option of the system entity (0xFF), to the callback.
    Link* link = module.getLink();
    err = link->registerStreamCallback(module.getModuleAddress(), kCmdSystem, 0xFF, 0, true, sPrintSample, nullptr);
    if (err != aErrNone) {
        fprintf(stderr, "the device refused to stream (error %d)\n", (int)err);
        module.disconnect();
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    link->registerStreamCallback(module.getModuleAddress(), kCmdSystem, 0xFF, 0, false, nullptr, nullptr);
    module.disconnect();
    printf("%d sample(s)\n", sSamples.load());
    return sSamples.load() > 0 ? 0 : 1;
}
