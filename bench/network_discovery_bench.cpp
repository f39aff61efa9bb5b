// Discovery of the modules behind a router (`updater -D -r`): the program, with a private home,
// inside a private network namespace where a simulated router with two modules (at 4 and 10)
// leaves the other 124 addresses of its module network silent. Prints the wall time of each
// run and checks that both modules were listed. A second figure: the same router answering
// every packet 400 ms late.
// Usage: network_discovery_bench [runs]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "IsolatedHome.h"
#include "NetNamespace.h"
#include "Process.h"

namespace {

std::unique_ptr<BackgroundProcess> sStartRouter(const NetNamespace& ns, const std::vector<std::string>& extra)
{
    std::vector<std::string> argv = ns.Prefix();
    argv.push_back(std::string(UPDATER_BUILD_DIR) + "/sim/sxsim_device");
    for (const char* word : {"--tcp", "0", "--any-address", "--discover", "--system", "--idle-timeout-s", "120",
                             "--serial", "00000100", "--module", "254", "--model", "16", "--network-module",
                             "4:00000104:18", "--network-module", "10:0000010A:21"})
        argv.push_back(word);
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto router = std::make_unique<BackgroundProcess>(argv);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (router->Output().find("tcp ") == std::string::npos && router->running() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return router;
}

// Runs -D -r `runs` times; false when a run did not list both modules.
bool sMeasure(const char* label, NetNamespace& ns, IsolatedHome& home, const std::vector<std::string>& extra, int runs)
{
    auto router = sStartRouter(ns, extra);
    if (router->Output().find("tcp ") == std::string::npos) {
        fprintf(stderr, "network_discovery_bench: the simulated router did not start\n");
        return false;
    }
    bool ok = true;
    for (int i = 0; i < runs; i++) {
        const auto start = std::chrono::steady_clock::now();
        ProcessResult r = home.Run({"-D", "-r", "00000100", "-t", "TCPIP"}, ns.name());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool both = r.exit_code == 0 && r.out.find("00000104  04") != std::string::npos &&
                          r.out.find("0000010A  0A") != std::string::npos;
        printf("%-44s run %d: %6.2f s%s\n", label, i + 1, seconds, both ? "" : "  (modules missing)");
        ok = ok && both;
    }
    router->Stop();
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 3;
    if (runs < 1) {
        fprintf(stderr, "usage: network_discovery_bench [runs >= 1]\n");
        return 2;
    }
    NetNamespace ns;
    if (!ns.ok() || ns.Run({"ip", "addr", "add", "10.77.0.1/24", "dev", "lo"}).exit_code != 0) {
        fprintf(stderr, "network_discovery_bench: no network namespace\n");
        return 1;
    }
    IsolatedHome home;
    printf("updater -D -r: 2 modules, 124 addresses of the module network empty\n");
    bool ok = sMeasure("silent empty addresses", ns, home, {}, runs);
    ok = sMeasure("every reply 400 ms late", ns, home, {"--reply-delay-ms", "400"}, runs) && ok;
    return ok ? 0 : 1;
}
