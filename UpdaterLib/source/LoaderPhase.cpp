#include "LoaderPhase.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "KeyValueStore.h"
#include "Log.h"
#include "UpdaterStore.h"
#include "UpdaterStoreItem.h"
#include "aDirectory.h"

namespace {

const char* const STATE_ENTERED = "entered";
const char* const STATE_FAILED = "failed";

std::string sValue(const std::map<std::string, std::string>& settings, const char* key)
{
    const auto found = settings.find(key);
    return found == settings.end() ? std::string() : found->second;
}

std::string sSerial(unsigned int serial_number)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial_number);
    return text;
}

// "1234ABCD (501.bird, build 501)"
std::string sDescribe(const LoaderPhase& phase)
{
    std::string text = sSerial(phase.serial_number) + " (" + phase.file;
    if (phase.build != 0 && phase.file != std::to_string(phase.build) + ".bird")
        text += ", build " + std::to_string(phase.build);
    return text + ")";
}

std::string sWhere(linkType transport, uint32_t address)
{
    std::string text = std::string("over ") + LoaderPhaseTransportName(transport);
    if (transport == TCPIP)
        text += " at " + LoaderPhaseAddressText(address);
    return text;
}

std::string sSerialList(const std::vector<LoaderPhase>& phases)
{
    std::string text;
    for (size_t i = 0; i < phases.size(); i++) {
        if (i > 0)
            text += i + 1 == phases.size() ? " and " : ", ";
        text += sSerial(phases[i].serial_number);
    }
    return text;
}

const uint32_t kLoaderSerialNumber = 0xDEADDEAD;

// One to `digits` hexadecimal digits, nothing else.
bool sParseHex(const std::string& text, size_t digits, uint32_t* value)
{
    if (text.empty() || text.size() > digits || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = (uint32_t)std::stoul(text, nullptr, 16);
    return true;
}

}  // namespace

const char* LoaderPhaseTransportName(linkType transport)
{
    return transport == USB ? "USB" : transport == TCPIP ? "TCPIP" : "Unknown";
}

std::string LoaderPhaseAddressText(uint32_t address)
{
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&address);
    char text[20];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return text;
}

bool LoaderPhaseParseTransport(const std::string& text, linkType* transport)
{
    if (text == "USB")
        *transport = USB;
    else if (text == "TCPIP")
        *transport = TCPIP;
    else
        return false;
    return true;
}

bool LoaderPhaseParseAddress(const std::string& text, uint32_t* address)
{
    in_addr parsed{};
    if (text.empty() || inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    *address = parsed.s_addr;
    return true;
}

std::vector<std::pair<std::string, std::string>> LoaderPhaseValues(const LoaderPhase& phase)
{
    using namespace LoaderPhaseKey;
    std::vector<std::pair<std::string, std::string>> values;
    values.emplace_back(STATE, phase.failed ? STATE_FAILED : STATE_ENTERED);
    values.emplace_back(FIRMWARE_FILE, phase.file);
    values.emplace_back(BUILD, phase.build != 0 ? std::to_string(phase.build) : std::string());
    values.emplace_back(STORED, phase.stored ? "1" : "0");
    values.emplace_back(TRANSPORT, LoaderPhaseTransportName(phase.transport));
    values.emplace_back(ADDRESS, phase.transport == TCPIP ? LoaderPhaseAddressText(phase.address) : std::string());
    char module[8];
    snprintf(module, sizeof(module), "%02X", phase.module_address);
    values.emplace_back(ROUTER, phase.router_serial_number != 0 ? sSerial(phase.router_serial_number) : std::string());
    values.emplace_back(MODULE, phase.router_serial_number != 0 ? std::string(module) : std::string());
    values.emplace_back(REASON, phase.reason);
    values.emplace_back(DATE, phase.date);
    return values;
}

std::vector<std::pair<std::string, std::string>> LoaderPhaseClearedValues()
{
    using namespace LoaderPhaseKey;
    std::vector<std::pair<std::string, std::string>> values;
    for (const char* key : {STATE, FIRMWARE_FILE, BUILD, STORED, TRANSPORT, ADDRESS, ROUTER, MODULE, REASON, DATE})
        values.emplace_back(key, std::string());
    return values;
}

bool LoaderPhaseFromSettings(const std::map<std::string, std::string>& settings, unsigned int serial_number,
                             LoaderPhase* phase)
{
    using namespace LoaderPhaseKey;
    const std::string state = sValue(settings, STATE);
    if (state != STATE_ENTERED && state != STATE_FAILED)
        return false;
    LoaderPhase read;
    read.serial_number = serial_number;
    read.failed = state == STATE_FAILED;
    read.file = sValue(settings, FIRMWARE_FILE);
    read.stored = sValue(settings, STORED) == "1";
    const std::string build = sValue(settings, BUILD);
    if (!build.empty() && build.find_first_not_of("0123456789") == std::string::npos && build.size() <= 10) {
        const unsigned long long value = std::stoull(build);
        read.build = value <= 0xFFFFFFFFull ? (unsigned int)value : 0;
    }
    if (read.file.empty() || (read.stored && read.build == 0))
        return false;
    if (!LoaderPhaseParseTransport(sValue(settings, TRANSPORT), &read.transport))
        return false;
    if (read.transport == TCPIP && !LoaderPhaseParseAddress(sValue(settings, ADDRESS), &read.address))
        return false;
    const std::string router = sValue(settings, ROUTER);
    if (!router.empty()) {
        const std::string module = sValue(settings, MODULE);
        if (!sParseHex(router, 8, &read.router_serial_number) || read.router_serial_number == 0)
            return false;
        uint32_t address = 0;
        if (!sParseHex(module, 2, &address) || address == 0)
            return false;
        read.module_address = (uint8_t)address;
    }
    read.reason = sValue(settings, REASON);
    read.date = sValue(settings, DATE);
    *phase = read;
    return true;
}

std::vector<LoaderPhase> LoaderPhasesReachedAt(const std::vector<LoaderPhase>& phases, linkType transport,
                                               uint32_t address)
{
    std::vector<LoaderPhase> matching;
    for (const LoaderPhase& phase : phases)
        if (phase.router_serial_number == 0 && phase.transport == transport &&
            (transport != TCPIP || phase.address == address))
            matching.push_back(phase);
    return matching;
}

bool LoaderPhaseReachedBy(const LoaderPhase& phase, const linkSpec& spec)
{
    return phase.router_serial_number == 0 && spec.type == phase.transport &&
           (phase.transport != TCPIP || spec.t.ip.ip_address == phase.address);
}

std::string LoaderPhaseFinishCommand(const LoaderPhase& phase)
{
    return "updater -U -d " + sSerial(phase.serial_number);
}

std::string LoaderPhaseBuildProblem(const LoaderPhase& phase, unsigned int given_build, bool override)
{
    if (override || phase.build == 0 || given_build == phase.build)
        return std::string();
    return "the firmware given is build " + std::to_string(given_build) + ", the unfinished update of " +
           sSerial(phase.serial_number) + " was with build " + std::to_string(phase.build) +
           " (-OVERRIDE sends it anyway)";
}

std::string LoaderPhaseAmbiguity(const LoaderPhase& finishing, const std::vector<LoaderPhase>& phases)
{
    std::vector<LoaderPhase> same = LoaderPhasesReachedAt(phases, finishing.transport, finishing.address);
    bool others = false;
    bool self = false;
    for (const LoaderPhase& phase : same) {
        if (phase.serial_number == finishing.serial_number)
            self = true;
        else
            others = true;
    }
    if (!others)
        return std::string();
    if (!self)
        same.insert(same.begin(), finishing);
    return "the loader found under " + sSerial(kLoaderSerialNumber) + " " + sWhere(finishing.transport, finishing.address) +
           " may be any of the devices with an unfinished update: " + sSerialList(same) +
           "; not guessing which";
}

std::string LoaderSerialRefusal(const std::vector<LoaderPhase>& phases)
{
    std::string text = sSerial(kLoaderSerialNumber) + " is the serial number of a device in its loader, not of a device";
    if (phases.empty())
        return text + "; no unfinished update is recorded";
    text += "; the unfinished update";
    text += phases.size() == 1 ? " is of " : "s are of ";
    for (size_t i = 0; i < phases.size(); i++) {
        if (i > 0)
            text += i + 1 == phases.size() ? " and " : ", ";
        text += sDescribe(phases[i]);
    }
    if (phases.size() == 1)
        return text + ": finish it with " + LoaderPhaseFinishCommand(phases.front());
    return text + ": finish each with updater -U -d SERIAL";
}

std::vector<std::string> LoaderExplanation(unsigned int serial_number, linkType transport, uint32_t address,
                                           const std::vector<LoaderPhase>& phases, uint32_t router_serial_number,
                                           uint8_t module_address)
{
    std::vector<std::string> lines;
    if (serial_number != kLoaderSerialNumber) {
        for (const LoaderPhase& phase : phases) {
            if (phase.serial_number != serial_number)
                continue;
            lines.push_back(sSerial(serial_number) + " in loader: the update with " + phase.file +
                            " did not finish; finish it with " + LoaderPhaseFinishCommand(phase));
        }
        return lines;
    }
    std::vector<LoaderPhase> reached;
    std::string where;
    if (router_serial_number == 0) {
        reached = LoaderPhasesReachedAt(phases, transport, address);
        where = sWhere(transport, address);
    } else {
        for (const LoaderPhase& phase : phases)
            if (phase.router_serial_number == router_serial_number && phase.module_address == module_address)
                reached.push_back(phase);
        char module[8];
        snprintf(module, sizeof(module), "%02X", module_address);
        where = std::string("at module ") + module + " behind router " + sSerial(router_serial_number);
    }
    const std::string head = sSerial(serial_number) + " in loader " + where + ": ";
    if (reached.empty()) {
        lines.push_back(head + "no unfinished update is recorded for it");
    } else if (reached.size() == 1) {
        const LoaderPhase& phase = reached.front();
        lines.push_back(head + "the unfinished update of " + sDescribe(phase) +
                        (phase.reason.empty() ? std::string(", interrupted") : ", stopped: " + phase.reason));
        lines.push_back("    finish it with " + LoaderPhaseFinishCommand(phase));
    } else {
        lines.push_back(head + "unfinished updates of " + sSerialList(reached) +
                        " were recorded here; it may be any of them");
    }
    return lines;
}

std::string LoaderPhaseInterruption(const LoaderPhase& phase)
{
    return "interrupted in the loader phase" + (phase.date.empty() ? std::string() : " entered " + phase.date);
}

namespace {

struct ListContext {
    std::string root;
    std::vector<LoaderPhase>* phases;
};

bool sReadPhase(const aDirectoryListData* entry, void* context)
{
    ListContext* list = static_cast<ListContext*>(context);
    if (entry->type != 1)
        return true;
    const char* slash = strrchr(entry->path, '/');
    const std::string name = slash ? slash + 1 : entry->path;
    if (name.size() != 8 || name.find_first_not_of("0123456789ABCDEF") != std::string::npos)
        return true;
    const unsigned int serial_number = (unsigned int)std::stoul(name, nullptr, 16);
    const KeyValueStore settings((std::string(entry->path) + "/" + KeyValueStore::DEFAULT_FILENAME).c_str());
    LoaderPhase phase;
    if (LoaderPhaseFromSettings(settings.Entries(), serial_number, &phase))
        list->phases->push_back(phase);
    return true;
}

}  // namespace

std::vector<LoaderPhase> LoaderPhaseStore::All(const std::string& root)
{
    std::vector<LoaderPhase> phases;
    if (!aDirectory_Exists(root.c_str()))
        return phases;
    ListContext context{root, &phases};
    aDirectory_List(root.c_str(), sReadPhase, &context);
    std::sort(phases.begin(), phases.end(),
              [](const LoaderPhase& a, const LoaderPhase& b) { return a.serial_number < b.serial_number; });
    return phases;
}

std::string LoaderPhaseStore::Write(UpdaterStoreItem& item,
                                    const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& value : values)
        if (!item.Settings().Add(value.first.c_str(), value.second))
            return "the value of " + value.first + " cannot be stored in a settings file";
    if (!item.Settings().Save())
        return item.Settings().LastError();
    return std::string();
}
