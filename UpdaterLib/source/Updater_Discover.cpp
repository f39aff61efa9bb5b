// Device discovery: the devices reachable over USB or TCP/IP, and the devices behind a router
// on the module network. Discovery prints nothing; what goes wrong with one device is kept in
// its record and never stops the others. The devices found are asked their details at the same
// time, each within its own bound, so silent devices cost the time of one, not of all.
#include <algorithm>
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "Log.h"
#include "NetworkProbe.h"
#include "Module.h"
#include "SystemClass.h"
#include "Updater.h"
#include "Updater_Transfer.h"
#include "aDiscovery.h"
#include "aTime.h"
#include "aVersion.h"

using Vantorix::Strandix::Link;
using Vantorix::Strandix::Module;
using Vantorix::Strandix::SystemClass;

namespace {

constexpr uint8_t kInformation = 0x49;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kFirstNetworkAddress = 2;
// Devices asked at the same time, and how long one may take before it is asked no more.
constexpr size_t kConcurrentDevices = 16;
constexpr uint64_t kDeviceBoundMs = 4000;

bool _discovered_device(const linkSpec* spec, bool* countIt, void* ref)
{
    DeviceInfo info;
    info.spec = *spec;
    static_cast<std::vector<DeviceInfo>*>(ref)->push_back(info);
    *countIt = true;
    return true;
}

struct LinkSearch {
    unsigned int serial_number;
    linkType found;
};

bool _discovered_link(const linkSpec* spec, bool* countIt, void* ref)
{
    LinkSearch* search = static_cast<LinkSearch*>(ref);
    *countIt = true;
    if (spec->serial_number != search->serial_number)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serial_number, (int)spec->type);
    search->found = spec->type;
    return false;
}

linkType _discover_link_type(unsigned int serial_number)
{
    LinkSearch search{serial_number, 0};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search);
    if (search.found == 0)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search);
    return search.found;
}

// The build the device reports; 0 when it gives none. *answered tells whether anything came.
uint32_t _get_build_number(Module& module, bool* answered = nullptr)
{
    if (answered)
        *answered = false;
    Link* link = module.getLink();
    if (!link)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t operand[] = {kBuildQuery};
    if (link->sendPacket(address, kInformation, sizeof(operand), operand) != aErrNone)
        return 0;
    const uint8_t match[] = {kInformation, kBuildQuery};
    uint8_t length = sizeof(match);
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    aErr err = link->receivePacket(address, match, &length, reply);
    if (answered)
        *answered = err != aErrTimeout;
    if (err != aErrNone || length != 6)
        return 0;
    return ((uint32_t)reply[2] << 24) | ((uint32_t)reply[3] << 16) | ((uint32_t)reply[4] << 8) | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone)
        return err;
    info.version_major = (uint8_t)aVersion_ParseMajor(version);
    info.version_minor = (uint8_t)aVersion_ParseMinor(version);
    info.version_patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone)
        return err;
    info.spec.module = address;
    uint8_t router = 0;
    err = system.getRouter(&router);
    if (err != aErrNone)
        return err;
    info.spec.router = router;
    return aErrNone;
}

// Connects one device and asks its build, version, module and router address. A device that
// does not answer, or that has taken its bound, is asked nothing more and keeps the error.
void sInterrogate(DeviceInfo& info)
{
    const uint64_t start = aTime_MonoMS();
    info.model_name = aDefs_GetModelName((int32_t)info.spec.model);
    Module module(kFirstNetworkAddress, 0);
    const linkSpec spec = info.spec;
    aErr err = module.connectFromSpec(spec);
    if (err != aErrNone) {
        info.error = err;
    } else {
        bool answered = false;
        info.build = _get_build_number(module, &answered);
        if (!answered || aTime_MonoMS() - start >= kDeviceBoundMs)
            info.error = aErrTimeout;
        else
            info.error = _get_version(module, info);
    }
    module.disconnect();
}

}  // namespace

aErr _read_running_firmware(Module& module, DeviceInfo& info)
{
    info.build = _get_build_number(module);
    return _get_version(module, info);
}

std::vector<DeviceInfo> Updater::Unique_Devices(const std::vector<DeviceInfo>& devices)
{
    std::vector<DeviceInfo> unique;
    for (const DeviceInfo& device : devices) {
        bool seen = std::any_of(unique.begin(), unique.end(), [&](const DeviceInfo& kept) {
            return kept.spec.type == device.spec.type && kept.spec.serial_number == device.spec.serial_number;
        });
        if (!seen)
            unique.push_back(device);
    }
    return unique;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType transport)
{
    std::vector<DeviceInfo> devices;
    const std::vector<linkType> transports = transport == 0 ? std::vector<linkType>{USB, TCPIP}
                                                            : std::vector<linkType>{transport};
    for (linkType type : transports)
        aDiscovery_EnumerateModules(type, _discovered_device, &devices);
    devices = Unique_Devices(devices);

    // USB devices answer at once or not at all (a silent one costs its bound), and are asked one
    // after another: several threads at once on the simulated USB bus stall it, so a parallel
    // version could not be tested. TCP/IP devices are asked at the same time: workers take the
    // next one until none is left, each writing only its own record.
    std::vector<size_t> network;
    for (size_t i = 0; i < devices.size(); i++) {
        if (devices[i].spec.type == TCPIP)
            network.push_back(i);
        else
            sInterrogate(devices[i]);
    }
    std::atomic<size_t> next{0};
    auto work = [&devices, &network, &next]() {
        for (size_t i = next++; i < network.size(); i = next++)
            sInterrogate(devices[network[i]]);
    };
    std::vector<std::thread> workers;
    const size_t count = std::min(network.size(), kConcurrentDevices);
    for (size_t w = 0; w + 1 < count; w++) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error& e) {
            Log::log(DEBUG_Network, "NETWORK: discovery worker: %s\n", e.what());
            break;
        }
    }
    work();
    for (std::thread& worker : workers)
        worker.join();
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_SXNetwork_Devices(unsigned int router_serial_number, linkType transport)
{
    std::vector<DeviceInfo> devices;
    if (transport == 0)
        transport = _discover_link_type(router_serial_number);
    linkSpec* found = aDiscovery_FindModule(transport, router_serial_number);
    if (!found)
        return devices;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);

    Module router(kFirstNetworkAddress, 0);
    router.connectFromSpec(routerSpec);
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    const uint64_t asked = aTime_GetMSTicks();
    aErr err = routerSystem.routeToMe(1);
    const uint32_t routerReplyMs = (uint32_t)(aTime_GetMSTicks() - asked);
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "NETWORK: Router [%08X] refused to route: %d\n", router_serial_number, (int)err);
        router.disconnect();
        return devices;
    }

    // Which addresses answer, all probed at once; then each module found is asked the rest.
    const std::vector<uint8_t> answered = NetworkProbe::Probe(*router.getLink(), routerReplyMs, display);
    for (unsigned address : answered) {
        Module probe((uint8_t)address, 0);
        probe.connectThroughLinkModule(&router);
        SystemClass system;
        system.init(&probe, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            probe.disconnect();
            continue;
        }
        Log::log(DEBUG_Network, "NETWORK: Module [%08X] at address %u\n", serial, address);
        DeviceInfo info;
        info.spec = routerSpec;  // the router's transport part
        info.spec.type = transport;
        info.spec.serial_number = serial;
        info.spec.module = address;
        info.spec.router = router.getModuleAddress();
        info.spec.router_serial_number = router_serial_number;
        info.spec.model = 0;
        info.build = _get_build_number(probe);
        info.error = _get_version(probe, info);
        uint8_t model = 0;
        err = system.getModel(&model);
        if (err == aErrNone) {
            info.spec.model = model;
            info.model_name = aDefs_GetModelName(model);
        } else {
            info.error = err;
        }
        devices.push_back(info);
        probe.disconnect();
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
