// What the simulator programs in sim/tools/ share: ending on SIGINT or SIGTERM, reading number
// options, and serving until the simulator is idle.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// From now on SIGINT and SIGTERM end SimToolServe instead of the program.
void SimToolCatchSignals();

// The decimal number in `text` (0 when there is none), as the options take it.
uint32_t SimToolNumber(const char* text);

// Prints the port to open ("PORT <port>") and returns once `running` says the simulator has
// stopped (it stops by itself when idle) or a caught signal has arrived.
void SimToolServe(const std::string& port, const std::function<bool()>& running);
