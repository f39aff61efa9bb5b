#include "Updater.h"

#include "FindAgain.h"

Updater::Updater(const char* url, const char* directory, UpdaterDisplayInterface& d)
    : server_url(url ? url : ""), updater_directory(directory ? directory : ""), display(d),
      restart_wait_s(RestartWaitFromEnvironment())
{
}

Updater::~Updater() {}
