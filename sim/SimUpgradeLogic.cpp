// The simulated upgrade entity.
#include "SimUpgradeLogic.h"

namespace {

const uint8_t kCmdUpgrade = 0x5F;
enum : uint8_t { opInit = 0, opData = 1, opLoad = 2, opPrepare = 3, opSum = 4, opWrite = 5, opReboot = 6, opStatus = 7 };

}  // namespace

SimUpgradeLogic::SimUpgradeLogic(const SimUpgradeConfig& config, SimDeviceLogic* inner, uint32_t serialNumber)
    : config_(config), inner_(inner), serialNumber_(serialNumber)
{
}

void SimUpgradeLogic::SetAwayHook(AwayHook hook)
{
    std::lock_guard<std::mutex> lock(mutex_);
    away_ = std::move(hook);
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
    if (op == config_.muteOp && opCount_[op] == config_.muteAt)
        return;
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
        device.DropConnection();
}

bool SimUpgradeLogic::Take(SimDevice& device, const SimPacket& packet)
{
    if (packet.length < 2 || packet.data[0] != kCmdUpgrade || packet.data[1] > opStatus)
        return false;
    const uint8_t op = packet.data[1];
    const uint8_t address = packet.address;
    int away = 0;
    uint32_t awaySerial = 0;
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
            break;
        default:
            break;  // a status is never a request
        }
    }
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
