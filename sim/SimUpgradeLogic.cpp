// The simulated upgrade entity.
#include "SimUpgradeLogic.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

const uint8_t kCmdUpgrade = 0x5F;
enum : uint8_t { opInit = 0, opData = 1, opLoad = 2, opPrepare = 3, opSum = 4, opWrite = 5, opReboot = 6, opStatus = 7 };

// SIGKILL to the process whose id the file holds (a test's program, never this process).
void sKillFromPidFile(const std::string& path)
{
    std::ifstream in(path);
    long pid = 0;
    if (!(in >> pid) || pid <= 1 || pid == (long)getpid()) {
        fprintf(stderr, "sxsim: no process id to stop in %s\n", path.c_str());
        return;
    }
    kill((pid_t)pid, SIGKILL);
}

}  // namespace

SimUpgradeLogic::SimUpgradeLogic(const SimUpgradeConfig& config, SimDeviceLogic* inner, uint32_t serialNumber)
    : config_(config), inner_(inner), serialNumber_(serialNumber)
{
    inLoader_ = config.startsInLoader;
}

void SimUpgradeLogic::SetAwayHook(AwayHook hook)
{
    std::lock_guard<std::mutex> lock(mutex_);
    away_ = std::move(hook);
}

void SimUpgradeLogic::SetRunningHook(RunningHook hook)
{
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = std::move(hook);
}

std::vector<uint8_t> SimUpgradeLogic::FirmwareTag(uint32_t build, uint32_t version)
{
    std::vector<uint8_t> tag = {'S', 'X', 'F', 'W'};
    for (uint32_t word : {build, version})
        for (int shift = 0; shift < 32; shift += 8)
            tag.push_back((uint8_t)(word >> shift));
    return tag;
}

bool SimUpgradeLogic::FindFirmwareTag(const std::vector<SimUpgradeBlock>& firmware, uint32_t* build,
                                      uint32_t* version)
{
    static const uint8_t magic[] = {'S', 'X', 'F', 'W'};
    for (const SimUpgradeBlock& block : firmware) {
        const std::vector<uint8_t>& b = block.bytes;
        auto at = std::search(b.begin(), b.end(), magic, magic + 4);
        if (at == b.end() || b.end() - at < 12)
            continue;
        const size_t i = (size_t)(at - b.begin()) + 4;
        auto word = [&b](size_t k) {
            return (uint32_t)b[k] | ((uint32_t)b[k + 1] << 8) | ((uint32_t)b[k + 2] << 16) | ((uint32_t)b[k + 3] << 24);
        };
        *build = word(i);
        *version = word(i + 4);
        return true;
    }
    return false;
}

void SimUpgradeLogic::SetConfig(const SimUpgradeConfig& config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
}

void SimUpgradeLogic::OnPacket(SimDevice& device, const SimPacket& packet)
{
    if (!Take(device, packet) && inner_)
        inner_->OnPacket(device, packet);
}

void SimUpgradeLogic::OnLinkOpen(SimDevice& device)
{
    bool announce = false;
    uint8_t address = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        announce = announce_;
        announce_ = false;
        address = announceAddress_;
    }
    if (announce)
        device.Send(SimPacket::Make(address, {kCmdUpgrade, opLoad}));
    if (inner_)
        inner_->OnLinkOpen(device);
}

void SimUpgradeLogic::OnLinkClose(SimDevice& device)
{
    if (inner_)
        inner_->OnLinkClose(device);
}

void SimUpgradeLogic::OnConnect(SimDevice& device)
{
    if (inner_)
        inner_->OnConnect(device);
}

void SimUpgradeLogic::OnDisconnect(SimDevice& device)
{
    if (inner_)
        inner_->OnDisconnect(device);
}

void SimUpgradeLogic::OnTick(SimDevice& device)
{
    if (inner_)
        inner_->OnTick(device);
}

void SimUpgradeLogic::Answer(SimDevice& device, uint8_t address, std::initializer_list<uint8_t> bytes, uint8_t op)
{
    if (op == config_.muteOp && opCount_[op] == config_.muteAt) {
        if (!config_.muteKillsPidFile.empty())
            sKillFromPidFile(config_.muteKillsPidFile);
        return;
    }
    device.Send(SimPacket::Make(address, bytes));
}

void SimUpgradeLogic::GoAway(SimDevice& device, int ms, uint32_t serial)
{
    AwayHook hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook = away_;
    }
    if (hook)
        hook(device, ms, serial);
    else
        device.GoAway(ms);
}

bool SimUpgradeLogic::Take(SimDevice& device, const SimPacket& packet)
{
    if (packet.length < 2 || packet.data[0] != kCmdUpgrade || packet.data[1] > opStatus)
        return false;
    const uint8_t op = packet.data[1];
    const uint8_t address = packet.address;
    int away = 0;
    uint32_t awaySerial = 0;
    RunningHook started;  // a REBOOT that starts tagged firmware
    uint32_t startedBuild = 0, startedVersion = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int count = ++opCount_[op];
        switch (op) {
        case opInit: {
            stats_.inits++;
            pending_.clear();
            const uint32_t b = config_.loadBase;
            Answer(device, address, {kCmdUpgrade, opInit, (uint8_t)(b >> 24), (uint8_t)(b >> 16), (uint8_t)(b >> 8), (uint8_t)b},
                   op);
            break;
        }
        case opPrepare: {
            stats_.prepares++;
            if (packet.length < 7 || count == config_.refusePrepareAt) {
                Answer(device, address, {kCmdUpgrade, opStatus, 1, 0, 0}, op);
                break;
            }
            SimUpgradeBlock block;
            block.flags = packet.data[2];
            block.address = ((uint32_t)packet.data[3] << 24) | ((uint32_t)packet.data[4] << 16) |
                            ((uint32_t)packet.data[5] << 8) | packet.data[6];
            (inLoader_ ? firmware_ : loader_).push_back(block);
            pending_.clear();
            unwritten_.clear();
            const uint16_t size = config_.blockSize;
            Answer(device, address, {kCmdUpgrade, opStatus, 0, (uint8_t)(size >> 8), (uint8_t)size}, op);
            break;
        }
        case opData: {
            const uint8_t n = (uint8_t)(packet.length - 2);
            stats_.dataPackets++;
            stats_.dataLengths.push_back(n);
            const bool wrong = config_.wrongCountAt > 0 && count >= config_.wrongCountAt &&
                               (config_.wrongCountTimes < 0 || count < config_.wrongCountAt + config_.wrongCountTimes);
            if (wrong) {
                Answer(device, address, {kCmdUpgrade, opData, (uint8_t)(n - 1)}, op);
                break;
            }
            pending_.insert(pending_.end(), packet.data + 2, packet.data + 2 + n);
            if (inLoader_)
                unwritten_.insert(unwritten_.end(), packet.data + 2, packet.data + 2 + n);
            else if (!loader_.empty())
                loader_.back().bytes.insert(loader_.back().bytes.end(), packet.data + 2, packet.data + 2 + n);
            Answer(device, address, {kCmdUpgrade, opData, n}, op);
            break;
        }
        case opSum: {
            stats_.sums++;
            uint32_t sum = 0;
            for (uint8_t b : pending_)
                sum += b;
            pending_.clear();
            if (count == config_.badSumAt)
                sum += 1;
            Answer(device, address,
                   {kCmdUpgrade, opStatus, 0, (uint8_t)(sum >> 24), (uint8_t)(sum >> 16), (uint8_t)(sum >> 8), (uint8_t)sum},
                   op);
            break;
        }
        case opWrite: {
            const uint32_t n = packet.length >= 4 ? ((uint32_t)packet.data[2] << 8) | packet.data[3] : 0;
            stats_.writes++;
            stats_.writeLengths.push_back(n);
            uint8_t status = 1;
            if (inLoader_ && !firmware_.empty() && n == unwritten_.size()) {
                firmware_.back().bytes.insert(firmware_.back().bytes.end(), unwritten_.begin(), unwritten_.end());
                status = 0;
            }
            unwritten_.clear();
            pending_.clear();
            Answer(device, address, {kCmdUpgrade, opStatus, status}, op);
            break;
        }
        case opLoad:
            stats_.loads++;
            inLoader_ = true;
            if (config_.loadAwayMs == 0) {
                Answer(device, address, {kCmdUpgrade, opLoad}, op);
            } else {
                announce_ = true;
                announceAddress_ = address;
                away = config_.loadAwayMs;
                awaySerial = config_.loaderSerial ? config_.loaderSerial : serialNumber_;
            }
            break;
        case opReboot:
            if (config_.neverReboots)
                break;
            stats_.reboots++;
            inLoader_ = false;
            away = config_.rebootAwayMs == 0 ? 1 : config_.rebootAwayMs;
            awaySerial = serialNumber_;
            if (!config_.rebootKeepsBuild && running_ && FindFirmwareTag(firmware_, &startedBuild, &startedVersion))
                started = running_;
            break;
        default:
            break;  // a status is never a request
        }
    }
    if (started)
        started(startedBuild, startedVersion);
    if (away != 0)
        GoAway(device, away, awaySerial);
    return true;
}

std::vector<SimUpgradeBlock> SimUpgradeLogic::Loader() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return loader_;
}

std::vector<SimUpgradeBlock> SimUpgradeLogic::Firmware() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_;
}

SimUpgradeStats SimUpgradeLogic::Stats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

bool SimUpgradeLogic::InLoader() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return inLoader_;
}

const char* SimUpgradeLogic::Usage()
{
    return "  --block-size N            block size answered by PREPARE (default 1024)\n"
           "  --load-away-ms N          after LOAD drop the link, be away N ms (-1: for good), then\n"
           "                            announce the loader\n"
           "  --loader-serial HEX       serial number the loader answers discovery under\n"
           "  --reboot-away-ms N        time away after REBOOT (default 300)\n"
           "  --fault-wrong-count AT[:TIMES]  from the AT-th DATA on answer a wrong count TIMES times\n"
           "                            (default: always)\n"
           "  --fault-mute OP:AT        no answer to the AT-th request of operation OP\n"
           "  --fault-mute-kills FILE   ...and SIGKILL to the process whose id FILE holds\n"
           "  --fault-bad-sum AT        the AT-th SUM reports a wrong checksum\n"
           "  --fault-refuse-prepare AT the AT-th PREPARE is refused\n"
           "  --fault-never-reboots     REBOOT is ignored\n"
           "  --reboot-old-build        after REBOOT still run the old build (default: the build the\n"
           "                            firmware carries; --reboot-away-ms -1: never come back)\n";
}

int SimUpgradeLogic::ParseOption(int argc, char** argv, int& i, SimUpgradeConfig& config)
{
    const std::string arg = argv[i];
    static const char* const withValue[] = {"--block-size",      "--load-away-ms",  "--loader-serial",
                                            "--reboot-away-ms",  "--fault-wrong-count", "--fault-mute",
                                            "--fault-bad-sum",   "--fault-refuse-prepare"};
    if (arg == "--fault-mute-kills") {
        if (i + 1 >= argc) {
            fprintf(stderr, "sxsim_device: %s needs a value\n", arg.c_str());
            return -1;
        }
        config.muteKillsPidFile = argv[++i];
        return 1;
    }
    if (arg == "--fault-never-reboots") {
        config.neverReboots = true;
        return 1;
    }
    if (arg == "--reboot-old-build") {
        config.rebootKeepsBuild = true;
        return 1;
    }
    bool known = false;
    for (const char* name : withValue)
        known = known || arg == name;
    if (!known)
        return 0;
    if (i + 1 >= argc) {
        fprintf(stderr, "sxsim_device: %s needs a value\n", arg.c_str());
        return -1;
    }
    const char* text = argv[++i];
    char* end = nullptr;
    long first = strtol(text, &end, arg == "--loader-serial" ? 16 : 10);
    long second = -1;
    if (end != text && *end == ':' && (arg == "--fault-wrong-count" || arg == "--fault-mute")) {
        const char* rest = end + 1;
        second = strtol(rest, &end, 10);
        if (end == rest)
            end = nullptr;
    }
    if (end == nullptr || end == text || *end != '\0') {
        fprintf(stderr, "sxsim_device: bad value for %s: %s\n", arg.c_str(), text);
        return -1;
    }
    if (arg == "--block-size") {
        config.blockSize = (uint16_t)first;
    } else if (arg == "--load-away-ms") {
        config.loadAwayMs = (int)first;
    } else if (arg == "--loader-serial") {
        config.loaderSerial = (uint32_t)strtoul(text, nullptr, 16);
    } else if (arg == "--reboot-away-ms") {
        config.rebootAwayMs = (int)first;
    } else if (arg == "--fault-wrong-count") {
        config.wrongCountAt = (int)first;
        config.wrongCountTimes = (int)second;
    } else if (arg == "--fault-mute") {
        if (second < 1) {
            fprintf(stderr, "sxsim_device: --fault-mute needs OP:AT\n");
            return -1;
        }
        config.muteOp = (uint8_t)first;
        config.muteAt = (int)second;
    } else if (arg == "--fault-bad-sum") {
        config.badSumAt = (int)first;
    } else {
        config.refusePrepareAt = (int)first;
    }
    return 1;
}

static void sWriteBlocks(std::ostringstream& out, const char* kind, const std::vector<SimUpgradeBlock>& blocks)
{
    static const char hex[] = "0123456789ABCDEF";
    for (const SimUpgradeBlock& block : blocks) {
        char head[64];
        snprintf(head, sizeof(head), "%s %08X %02X ", kind, block.address, block.flags);
        out << head;
        for (uint8_t b : block.bytes)
            out << hex[b >> 4] << hex[b & 15];
        out << "\n";
    }
}

bool SimUpgradeLogic::WriteRecord(const std::string& path) const
{
    std::ostringstream out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sWriteBlocks(out, "loader", loader_);
        sWriteBlocks(out, "firmware", firmware_);
        out << "writes";
        for (uint32_t n : stats_.writeLengths)
            out << " " << n;
        out << "\nreboots " << stats_.reboots << "\n";
        out << "inits " << stats_.inits << "\nloads " << stats_.loads << "\n";
    }
    const std::string temporary = path + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << out.str();
        if (!file.flush())
            return false;
    }
    return rename(temporary.c_str(), path.c_str()) == 0;
}

bool SimUpgradeLogic::ReadRecord(const std::string& path, std::vector<SimUpgradeBlock>& loader,
                                 std::vector<SimUpgradeBlock>& firmware, int* reboots, int* inits, int* loads)
{
    std::ifstream file(path);
    if (!file)
        return false;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind, address, flags, bytes;
        words >> kind;
        if (kind == "reboots" && reboots) {
            words >> *reboots;
            continue;
        }
        if (kind == "inits" || kind == "loads") {
            int* count = kind == "inits" ? inits : loads;
            if (count)
                words >> *count;
            continue;
        }
        if (kind != "loader" && kind != "firmware")
            continue;
        words >> address >> flags >> bytes;
        SimUpgradeBlock block;
        block.address = (uint32_t)strtoul(address.c_str(), nullptr, 16);
        block.flags = (uint8_t)strtoul(flags.c_str(), nullptr, 16);
        for (size_t k = 0; k + 1 < bytes.size(); k += 2)
            block.bytes.push_back((uint8_t)strtoul(bytes.substr(k, 2).c_str(), nullptr, 16));
        (kind == "loader" ? loader : firmware).push_back(block);
    }
    return true;
}
