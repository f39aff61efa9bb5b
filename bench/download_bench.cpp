// Downloading a 1 MiB build with "updater -G" from the reference server on 127.0.0.1, against
// the curl program fetching the same request from the same server. Both run as processes
// through the same store-isolation wrapper, so the ratio compares like with like; the figures
// without the wrapper (the download code in this process, curl run directly) come too.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "IsolatedHome.h"
#include "RecordingDisplay.h"
#include "UpdateServerSim.h"
#include "Updater.h"

namespace {

const uint32_t kDevice = 0x40F5849A;
const int kRuns = 10;

double sSeconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main()
{
    std::string build(1024 * 1024, '\0');
    uint32_t x = 12345;
    for (char& c : build) {
        x = x * 1103515245u + 12345u;
        c = (char)(x >> 16);
    }
    UpdateServerSim server;
    server.AddDevice(kDevice, "FW-BENCH");
    server.AddBuild(kDevice, 4242, "1.0.0", build);
    UpdateServerSim::Options options;
    options.idle_timeout_ms = 120000;
    std::string error;
    if (!server.Start(options, &error)) {
        fprintf(stderr, "download_bench: %s\n", error.c_str());
        return 1;
    }
    const std::string url = server.BaseURL();
    const std::string request = url + "?bld=4242&fw=FW-BENCH&no_cal=false&op=bird&sn=40F5849A&";
    IsolatedHome home;
    TempDir out;

    double updaterS = 0, curlS = 0, inProcessS = 0, curlDirectS = 0;
    int failures = 0;
    for (int i = 0; i < kRuns; i++) {
        auto t = std::chrono::steady_clock::now();
        ProcessResult g = home.Run({"-G", "-d", "40F5849A", "-u", url});
        updaterS += sSeconds(t);
        failures += g.exit_code != 0;

        t = std::chrono::steady_clock::now();
        ProcessResult c = home.RunCommand({"curl", "-sS", "-o", out.file("reply"), request});
        curlS += sSeconds(t);
        failures += c.exit_code != 0;

        t = std::chrono::steady_clock::now();
        ProcessResult d = RunProcess({"curl", "-sS", "-o", out.file("reply"), request});
        curlDirectS += sSeconds(t);
        failures += d.exit_code != 0;

        RecordingDisplay display;
        Updater updater(url.c_str(), out.file("store").c_str(), display);
        t = std::chrono::steady_clock::now();
        failures += updater.Download_Firmware(kDevice, "", false, false) != 4242;
        inProcessS += sSeconds(t);
    }
    server.Stop();

    printf("download of a 1 MiB build (%zu bytes of Base64 on the wire), mean of %d runs\n",
           (build.size() + 2) / 3 * 4, kRuns);
    printf("  updater -G (4 requests, decode, store) through isolation: %8.1f ms\n", updaterS / kRuns * 1000);
    printf("  curl, the build request alone, through isolation:         %8.1f ms\n", curlS / kRuns * 1000);
    printf("  ratio updater -G / curl:                                  %8.2f\n", updaterS / curlS);
    printf("  Updater::Download_Firmware in process:                    %8.1f ms\n", inProcessS / kRuns * 1000);
    printf("  curl run directly:                                        %8.1f ms\n", curlDirectS / kRuns * 1000);
    printf("  ratio in process / curl direct:                           %8.2f\n", inProcessS / curlDirectS);
    if (failures)
        printf("  %d runs failed\n", failures);
    return failures ? 1 : 0;
}
