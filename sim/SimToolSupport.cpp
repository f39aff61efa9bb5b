#include "SimToolSupport.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

volatile sig_atomic_t sInterrupted = 0;

void sOnSignal(int)
{
    sInterrupted = 1;
}

}  // namespace

void SimToolCatchSignals()
{
    signal(SIGINT, sOnSignal);
    signal(SIGTERM, sOnSignal);
}

uint32_t SimToolNumber(const char* text)
{
    return (uint32_t)strtoul(text, nullptr, 10);
}

void SimToolServe(const std::string& port, const std::function<bool()>& running)
{
    printf("PORT %s\n", port.c_str());
    fflush(stdout);
    while (!sInterrupted && running())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}
