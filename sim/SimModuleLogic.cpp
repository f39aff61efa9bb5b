#include "SimModuleLogic.h"

#include <cstring>

#include "aTime.h"

namespace {

const uint8_t kCmdSystem = 3;
const uint8_t kCmdStoreSlot = 4;
const uint8_t kCmdEcho = 23;
const uint8_t kCmdUpgrade = 0x5F;  // taken by a network module's upgrade entity
const uint8_t kCmdInformation = 0x49;
const uint8_t kCmdFactory = 0x5E;
const uint8_t kCmdStream = SimStreamLogic::kCommand;

// Error codes the firmware sends back (the host's aErr numbering).
const uint8_t kErrParam = 2;
const uint8_t kErrEOF = 10;
const uint8_t kErrRange = 13;
const uint8_t kErrSize = 14;
const uint8_t kErrOverrun = 15;
const uint8_t kErrIndexRange = 26;
const uint8_t kErrShortCommand = 27;
const uint8_t kErrInvalidEntity = 28;
const uint8_t kErrInvalidOption = 29;
const uint8_t kErrConnection = 25;

const uint8_t kStores = 2;
const uint8_t kSlotsPerStore = 12;
const size_t kChunk = 24;

enum class Kind { Byte, Int, Call, Bytes };
enum Access : unsigned { Get = 1, Set = 2 };

struct OptionInfo {
    Kind kind;
    unsigned access;
};

// The system entity's options.
const std::map<uint8_t, OptionInfo>& sSystemOptions()
{
    static const std::map<uint8_t, OptionInfo> options = {
        {0x01, {Kind::Byte, Get}},       {0x02, {Kind::Byte, Get | Set}}, {0x03, {Kind::Byte, Get | Set}},
        {0x04, {Kind::Byte, Get | Set}}, {0x06, {Kind::Byte, Get | Set}}, {0x07, {Kind::Int, Get}},
        {0x08, {Kind::Byte, Get}},       {0x09, {Kind::Int, Get}},        {0x0A, {Kind::Call, Set}},
        {0x0B, {Kind::Call, Set}},       {0x0C, {Kind::Int, Get}},        {0x0D, {Kind::Byte, Get}},
        {0x0E, {Kind::Byte, Get}},       {0x0F, {Kind::Byte, Get | Set}}, {0x10, {Kind::Byte, Get}},
        {0x14, {Kind::Byte, Set}},       {0x15, {Kind::Int, Get}},        {0x16, {Kind::Int, Get}},
        {0x17, {Kind::Int, Get}},        {0x18, {Kind::Call, Set}},       {0x19, {Kind::Int, Get}},
        {0x1A, {Kind::Int, Get}},        {0x1B, {Kind::Int, Get}},        {0x1C, {Kind::Int, Get}},
        {0x1D, {Kind::Byte, Get}},       {0x1F, {Kind::Byte, Get | Set}}, {0x20, {Kind::Bytes, Get | Set}},
        {0x21, {Kind::Int, Get}},        {0x22, {Kind::Int, Get | Set}},  {0x23, {Kind::Int, Get}},
        {0x24, {Kind::Call, Set}},       {0x25, {Kind::Call, Set}},       {0x26, {Kind::Byte, Get | Set}},
        {0x28, {Kind::Int, Get}},        {0x29, {Kind::Int, Get}},
    };
    return options;
}

void sPutInt(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back((uint8_t)(value >> 24));
    out.push_back((uint8_t)(value >> 16));
    out.push_back((uint8_t)(value >> 8));
    out.push_back((uint8_t)value);
}

SimPacket sPacket(uint8_t address, const std::vector<uint8_t>& data)
{
    SimPacket p;
    p.address = address;
    p.length = (uint8_t)(data.size() < sizeof(p.data) ? data.size() : sizeof(p.data));
    memcpy(p.data, data.data(), p.length);
    return p;
}

}  // namespace

struct SimModuleLogic::Module {
    SimModuleConfig config;
    std::map<uint8_t, uint32_t> values;  // option -> value of the system entity
    std::vector<uint8_t> name;
    std::vector<uint8_t> incomingName;
    uint8_t incomingSequence = 0;
    int resets = 0;
    // Store slots.
    std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> slots;
    struct Handle {
        std::pair<uint8_t, uint8_t> slot;
        bool write = false;
        size_t offset = 0;
    };
    std::map<uint8_t, Handle> handles;
    uint8_t nextHandle = 1;
    // Factory data by command (low 4 bits).
    std::map<uint8_t, std::vector<uint8_t>> factory;
    uint8_t factoryCommand = 0;
    size_t factoryOffset = 0;
    size_t factoryWritten = 0;
};

SimModuleLogic::SimModuleLogic(const SimModuleConfig& self)
{
    AddNetworkModule(self);
}

SimModuleLogic::~SimModuleLogic() = default;

void SimModuleLogic::AddNetworkModule(const SimModuleConfig& config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto module = std::make_unique<Module>();
    module->config = config;
    module->name.assign(config.name.begin(), config.name.end());
    auto& v = module->values;
    v[0x01] = config.address;
    v[0x02] = config.router;
    v[0x03] = 1;
    v[0x04] = 0;
    v[0x06] = 0;
    v[0x07] = config.version;
    v[0x08] = config.model;
    v[0x09] = config.serialNumber;
    v[0x0C] = 5000000;
    v[0x0D] = 0;
    v[0x0E] = config.address;
    v[0x0F] = 0;
    v[0x10] = config.router;
    v[0x15] = 250000;
    v[0x16] = 42;
    v[0x17] = (uint32_t)45000000;
    v[0x19] = (uint32_t)12000000;
    v[0x1A] = (uint32_t)300000;
    v[0x1B] = (uint32_t)31000000;
    v[0x1C] = (uint32_t)-5000000;
    v[0x1D] = 1;
    v[0x1F] = 0;
    v[0x21] = 10000;
    v[0x22] = 15000;
    v[0x23] = 0;
    v[0x26] = 0;
    v[0x28] = 0x01000000;
    v[0x29] = 0;
    for (uint8_t store = 0; store < kStores; store++)
        for (uint8_t slot = 0; slot < kSlotsPerStore; slot++)
            module->slots[{store, slot}];
    modules_[config.address] = module.get();
    owned_.push_back(std::move(module));
}

SimUpgradeLogic* SimModuleLogic::AddNetworkUpgrade(uint8_t address, const SimUpgradeConfig& config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Module* module = Find(address);
    if (module == nullptr || owned_.empty() || module == owned_.front().get())
        return nullptr;
    auto upgrade = std::make_unique<SimUpgradeLogic>(config, nullptr, module->config.serialNumber);
    // Restarting is going silent on the module network; the connection to the router stays.
    // It comes back answering under the serial number it restarts with (a loader may take the
    // default one; REBOOT gives the module's own back).
    upgrade->SetAwayHook([this, address](SimDevice&, int awayMs, uint32_t serial) {
        std::lock_guard<std::mutex> hold(mutex_);
        silentUntil_[address] = awayMs < 0 ? -1 : (int64_t)aTime_MonoMS() + (awayMs > 0 ? awayMs : 1);
        if (Module* m = Find(address))
            if (serial != 0)
                m->values[0x09] = serial;
    });
    // After REBOOT it runs what the update gave it.
    upgrade->SetRunningHook([this, address](uint32_t build, uint32_t version) { SetFirmware(address, build, version); });
    SimUpgradeLogic* raw = upgrade.get();
    upgrades_[address] = std::move(upgrade);
    return raw;
}

SimUpgradeLogic* SimModuleLogic::NetworkUpgrade(uint8_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = upgrades_.find(address);
    return it == upgrades_.end() ? nullptr : it->second.get();
}

void SimModuleLogic::SetAnswerAbsent(bool answer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    answerAbsent_ = answer;
}

void SimModuleLogic::SetBuildReplyLength(uint8_t address, int length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (Module* m = Find(address))
        m->config.buildReplyLength = length;
}

void SimModuleLogic::SetFirmware(uint8_t address, uint32_t build, uint32_t version)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (Module* m = Find(address)) {
        m->config.build = build;
        m->config.version = version;
        m->values[0x07] = version;
    }
}

void SimModuleLogic::SetExtraHandler(std::function<bool(SimDevice&, const SimPacket&)> handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    extra_ = std::move(handler);
}

uint8_t SimModuleLogic::RouteToMe()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return routeToMe_;
}

int SimModuleLogic::Resets(uint8_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Module* m = Find(address);
    return m ? m->resets : 0;
}

std::vector<uint8_t> SimModuleLogic::AddressesSeen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

SimModuleLogic::Module* SimModuleLogic::Find(uint8_t address)
{
    auto it = modules_.find(address);
    return it == modules_.end() ? nullptr : it->second;
}

void SimModuleLogic::OnPacket(SimDevice& device, const SimPacket& packet)
{
    std::function<bool(SimDevice&, const SimPacket&)> extra;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        extra = extra_;
    }
    if (extra && extra(device, packet))
        return;

    SimUpgradeLogic* upgrade = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto silent = silentUntil_.find(packet.address);
        if (silent != silentUntil_.end())
            return;  // restarting: nothing on the module network answers for it
        auto it = upgrades_.find(packet.address);
        if (it != upgrades_.end() && packet.length >= 1 && packet.data[0] == kCmdUpgrade)
            upgrade = it->second.get();
    }
    if (upgrade != nullptr) {
        upgrade->OnPacket(device, packet);
        return;
    }

    std::lock_guard<std::mutex> lock(mutex_);
    if (packet.length == 0)
        return;
    if (seen_.size() < 100000)
        seen_.push_back(packet.address);
    Module* module = Find(packet.address);
    if (!module) {
        // A router that knows its network says so for an address nobody holds.
        if (answerAbsent_ && packet.length >= 3 && (packet.data[1] & 0xC0) != 0 && (packet.data[1] & 0xC0) != 0xC0) {
            Module absent;
            absent.config.address = packet.address;
            SendUEIError(device, absent, packet, kErrConnection);
        }
        return;
    }
    switch (packet.data[0]) {
    case kCmdSystem:
        HandleUEI(device, *module, packet);
        break;
    case kCmdStoreSlot:
        HandleStoreSlot(device, *module, packet);
        break;
    case kCmdInformation:
        HandleInformation(device, *module, packet);
        break;
    case kCmdFactory:
        HandleFactoryData(device, *module, packet);
        break;
    case kCmdEcho:
        device.Send(packet);
        break;
    case kCmdStream:
        streams_.HandleCommand(device, module->config.address, packet);
        break;
    default:
        // An entity class this module does not have.
        if (packet.length >= 3 && ((packet.data[1] & 0xC0) == 0x40 || (packet.data[1] & 0xC0) == 0x80))
            SendUEIError(device, *module, packet, kErrInvalidEntity);
        break;
    }
}

// The streamable options of a module's system entity: every readable byte or 32-bit value.
static void sSources(uint8_t address, const std::map<uint8_t, uint32_t>& values, std::vector<SimStreamSource>& out)
{
    for (const auto& option : sSystemOptions()) {
        if (!(option.second.access & Get) || (option.second.kind != Kind::Byte && option.second.kind != Kind::Int))
            continue;
        SimStreamSource source;
        source.module = address;
        source.command = kCmdSystem;
        source.option = option.first;
        source.index = 0;
        source.type = option.second.kind == Kind::Byte ? 1 : 3;
        auto value = values.find(option.first);
        source.value = value == values.end() ? 0 : value->second;
        out.push_back(source);
    }
}

static SimStreamSource sSource(uint8_t address, uint8_t option, uint32_t value)
{
    SimStreamSource source;
    source.module = address;
    source.command = kCmdSystem;
    source.option = option;
    source.type = sSystemOptions().at(option).kind == Kind::Byte ? 1 : 3;
    source.value = value;
    return source;
}

void SimModuleLogic::OnTick(SimDevice& device)
{
    std::vector<SimStreamSource> sources;
    std::vector<SimStreamSource> changed;
    std::vector<SimUpgradeLogic*> back;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t now = (int64_t)aTime_MonoMS();
        for (auto it = silentUntil_.begin(); it != silentUntil_.end();) {
            if (it->second >= 0 && it->second <= now) {
                back.push_back(upgrades_[it->first].get());
                it = silentUntil_.erase(it);
            } else {
                ++it;
            }
        }
        changed.swap(changed_);
        for (const auto& module : modules_)
            if (streams_.Streaming(module.first))
                sSources(module.first, module.second->values, sources);
    }
    // A module back from its restart: a started loader announces itself.
    for (SimUpgradeLogic* upgrade : back)
        if (upgrade != nullptr)
            upgrade->OnLinkOpen(device);
    for (const SimStreamSource& source : changed)
        streams_.OnChange(device, source);
    streams_.OnTick(device, sources);
}

void SimModuleLogic::OnLinkClose(SimDevice&)
{
    streams_.Clear();
}

void SimModuleLogic::OnDisconnect(SimDevice&)
{
    streams_.Clear();
}

void SimModuleLogic::SetSystemValue(uint8_t address, uint8_t option, uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Module* module = Find(address);
    auto info = sSystemOptions().find(option);
    if (!module || info == sSystemOptions().end())
        return;
    module->values[option] = value;
    if ((info->second.access & Get) && (info->second.kind == Kind::Byte || info->second.kind == Kind::Int))
        changed_.push_back(sSource(address, option, value));
}

void SimModuleLogic::SendUEIError(SimDevice& device, const Module& module, const SimPacket& request, uint8_t code)
{
    uint8_t option = (uint8_t)(request.data[1] & 0x3F);
    if (request.data[1] & 0x80)
        option |= 0xC0;
    device.Send(sPacket(module.config.address,
                        {request.data[0], option, (uint8_t)((request.data[2] & 0x1F) | 0x80), code}));
}

void SimModuleLogic::HandleUEI(SimDevice& device, Module& module, const SimPacket& packet)
{
    if (packet.length < 3) {
        // Too short to say what it is about: the firmware reports it against option 0.
        SimPacket padded = packet;
        padded.data[1] = (uint8_t)(packet.length > 1 ? packet.data[1] : 0x40);
        padded.data[2] = 0;
        SendUEIError(device, module, padded, kErrShortCommand);
        return;
    }
    const uint8_t option = packet.data[1] & 0x3F;
    const uint8_t kind = packet.data[1] & 0xC0;
    if ((packet.data[2] & 0x1F) != 0) {
        SendUEIError(device, module, packet, kErrIndexRange);
        return;
    }
    auto it = sSystemOptions().find(option);
    if (kind == 0x40) {
        if (it == sSystemOptions().end() || !(it->second.access & Get) || it->second.kind == Kind::Call)
            SendUEIError(device, module, packet, kErrInvalidOption);
        else
            SystemGet(device, module, packet, option);
    } else if (kind == 0x80) {
        if (it == sSystemOptions().end() || !(it->second.access & Set))
            SendUEIError(device, module, packet, kErrInvalidOption);
        else
            SystemSet(device, module, packet, option);
    } else {
        SendUEIError(device, module, packet, kErrInvalidOption);
    }
}

void SimModuleLogic::SendByteRun(SimDevice& device, const Module& module, const SimPacket& request,
                                 const std::vector<uint8_t>& run)
{
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        size_t chunk = run.size() - offset < kChunk ? run.size() - offset : kChunk;
        std::vector<uint8_t> data = {request.data[0], (uint8_t)(request.data[1] & 0x3F), (uint8_t)(request.data[2] & 0x1F)};
        data.insert(data.end(), run.begin() + (long)offset, run.begin() + (long)(offset + chunk));
        offset += chunk;
        data.push_back((uint8_t)((sequence & 0x7F) | (offset < run.size() ? 0x80 : 0)));
        device.Send(sPacket(module.config.address, data));
        sequence++;
    } while (offset < run.size());
}

void SimModuleLogic::SystemGet(SimDevice& device, Module& module, const SimPacket& packet, uint8_t option)
{
    const OptionInfo& info = sSystemOptions().at(option);
    if (info.kind == Kind::Bytes) {
        SendByteRun(device, module, packet, module.name);
        return;
    }
    std::vector<uint8_t> data = {packet.data[0], option, (uint8_t)(packet.data[2] & 0x1F)};
    uint32_t value = module.values[option];
    if (info.kind == Kind::Byte)
        data.push_back((uint8_t)value);
    else
        sPutInt(data, value);
    device.Send(sPacket(module.config.address, data));
}

void SimModuleLogic::SystemSet(SimDevice& device, Module& module, const SimPacket& packet, uint8_t option)
{
    const OptionInfo& info = sSystemOptions().at(option);
    const std::vector<uint8_t> done = {packet.data[0], (uint8_t)(option | 0xC0), (uint8_t)(packet.data[2] & 0x1F)};
    const uint8_t* value = packet.data + 3;
    const int valueBytes = packet.length - 3;
    switch (info.kind) {
    case Kind::Call:
        if (option == 0x0B)
            module.resets++;
        device.Send(sPacket(module.config.address, done));
        return;
    case Kind::Byte:
        if (valueBytes != 1) {
            SendUEIError(device, module, packet, kErrSize);
            return;
        }
        if (option == 0x14)
            routeToMe_ = value[0];
        else
            module.values[option] = option == 0x04 ? (value[0] ? 1 : 0) : value[0];
        device.Send(sPacket(module.config.address, done));
        if (option != 0x14)
            streams_.OnChange(device, sSource(module.config.address, option, module.values[option]));
        return;
    case Kind::Int:
        if (valueBytes != 4) {
            SendUEIError(device, module, packet, kErrSize);
            return;
        }
        module.values[option] = ((uint32_t)value[0] << 24) | ((uint32_t)value[1] << 16) | ((uint32_t)value[2] << 8) | value[3];
        device.Send(sPacket(module.config.address, done));
        streams_.OnChange(device, sSource(module.config.address, option, module.values[option]));
        return;
    case Kind::Bytes: {
        if (valueBytes < 1) {
            SendUEIError(device, module, packet, kErrSize);
            return;
        }
        uint8_t trailer = packet.data[packet.length - 1];
        uint8_t sequence = trailer & 0x7F;
        if (sequence == 0)
            module.incomingName.clear();
        else if (sequence != module.incomingSequence) {
            SendUEIError(device, module, packet, kErrRange);
            return;
        }
        module.incomingName.insert(module.incomingName.end(), value, value + valueBytes - 1);
        module.incomingSequence = (uint8_t)(sequence + 1);
        if (trailer & 0x80)
            return;  // the reply comes with the last chunk
        module.name = module.incomingName;
        device.Send(sPacket(module.config.address, done));
        return;
    }
    }
}

void SimModuleLogic::HandleInformation(SimDevice& device, Module& module, const SimPacket& packet)
{
    if (packet.length < 2)
        return;
    const uint8_t* d = packet.data;
    const uint8_t address = module.config.address;
    switch (d[1]) {
    case 0xFF: {
        std::vector<uint8_t> data = {kCmdInformation, 0xFF};
        sPutInt(data, module.config.build);
        data.resize(module.config.buildReplyLength < 2 ? 2 : (size_t)module.config.buildReplyLength, 0);
        device.Send(sPacket(address, data));
        return;
    }
    case 1: {
        if (packet.length < 6)
            return;
        uint8_t code = 0;
        if (d[2] != kCmdSystem) {
            code = kErrInvalidEntity;
        } else if ((d[4] & 0x1F) != 0) {
            code = kErrIndexRange;
        } else {
            auto it = sSystemOptions().find(d[3] & 0x3F);
            if (it == sSystemOptions().end())
                code = kErrInvalidOption;
            else if ((d[5] & 0x40) && (!(it->second.access & Get) || it->second.kind == Kind::Call))
                code = kErrInvalidOption;
            else if ((d[5] & 0x80) && !(it->second.access & Set))
                code = kErrInvalidOption;
        }
        device.Send(sPacket(address, {kCmdInformation, 1, d[2], d[3], d[4], code}));
        return;
    }
    case 4:
        if (packet.length >= 3)
            device.Send(sPacket(address, {kCmdInformation, 4, d[2], (uint8_t)(d[2] == kCmdSystem || d[2] == kCmdStoreSlot ? 1 : 0)}));
        return;
    case 5:
        if (packet.length >= 4)
            device.Send(sPacket(address, {kCmdInformation, 5, d[2], d[3], (uint8_t)(d[2] == kCmdStoreSlot ? kStores : 0)}));
        return;
    case 6:
        if (packet.length >= 4)
            device.Send(sPacket(address, {kCmdInformation, 6, d[2], d[3], 0}));
        return;
    default:
        return;
    }
}

void SimModuleLogic::HandleStoreSlot(SimDevice& device, Module& module, const SimPacket& packet)
{
    if (packet.length < 3)
        return;
    const uint8_t* d = packet.data;
    const uint8_t op = d[1];
    const uint8_t address = module.config.address;
    if (op >= 1 && op <= 4) {
        if (packet.length < 4)
            return;
        auto slot = module.slots.find({d[2], d[3]});
        if (slot == module.slots.end()) {
            device.Send(sPacket(address, {kCmdStoreSlot, (uint8_t)(op | 0x80), d[2], d[3], kErrIndexRange}));
            return;
        }
        if (op <= 2) {
            size_t n = op == 1 ? kSlotCapacity : slot->second.size();
            device.Send(sPacket(address, {kCmdStoreSlot, op, d[2], d[3], (uint8_t)(n >> 8), (uint8_t)n}));
            return;
        }
        uint8_t handle = module.nextHandle++;
        if (module.nextHandle == 255)
            module.nextHandle = 1;
        module.handles[handle] = Module::Handle{slot->first, op == 4, 0};
        if (op == 4)
            slot->second.clear();
        device.Send(sPacket(address, {kCmdStoreSlot, op, d[2], d[3], handle}));
        return;
    }
    auto h = module.handles.find(d[2]);
    if (h == module.handles.end()) {
        device.Send(sPacket(address, {kCmdStoreSlot, (uint8_t)(op | 0x80), d[2], kErrParam}));
        return;
    }
    std::vector<uint8_t>& bytes = module.slots[h->second.slot];
    switch (op) {
    case 6: {
        if (h->second.write || h->second.offset >= bytes.size()) {
            device.Send(sPacket(address, {kCmdStoreSlot, 0x86, d[2], kErrEOF}));
            return;
        }
        size_t n = bytes.size() - h->second.offset < 25 ? bytes.size() - h->second.offset : 25;
        std::vector<uint8_t> data = {kCmdStoreSlot, 6, d[2]};
        data.insert(data.end(), bytes.begin() + (long)h->second.offset, bytes.begin() + (long)(h->second.offset + n));
        h->second.offset += n;
        device.Send(sPacket(address, data));
        return;
    }
    case 7: {
        size_t n = packet.length - 3;
        if (!h->second.write || bytes.size() + n > kSlotCapacity) {
            device.Send(sPacket(address, {kCmdStoreSlot, 0x87, d[2], kErrOverrun}));
            return;
        }
        uint8_t sum = 0;
        for (size_t i = 0; i < n; i++) {
            bytes.push_back(d[3 + i]);
            sum = (uint8_t)(sum + d[3 + i]);
        }
        device.Send(sPacket(address, {kCmdStoreSlot, 7, d[2], sum}));
        return;
    }
    case 8:
        module.handles.erase(h);
        device.Send(sPacket(address, {kCmdStoreSlot, 8, d[2], 0}));
        return;
    default:
        device.Send(sPacket(address, {kCmdStoreSlot, (uint8_t)(op | 0x80), d[2], kErrParam}));
        return;
    }
}

void SimModuleLogic::HandleFactoryData(SimDevice& device, Module& module, const SimPacket& packet)
{
    if (packet.length < 2)
        return;
    const uint8_t op = packet.data[1];
    const uint8_t command = op & 0x0F;
    const uint8_t address = module.config.address;
    if (op & 0x20) {
        size_t total = packet.length >= 4 ? ((size_t)packet.data[2] << 8) | packet.data[3] : 0;
        size_t expected = module.factoryWritten != 0 ? module.factoryWritten : module.factoryOffset;
        if (packet.length < 4 || total != expected)
            device.Send(sPacket(address, {kCmdFactory, 0x80, kErrSize}));
        else
            device.Send(sPacket(address, {kCmdFactory, 0x00}));
        module.factoryOffset = 0;
        module.factoryWritten = 0;
        return;
    }
    if (op & 0x10) {
        std::vector<uint8_t>& data = module.factory[command];
        if (op & 0x40) {
            data.clear();
            module.factoryWritten = 0;
        }
        data.insert(data.end(), packet.data + 2, packet.data + packet.length);
        module.factoryWritten = data.size();
        module.factoryCommand = command;
        device.Send(sPacket(address, {kCmdFactory, command}));
        return;
    }
    auto it = module.factory.find(command);
    if (it == module.factory.end()) {
        device.Send(sPacket(address, {kCmdFactory, (uint8_t)(command | 0x80), kErrInvalidOption}));
        return;
    }
    if (op & 0x40 || module.factoryCommand != command) {
        module.factoryOffset = 0;
        module.factoryWritten = 0;
        module.factoryCommand = command;
    }
    const std::vector<uint8_t>& data = it->second;
    size_t n = data.size() - module.factoryOffset < 26 ? data.size() - module.factoryOffset : 26;
    std::vector<uint8_t> reply = {kCmdFactory, command};
    reply.insert(reply.end(), data.begin() + (long)module.factoryOffset, data.begin() + (long)(module.factoryOffset + n));
    module.factoryOffset += n;
    device.Send(sPacket(address, reply));
}
