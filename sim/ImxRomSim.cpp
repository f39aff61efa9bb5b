#include "ImxRomSim.h"

#include "aTime.h"

#include <chrono>
#include <cstring>

namespace {

struct Region {
    uint32_t base, size;
};
// ITCM, DTCM, OCRAM and external SDRAM (first 8 MiB).
const Region sRegions[] = {{0x00000000, 0x20000}, {0x20000000, 0x20000}, {0x20200000, 0x40000},
                           {0x80000000, 0x800000}};
const uint32_t OCOTP_CFG0 = 0x401F4410, OCOTP_CFG1 = 0x401F4420;

uint32_t sBE32(const uint8_t* p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }

void sPutLE32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
}

ImxSdpReply sWord(uint32_t v)
{
    ImxSdpReply r;
    r.any = true;
    sPutLE32(r.payload, v);
    return r;
}

}  // namespace

ImxSdpDevice::ImxSdpDevice() {}

void ImxSdpDevice::SetFaults(const ImxRomFaults& f)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults = f;
}

ImxRomFaults ImxSdpDevice::Faults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return faults;
}

uint8_t* ImxSdpDevice::Map(uint32_t address, uint32_t count)
{
    for (const Region& r : sRegions)
        if (address >= r.base && (uint64_t)address + count <= (uint64_t)r.base + r.size) {
            std::vector<uint8_t>& mem = regions_[r.base];
            if (mem.empty())
                mem.assign(r.size, 0);
            return &mem[address - r.base];
        }
    return nullptr;
}

ImxSdpReply ImxSdpDevice::Counted(const ImxSdpReply& reply)
{
    if (reply.any)
        replies_++;
    return reply;
}

ImxSdpReply ImxSdpDevice::Command(const uint8_t* c)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (jumped_)
        return ImxSdpReply();
    commands_.push_back((uint16_t)(c[0] << 8 | c[1]));
    // A hung processor takes nothing in: no data phase starts, no jump happens.
    if (faults.silent || Hung())
        return ImxSdpReply();
    return Counted(Answer(c));
}

ImxSdpReply ImxSdpDevice::Answer(const uint8_t* c)
{
    uint16_t type = (uint16_t)(c[0] << 8 | c[1]);
    uint32_t address = sBE32(c + 2);
    uint8_t format = c[6];
    uint32_t count = sBE32(c + 7);
    uint32_t value = sBE32(c + 11);
    switch (type) {
    case 0x0505:
        return sWord(status_);
    case 0x0101: {
        ImxSdpReply r;
        r.any = true;
        uint32_t words = (count + 3) / 4;
        for (uint32_t i = 0; i < words && i < 1024; i++) {
            uint32_t a = address + 4 * i, v = 0;
            if (a == OCOTP_CFG0)
                v = fuseCfg0;
            else if (a == OCOTP_CFG1)
                v = fuseCfg1;
            else if (uint8_t* m = Map(a, 4))
                memcpy(&v, m, 4);
            sPutLE32(r.payload, v);
        }
        return r;
    }
    case 0x0202: {
        uint32_t width = format == 0x08 ? 1 : format == 0x10 ? 2 : 4;
        if (uint8_t* m = Map(address, width))
            memcpy(m, &value, width);
        return sWord(REGISTER_COMPLETE);
    }
    case 0x0404:
    case 0x0A0A:
        dataCommand_ = type;
        dataAddress_ = address;
        dataLeft_ = count;
        incoming_.clear();
        chattered_ = false;
        if (count == 0)
            return sWord(type == 0x0404 ? WRITE_COMPLETE : REGISTER_COMPLETE);
        return ImxSdpReply();
    case 0x0B0B: {
        ImxSdpReply r;
        r.any = true;  // the security state, then the processor leaves the ROM
        jumped_ = true;
        jumpAddress_ = address;
        jumpTime_ = std::chrono::steady_clock::now();
        return r;
    }
    default:
        status_ = 0x55555555;
        return ImxSdpReply();
    }
}

ImxSdpReply ImxSdpDevice::Data(const uint8_t* data, size_t count, bool* chatter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (chatter)
        *chatter = false;
    if (dataLeft_ == 0 || Hung())
        return ImxSdpReply();
    size_t n = count < dataLeft_ ? count : dataLeft_;
    incoming_.insert(incoming_.end(), data, data + n);
    dataLeft_ -= n;
    if (faults.chatterDuringData && !chattered_ && dataLeft_ > 0) {
        chattered_ = true;
        if (chatter)
            *chatter = true;
        return Counted(sWord(status_));
    }
    if (dataLeft_ > 0)
        return ImxSdpReply();
    if (dataCommand_ == 0x0A0A)
        return Counted(sWord(REGISTER_COMPLETE));
    uint8_t* m = Map(dataAddress_, (uint32_t)incoming_.size());
    if (!m) {
        status_ = STATUS_BAD_ADDRESS;
        return Counted(sWord(STATUS_BAD_ADDRESS));
    }
    memcpy(m, incoming_.data(), incoming_.size());
    writes_.push_back({dataAddress_, incoming_});
    return Counted(sWord(faults.badCompletion ? 0x12345678 : WRITE_COMPLETE));
}

size_t ImxSdpDevice::DataExpected()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return dataLeft_;
}

bool ImxSdpDevice::Jumped(uint32_t* address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (address)
        *address = jumpAddress_;
    return jumped_;
}

std::chrono::steady_clock::time_point ImxSdpDevice::JumpTime()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return jumpTime_;
}

std::vector<ImxSdpDevice::Write> ImxSdpDevice::Writes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<uint16_t> ImxSdpDevice::Commands()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<uint8_t> ImxSdpDevice::Memory(uint32_t address, uint32_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    uint8_t* m = Map(address, count);
    return m ? std::vector<uint8_t>(m, m + count) : std::vector<uint8_t>();
}

ImxRomSim::ImxRomSim(uint32_t baud, uint32_t idleTimeoutMs) : idleTimeoutMs_(idleTimeoutMs) { line_.SetBaud(baud); }

ImxRomSim::~ImxRomSim() { Stop(); }

bool ImxRomSim::Start()
{
    if (running_)
        return true;
    uint32_t baud = line_.Baud();
    if (!line_.Open())
        return false;
    line_.SetBaud(baud);
    stop_ = false;
    running_ = true;
    thread_ = std::thread(&ImxRomSim::Run, this);
    return true;
}

void ImxRomSim::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    line_.Close();
}

void ImxRomSim::Send(const ImxSdpReply& reply)
{
    if (!reply.any)
        return;
    if (replyDelayMs)
        aTime_SleepUntilUS(line_.LastArrivalUs() + (uint64_t)replyDelayMs * 1000);
    std::vector<uint8_t> out;
    sPutLE32(out, ImxSdpDevice::HAB_OPEN);
    out.insert(out.end(), reply.payload.begin(), reply.payload.end());
    line_.Write(out.data(), out.size());
}

void ImxRomSim::Run()
{
    static const uint8_t ASSOCIATE[4] = {0x23, 0x45, 0x45, 0x23};
    std::vector<uint8_t> command;
    auto idleSince = std::chrono::steady_clock::now();
    auto lastByte = idleSince;
    bool announced = false;
    while (!stop_) {
        uint8_t b;
        if (!line_.ReadByte(b, 50)) {
            auto now = std::chrono::steady_clock::now();
            // A command cut short is forgotten, as the ROM's receive time-out does.
            if (!command.empty() && now - lastByte > std::chrono::milliseconds(100))
                command.clear();
            if (now - idleSince > std::chrono::milliseconds(idleTimeoutMs_))
                break;
            uint32_t entry;
            if (!announced && device_.Jumped(&entry)) {
                announced = true;
                if (device_.onJump)
                    device_.onJump(entry);
            }
            continue;
        }
        idleSince = lastByte = std::chrono::steady_clock::now();
        if (device_.DataExpected() > 0) {
            bool chatter = false;
            ImxSdpReply r = device_.Data(&b, 1, &chatter);
            Send(r);
            continue;
        }
        command.push_back(b);
        if (command.size() == 4 && memcmp(command.data(), ASSOCIATE, 4) == 0) {
            if (!device_.Faults().silent)
                line_.Write(ASSOCIATE, 4);
            command.clear();
            continue;
        }
        if (command.size() == 16) {
            bool wasRunning = device_.Jumped();
            ImxSdpReply r = device_.Command(command.data());
            command.clear();
            Send(r);
            if (!wasRunning && device_.Jumped() && !banner.empty())
                line_.Write(banner);
        }
    }
    uint32_t entry;
    if (!announced && device_.Jumped(&entry) && device_.onJump)
        device_.onJump(entry);
    running_ = false;
}
