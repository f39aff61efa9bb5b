#include "LpcRomSim.h"

#include "aTime.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

const uint32_t RAM_BASE = 0x10000000, RAM_SIZE = 0x8000, RAM_ISP_RESERVED = 0x200;
const uint32_t AHB_BASE = 0x2007C000, AHB_SIZE = 0x8000;
const int LINES_PER_CHECKSUM = 20;
const int BYTES_PER_LINE = 45;

enum {
    CMD_SUCCESS = 0, INVALID_COMMAND = 1, SRC_ADDR_ERROR = 2, DST_ADDR_ERROR = 3, SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5, COUNT_ERROR = 6, INVALID_SECTOR = 7, SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED = 9, PARAM_ERROR = 12, ADDR_ERROR = 13, ADDR_NOT_MAPPED = 14, CMD_LOCKED = 15,
    INVALID_CODE = 16
};

char sUUChar(uint32_t v)
{
    v &= 63;
    return v ? (char)(v + 32) : '`';
}

std::string sUUEncode(const uint8_t* data, size_t count)
{
    std::string out(1, sUUChar((uint32_t)count));
    for (size_t i = 0; i < count; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16;
        if (i + 1 < count)
            v |= (uint32_t)data[i + 1] << 8;
        if (i + 2 < count)
            v |= data[i + 2];
        out += sUUChar(v >> 18);
        out += sUUChar(v >> 12);
        out += sUUChar(v >> 6);
        out += sUUChar(v);
    }
    return out;
}

// Decodes one line; false when it is malformed (shorter than its count says).
bool sUUDecode(const std::string& line, std::vector<uint8_t>& out)
{
    if (line.empty())
        return false;
    size_t count = (uint8_t)(line[0] - 32) & 63;
    size_t produced = 0;
    for (size_t i = 1; produced < count; i += 4) {
        if (i + 3 >= line.size())
            return false;
        uint32_t v = 0;
        for (int k = 0; k < 4; k++)
            v = (v << 6) | ((uint8_t)(line[i + k] - 32) & 63);
        for (int k = 2; k >= 0 && produced < count; k--, produced++)
            out.push_back((uint8_t)(v >> (8 * k)));
    }
    return true;
}

bool sNumber(const std::string& word, uint32_t& value)
{
    if (word.empty())
        return false;
    char* end = nullptr;
    unsigned long v = strtoul(word.c_str(), &end, 10);
    if (*end != 0)
        return false;
    value = (uint32_t)v;
    return true;
}

}  // namespace

uint32_t LpcRomSim::SectorStart(uint32_t sector)
{
    return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
}

uint32_t LpcRomSim::SectorSize(uint32_t sector) { return sector < 16 ? 0x1000 : 0x8000; }

static uint32_t sSectorOf(uint32_t address)
{
    for (uint32_t s = 0; s < LpcRomSim::SECTORS; s++)
        if (address >= LpcRomSim::SectorStart(s) && address < LpcRomSim::SectorStart(s) + LpcRomSim::SectorSize(s))
            return s;
    return LpcRomSim::SECTORS;
}

LpcRomSim::LpcRomSim(const LpcRomConfig& config) : config_(config)
{
    flash_.assign(FLASH_SIZE, 0xFF);
    ram_.assign(RAM_SIZE, 0);
    ahbRam_.assign(AHB_SIZE, 0);
    if (config_.staleRam) {
        uint32_t x = 0x2545F491;
        for (auto* mem : {&ram_, &ahbRam_})
            for (uint8_t& b : *mem) {
                x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                b = (uint8_t)x;
            }
    }
    resendFaultsLeft_ = config_.resendFaults;
}

LpcRomSim::~LpcRomSim() { Stop(); }

bool LpcRomSim::Start()
{
    if (running_)
        return true;
    if (!line_.Open())
        return false;
    line_.SetBaud(config_.baud);
    stop_ = false;
    running_ = true;
    thread_ = std::thread(&LpcRomSim::Run, this);
    return true;
}

void LpcRomSim::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    line_.Close();
}

std::vector<uint8_t> LpcRomSim::Flash()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

bool LpcRomSim::Executed(uint32_t* address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (address)
        *address = executeAddress_;
    return executed_;
}

bool LpcRomSim::AwaitExecuted(uint32_t* address, int timeoutMs)
{
    const uint64_t deadline = aTime_MonoMS() + (uint64_t)(timeoutMs > 0 ? timeoutMs : 0);
    while (!Executed(address)) {
        if (aTime_MonoMS() >= deadline)
            return false;
        aTime_MSSleep(10);
    }
    return true;
}

std::vector<std::string> LpcRomSim::Commands()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<uint32_t> LpcRomSim::Erased()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return erased_;
}

uint32_t LpcRomSim::ResendsSent()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return resends_;
}

void LpcRomSim::LastWriteShape(uint32_t* lines, uint32_t* checksums)
{
    std::lock_guard<std::mutex> lock(mutex_);
    *lines = writeLines_;
    *checksums = writeChecksums_;
}

std::vector<uint8_t> LpcRomSim::Ram()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ram_;
}

bool LpcRomSim::ReadLine(std::string& line, int timeoutMs)
{
    line.clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!stop_) {
        uint8_t b;
        if (!line_.ReadByte(b, 50)) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            continue;
        }
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (echo_ && state_ != UNSYNCED) {
            line_.Write(&b, 1);
            echoed_++;
        }
        if (b == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        if (line.size() < 4096)
            line += (char)b;
    }
    return false;
}

void LpcRomSim::Reply(const std::string& text)
{
    if (config_.replyDelayMs)
        aTime_SleepUntilUS(line_.LastArrivalUs() + (uint64_t)config_.replyDelayMs * 1000);
    line_.Write(text);
}

void LpcRomSim::Run()
{
    auto idleSince = std::chrono::steady_clock::now();
    while (!stop_) {
        if (state_ == UNSYNCED || state_ == RUNNING) {
            uint8_t b;
            if (!line_.ReadByte(b, 50)) {
                if (std::chrono::steady_clock::now() - idleSince > std::chrono::milliseconds(config_.idleTimeoutMs))
                    break;
                continue;
            }
            idleSince = std::chrono::steady_clock::now();
            if (state_ == UNSYNCED && b == '?') {
                // Autobaud: the chip locks onto the rate the program is using.
                if (config_.baud == 0 && line_.HostBaud() != 0)
                    line_.SetBaud(line_.HostBaud());
                Reply("Synchronized\r\n");
                state_ = AWAIT_SYNC_WORD;
            }
            continue;
        }
        std::string text;
        if (!ReadLine(text, (int)config_.idleTimeoutMs))
            break;
        idleSince = std::chrono::steady_clock::now();
        if (state_ == AWAIT_SYNC_WORD) {
            if (text == "Synchronized") {
                Reply("OK\r\n");
                state_ = AWAIT_CRYSTAL;
            } else {
                state_ = UNSYNCED;
            }
        } else if (state_ == AWAIT_CRYSTAL) {
            uint32_t khz;
            if (sNumber(text, khz)) {
                Reply("OK\r\n");
                state_ = COMMANDS;
            } else {
                state_ = UNSYNCED;
            }
        } else {
            Command(text);
        }
    }
    running_ = false;
}

uint8_t* LpcRomSim::Memory(uint32_t address, uint32_t count, bool writable)
{
    if (address >= RAM_BASE && (uint64_t)address + count <= RAM_BASE + RAM_SIZE) {
        if (writable && address < RAM_BASE + RAM_ISP_RESERVED)
            return nullptr;
        return &ram_[address - RAM_BASE];
    }
    if (address >= AHB_BASE && (uint64_t)address + count <= AHB_BASE + AHB_SIZE)
        return &ahbRam_[address - AHB_BASE];
    if (!writable && (uint64_t)address + count <= FLASH_SIZE)
        return &flash_[address];
    return nullptr;
}

void LpcRomSim::Command(const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(text);
    }
    std::istringstream words(text);
    std::string name;
    words >> name;
    std::vector<uint32_t> args;
    std::string word;
    std::string mode;
    while (words >> word) {
        uint32_t v;
        if (sNumber(word, v))
            args.push_back(v);
        else
            mode = word;
    }
    auto need = [&](size_t n) {
        if (args.size() != n) {
            Code(PARAM_ERROR);
            return false;
        }
        return true;
    };

    if (name == "A") {
        if (!need(1))
            return;
        if (args[0] > 1)
            return Code(PARAM_ERROR);
        echo_ = args[0] == 1;
        return Code(CMD_SUCCESS);
    }
    if (name == "U") {
        if (!need(1))
            return;
        if (args[0] != 23130)
            return Code(INVALID_CODE);
        unlocked_ = true;
        return Code(CMD_SUCCESS);
    }
    if (name == "B") {
        if (!need(2))
            return;
        Code(CMD_SUCCESS);
        line_.SetBaud(args[0]);
        return;
    }
    if (name == "J")
        return Reply("0\r\n" + std::to_string(config_.partId) + "\r\n");
    if (name == "K")
        return Reply("0\r\n" + std::to_string(config_.bootMajor) + "\r\n" + std::to_string(config_.bootMinor) + "\r\n");
    if (name == "N") {
        std::string reply = "0\r\n";
        for (uint32_t w : config_.serial)
            reply += std::to_string(w) + "\r\n";
        return Reply(reply);
    }
    if (name == "P" || name == "E" || name == "I") {
        if (!need(2))
            return;
        if (args[0] > args[1] || args[1] >= SECTORS)
            return Code(INVALID_SECTOR);
        if (name == "P") {
            if (config_.prepareFault)
                return Code((int)config_.prepareFault);
            std::lock_guard<std::mutex> lock(mutex_);
            for (uint32_t s = args[0]; s <= args[1]; s++)
                prepared_[s] = true;
            return Code(CMD_SUCCESS);
        }
        if (name == "I") {
            for (uint32_t a = SectorStart(args[0]); a < SectorStart(args[1]) + SectorSize(args[1]); a += 4)
                if (flash_[a] != 0xFF || flash_[a + 1] != 0xFF || flash_[a + 2] != 0xFF || flash_[a + 3] != 0xFF) {
                    uint32_t content;
                    memcpy(&content, &flash_[a], 4);
                    return Reply("8\r\n" + std::to_string(a) + "\r\n" + std::to_string(content) + "\r\n");
                }
            return Code(CMD_SUCCESS);
        }
        if (!unlocked_)
            return Code(CMD_LOCKED);
        for (uint32_t s = args[0]; s <= args[1]; s++)
            if (!prepared_[s])
                return Code(SECTOR_NOT_PREPARED);
        if (config_.eraseFault)
            return Code((int)config_.eraseFault);
        // A real part takes about 100 ms a sector; the answer comes only when it is done.
        auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(config_.eraseMsPerSector * (args[1] - args[0] + 1));
        while (!stop_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (uint32_t s = args[0]; s <= args[1]; s++) {
                memset(&flash_[SectorStart(s)], 0xFF, SectorSize(s));
                erased_.push_back(s);
            }
            memset(prepared_, 0, sizeof(prepared_));
        }
        return Code(CMD_SUCCESS);
    }
    if (name == "W" || name == "R") {
        if (!need(2))
            return;
        uint32_t address = args[0], count = args[1];
        if (address % 4)
            return Code(name == "W" ? DST_ADDR_ERROR : SRC_ADDR_ERROR);
        if (count == 0 || count % 4)
            return Code(COUNT_ERROR);
        if (!Memory(address, count, name == "W"))
            return Code(name == "W" ? DST_ADDR_NOT_MAPPED : SRC_ADDR_NOT_MAPPED);
        Code(CMD_SUCCESS);
        if (name == "W")
            DoWrite(address, count);
        else
            DoRead(address, count);
        return;
    }
    if (name == "C") {
        if (!need(3))
            return;
        uint32_t flash = args[0], ram = args[1], count = args[2];
        if (!unlocked_)
            return Code(CMD_LOCKED);
        if (flash % 256)
            return Code(DST_ADDR_ERROR);
        if (ram % 4)
            return Code(SRC_ADDR_ERROR);
        if (count != 256 && count != 512 && count != 1024 && count != 4096)
            return Code(COUNT_ERROR);
        if ((uint64_t)flash + count > FLASH_SIZE)
            return Code(DST_ADDR_NOT_MAPPED);
        uint8_t* source = Memory(ram, count, false);
        if (!source || ram < RAM_BASE)
            return Code(SRC_ADDR_NOT_MAPPED);
        for (uint32_t s = sSectorOf(flash); s <= sSectorOf(flash + count - 1); s++)
            if (!prepared_[s])
                return Code(SECTOR_NOT_PREPARED);
        if (config_.copyFault)
            return Code((int)config_.copyFault);
        std::lock_guard<std::mutex> lock(mutex_);
        // Programming can only clear bits.
        for (uint32_t i = 0; i < count; i++)
            flash_[flash + i] &= source[i];
        memset(prepared_, 0, sizeof(prepared_));
        Code(CMD_SUCCESS);
        return;
    }
    if (name == "G") {
        if (!need(1))
            return;
        if (!unlocked_)
            return Code(CMD_LOCKED);
        if (mode != "T" && mode != "A")
            return Code(PARAM_ERROR);
        Code(CMD_SUCCESS);
        std::vector<uint8_t> flash;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            executed_ = true;
            executeAddress_ = args[0];
            state_ = RUNNING;
            if (config_.onExecute)
                flash = flash_;
        }
        if (config_.onExecute)
            config_.onExecute(flash);
        return;
    }
    Code(INVALID_COMMAND);
}

void LpcRomSim::DoWrite(uint32_t address, uint32_t count)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writeLines_ = writeChecksums_ = 0;
    }
    uint32_t done = 0;
    while (done < count && !stop_) {
        std::vector<uint8_t> group;
        int lines = 0;
        while (lines < LINES_PER_CHECKSUM && done + group.size() < count) {
            std::string text;
            if (!ReadLine(text, 2000))
                return;
            if (!sUUDecode(text, group))
                group.clear(), lines = LINES_PER_CHECKSUM;  // garbage: make the checksum fail
            lines++;
            std::lock_guard<std::mutex> lock(mutex_);
            writeLines_++;
        }
        std::string text;
        if (!ReadLine(text, 2000))
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            writeChecksums_++;
        }
        uint32_t expected = 0, sum = 0;
        for (uint8_t b : group)
            sum += b;
        bool fault = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (resendFaultsLeft_ > 0) {
                resendFaultsLeft_--;
                fault = true;
            }
        }
        if (fault || !sNumber(text, expected) || expected != sum || done + group.size() > count) {
            std::lock_guard<std::mutex> lock(mutex_);
            resends_++;
            Reply("RESEND\r\n");
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            memcpy(Memory(address + done, (uint32_t)group.size(), true), group.data(), group.size());
        }
        done += (uint32_t)group.size();
        Reply("OK\r\n");
    }
}

void LpcRomSim::DoRead(uint32_t address, uint32_t count)
{
    uint32_t done = 0;
    int attempts = 0;
    while (done < count && !stop_) {
        std::vector<uint8_t> data;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            uint8_t* source = Memory(address, count, false);
            data.assign(source, source + count);
        }
        uint32_t position = done, sum = 0;
        std::string out;
        for (int lines = 0; lines < LINES_PER_CHECKSUM && position < count; lines++) {
            uint32_t n = count - position < (uint32_t)BYTES_PER_LINE ? count - position : BYTES_PER_LINE;
            out += sUUEncode(&data[position], n) + "\r\n";
            for (uint32_t i = 0; i < n; i++)
                sum += data[position + i];
            position += n;
        }
        out += std::to_string(sum) + "\r\n";
        Reply(out);
        std::string answer;
        if (!ReadLine(answer, 2000))
            return;
        if (answer == "OK") {
            done = position;
        } else if (answer != "RESEND" || ++attempts > 10) {
            return;
        }
    }
}
