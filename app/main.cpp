// Updater: discovers, updates and recovers the firmware of Strandix devices.
#include "CLI_Display.h"
#include "Commands.h"

int main(int argc, char** argv)
{
    CLI_Display display;
    return RunUpdater(display, argc, argv);
}
