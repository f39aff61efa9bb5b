#include "Updater.h"

Updater::Updater(const char* url, const char* directory, UpdaterDisplayInterface& d)
    : server_url(url ? url : ""), updater_directory(directory ? directory : ""), display(d)
{
}

Updater::~Updater() {}
