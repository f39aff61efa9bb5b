#include "SimStreamLogic.h"

#include <algorithm>

namespace {

const uint8_t kOptionEnable = 1;
const uint8_t kOptionDisable = 2;
const uint8_t kStreamFlag = 0x40;
const uint8_t kWildcard = 0xFF;

// Error codes the firmware sends back (the host's aErr numbering).
const uint8_t kErrParam = 2;
const uint8_t kErrSize = 14;
const uint8_t kErrIndexRange = 26;
const uint8_t kErrInvalidOption = 29;

uint8_t sElement(uint32_t key, int shift)
{
    return (uint8_t)(key >> shift);
}

// Whether the wanted element (0xFF: any) takes the value.
bool sTakes(uint8_t wanted, uint8_t value)
{
    return wanted == kWildcard || wanted == value;
}

void sPutInt(SimPacket& p, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        p.data[p.length++] = (uint8_t)(value >> shift);
}

void sSendError(SimDevice& device, uint8_t address, const SimPacket& request, uint8_t code)
{
    uint8_t option = (uint8_t)(request.data[1] & 0x3F);
    if (request.data[1] & 0x80)
        option |= 0xC0;
    device.Send(SimPacket::Make(address, {request.data[0], option, (uint8_t)((request.data[2] & 0x1F) | 0x80), code}));
}

}  // namespace

SimStreamLogic::SimStreamLogic() : start_(std::chrono::steady_clock::now())
{
}

void SimStreamLogic::SetPeriod(int ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    periodMs_ = ms < 0 ? 0 : ms;
    nextDueMs_ = 0;
}

int64_t SimStreamLogic::NowMs() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - start_).count();
}

void SimStreamLogic::HandleCommand(SimDevice& device, uint8_t address, const SimPacket& packet)
{
    if (packet.length < 3) {
        SimPacket padded = packet;
        padded.data[1] = packet.length > 1 ? packet.data[1] : 0x40;
        padded.data[2] = 0;
        sSendError(device, address, padded, kErrSize);
        return;
    }
    const uint8_t option = packet.data[1] & 0x3F;
    const uint8_t kind = packet.data[1] & 0xC0;
    if ((packet.data[2] & 0x1F) != 0) {
        sSendError(device, address, packet, kErrIndexRange);
        return;
    }
    if (kind == 0x40) {
        if (option != kOptionEnable || packet.length != 3) {
            sSendError(device, address, packet, option != kOptionEnable ? kErrInvalidOption : kErrSize);
            return;
        }
        device.Send(SimPacket::Make(address, {kCommand, option, 0, (uint8_t)(Streaming(address) ? 1 : 0)}));
        return;
    }
    if (kind != 0x80 || (option != kOptionEnable && option != kOptionDisable)) {
        sSendError(device, address, packet, kErrInvalidOption);
        return;
    }
    if (packet.length != 7) {
        sSendError(device, address, packet, kErrSize);
        return;
    }
    const uint32_t key = ((uint32_t)packet.data[3] << 24) | ((uint32_t)packet.data[4] << 16) |
                         ((uint32_t)packet.data[5] << 8) | packet.data[6];
    // A module streams its own options only.
    if (sElement(key, 24) != address) {
        sSendError(device, address, packet, kErrParam);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (option == kOptionEnable) {
            if (std::find(subscriptions_.begin(), subscriptions_.end(), key) == subscriptions_.end())
                subscriptions_.push_back(key);
        } else {
            // Stops every subscription the key covers.
            subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                                                [key](uint32_t s) {
                                                    for (int shift = 0; shift < 32; shift += 8)
                                                        if (!sTakes(sElement(key, shift), sElement(s, shift)))
                                                            return false;
                                                    return true;
                                                }),
                                 subscriptions_.end());
        }
    }
    device.Send(SimPacket::Make(address, {kCommand, (uint8_t)(option | 0xC0), 0}));
}

bool SimStreamLogic::Covered(const SimStreamSource& source) const
{
    for (uint32_t s : subscriptions_) {
        if (sElement(s, 24) == source.module && sTakes(sElement(s, 16), source.command) &&
            sTakes(sElement(s, 8), source.option) && sTakes(sElement(s, 0), source.index))
            return true;
    }
    return false;
}

void SimStreamLogic::SendSample(SimDevice& device, const SimStreamSource& source)
{
    using namespace std::chrono;
    const uint64_t stamp = (uint64_t)duration_cast<microseconds>(steady_clock::now() - start_).count();
    SimPacket p;
    p.address = source.module;
    p.data[p.length++] = source.command;
    p.data[p.length++] = (uint8_t)(source.option & 0x3F);
    p.data[p.length++] = (uint8_t)((source.index & 0x1F) | kStreamFlag);
    p.data[p.length++] = source.type;
    sPutInt(p, (uint32_t)(stamp >> 32));
    sPutInt(p, (uint32_t)stamp);
    switch (source.type) {
    case 1:
        p.data[p.length++] = (uint8_t)source.value;
        break;
    case 2:
        p.data[p.length++] = (uint8_t)(source.value >> 8);
        p.data[p.length++] = (uint8_t)source.value;
        break;
    default:
        sPutInt(p, source.value);
        break;
    }
    p.data[p.length++] = 0;  // a single sample
    device.Send(p);
    samplesSent_++;
}

void SimStreamLogic::OnChange(SimDevice& device, const SimStreamSource& source)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (Covered(source))
        SendSample(device, source);
}

void SimStreamLogic::OnTick(SimDevice& device, const std::vector<SimStreamSource>& sources)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (periodMs_ == 0 || subscriptions_.empty())
        return;
    const int64_t now = NowMs();
    if (now < nextDueMs_)
        return;
    nextDueMs_ = now + periodMs_;
    for (const SimStreamSource& source : sources)
        if (Covered(source))
            SendSample(device, source);
}

void SimStreamLogic::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.clear();
}

bool SimStreamLogic::Streaming(uint8_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t s : subscriptions_)
        if (sElement(s, 24) == address)
            return true;
    return false;
}

uint64_t SimStreamLogic::SamplesSent() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return samplesSent_;
}

std::vector<uint32_t> SimStreamLogic::Subscriptions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return subscriptions_;
}
