// The program's command dispatch: runs the requested commands in their fixed order.
#ifndef UPDATER_COMMANDS_H
#define UPDATER_COMMANDS_H

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

// The whole program after the display exists: parse, report, dispatch. Returns the exit code.
int RunUpdater(UpdaterDisplayInterface& display, int argc, const char* const* argv);

// The updater directory: home directory, ".vantorix", "updater"; empty when there is no home.
std::string _build_updater_directory();

#endif
