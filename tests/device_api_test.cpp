// The device API end to end against the simulated module over a real TCP link on 127.0.0.1:
// connection and status polling, auto-networking, entity gets, sets and calls, byte runs,
// introspection, store slots, factory data, router mode and the packet log.
// test-labels: threads
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <memory>
#include <vector>

#include "Entity.h"
#include "IsolatedHome.h"
#include "Link.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimModuleLogic.h"
#include "SystemClass.h"

using namespace Vantorix::Strandix;

namespace {

linkSpec sTcpSpec(uint16_t port, uint32_t serial)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_number = serial;
    spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
    spec.t.ip.ip_port = port;
    return spec;
}

// One simulated module (address 8 unless told otherwise) listening on 127.0.0.1.
struct SimModule {
    SimModuleConfig module;
    std::unique_ptr<SimModuleLogic> logic;
    std::unique_ptr<SimDevice> device;

    explicit SimModule(uint8_t address = 8, uint32_t serial = 0x1234ABCD)
    {
        module.address = address;
        module.serialNumber = serial;
        module.router = address;
        module.model = 16;
        module.version = (3u << 28) | (4u << 24) | 56u;
        module.build = 7001;
        logic.reset(new SimModuleLogic(module));
        SimDeviceConfig config;
        config.serialNumber = serial;
        config.moduleAddress = address;
        config.idleTimeoutMs = 60000;
        device.reset(new SimDevice(config, logic.get()));
        EXPECT_TRUE(device->ListenTcp(0));
        EXPECT_TRUE(device->Start());
    }
    ~SimModule() { device->Stop(); }
    linkSpec Spec() const { return sTcpSpec(device->Port(), module.serialNumber); }
};

}  // namespace

TEST(LinkConnect, StatusPollingAndFailures)
{
    Link noSpec("no specifier");
    EXPECT_EQ(aErrConfiguration, noSpec.connect());
    EXPECT_FALSE(noSpec.isConnected());
    EXPECT_EQ(LINK_FAULT, noSpec.getStatus());
    linkSpec out{};
    EXPECT_EQ(aErrNotFound, noSpec.getLinkSpecifier(&out));

    SimModule sim;
    Link link(sim.Spec(), "sim");
    EXPECT_STREQ("sim", link.getName());
    ASSERT_EQ(aErrNone, link.connect());
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(aErrBusy, link.setLinkSpecifier(sim.Spec()));
    uint8_t address = 0;
    EXPECT_EQ(aErrNone, link.getModuleAddress(&address));
    EXPECT_EQ(8, address);

    // A device that never completes a resynchronisation: connect polls for about 2 s, then fails.
    sim.device->SetSyncReply({0x06, 0x00, 0x08, 0x00});
    sim.device->InjectFramingByte();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (link.getStatus() != LINK_SYNCING && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(LINK_SYNCING, link.getStatus());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrConnection, link.connect());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(aErrNotReady, link.getModuleAddress(&address));
    EXPECT_EQ(0, address);

    // The proper reply again: the link comes back and connect succeeds.
    sim.device->SetSyncReply({});
    EXPECT_EQ(aErrNone, link.connect());
    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_FALSE(link.isConnected());

    // Nobody listening: the link's stream fails and connect says so.
    SimModule gone;
    linkSpec closed = gone.Spec();
    gone.device->Stop();
    gone.device.reset(new SimDevice(SimDeviceConfig{}, nullptr));
    Link refused(closed, "refused");
    EXPECT_EQ(aErrConnection, refused.connect());
}

TEST(ModuleConnect, AutoNetworkingLearnsTheAddress)
{
    SimModule sim(8);
    Module automatic(6, 0);
    ASSERT_EQ(aErrNone, automatic.connectFromSpec(sim.Spec()));
    EXPECT_EQ(8, automatic.getModuleAddress());
    EXPECT_EQ(aErrBusy, automatic.connectFromSpec(sim.Spec()));

    Module fixed(6, false, 0);
    ASSERT_EQ(aErrNone, fixed.connectFromSpec(sim.Spec()));
    EXPECT_EQ(6, fixed.getModuleAddress());
    ASSERT_EQ(aErrNone, fixed.reconnect());
    EXPECT_EQ(6, fixed.getModuleAddress());

    // Through another module's connection: no address query, now or on reconnect.
    Module through(6, 0);
    ASSERT_EQ(aErrNone, through.connectThroughLinkModule(&automatic));
    EXPECT_FALSE(through.getNetworkingMode());
    ASSERT_EQ(aErrNone, through.reconnect());
    EXPECT_EQ(6, through.getModuleAddress());

    Module unbound(2, 0);
    EXPECT_EQ(aErrNotReady, unbound.connectThroughLinkModule(&unbound));
    EXPECT_EQ(aErrParam, unbound.connectThroughLinkModule(nullptr));
}

TEST(SystemEntity, GetsSetsCallsAndDeviceErrors)
{
    SimModule sim(8, 0x0BADF00D);
    Module module(2, 0);
    ASSERT_EQ(aErrNone, module.connectFromSpec(sim.Spec()));
    SystemClass system;
    system.init(&module, 0);

    uint32_t serial = 0, version = 0;
    uint8_t model = 0, address = 0, router = 0;
    EXPECT_EQ(aErrNone, system.getSerialNumber(&serial));
    EXPECT_EQ(0x0BADF00Du, serial);
    EXPECT_EQ(aErrNone, system.getModel(&model));
    EXPECT_EQ(16, model);
    EXPECT_EQ(aErrNone, system.getVersion(&version));
    EXPECT_EQ(sim.module.version, version);
    EXPECT_EQ(aErrNone, system.getModule(&address));
    EXPECT_EQ(8, address);

    EXPECT_EQ(aErrNone, system.setRouter(0x22));
    EXPECT_EQ(aErrNone, system.getRouter(&router));
    EXPECT_EQ(0x22, router);
    uint8_t led = 0;
    EXPECT_EQ(aErrNone, system.setLED(5));
    EXPECT_EQ(aErrNone, system.getLED(&led));
    EXPECT_EQ(1, led);
    uint32_t limit = 0;
    EXPECT_EQ(aErrNone, system.setPowerLimitMax(0x00012345));
    EXPECT_EQ(aErrNone, system.getPowerLimitMax(&limit));
    EXPECT_EQ(0x00012345u, limit);
    int32_t coldest = 0;
    EXPECT_EQ(aErrNone, system.getMinimumTemperature(&coldest));
    EXPECT_EQ(-5000000, coldest);

    EXPECT_EQ(aErrNone, system.reset());
    EXPECT_EQ(1, sim.logic->Resets(8));
    EXPECT_EQ(aErrNone, system.routeToMe(1));
    EXPECT_EQ(1, sim.logic->RouteToMe());

    // The device's own error codes come back unchanged.
    EntityClass unknownEntity;
    unknownEntity.init(&module, 0x12, 0);
    uint8_t value = 0;
    EXPECT_EQ(aErrInvalidEntity, unknownEntity.getUEI8(1, &value));
    EXPECT_EQ(aErrInvalidOption, system.getUEI8(0x3E, &value));
    EXPECT_EQ(aErrInvalidOption, system.setUEI32(sysSerialNumber, 1));  // read-only
    SystemClass second;
    second.init(&module, 3);
    EXPECT_EQ(aErrIndexRange, second.getSerialNumber(&serial));

    // Without a module or a link nothing is sent.
    SystemClass unbound;
    EXPECT_EQ(aErrResource, unbound.getSerialNumber(&serial));
    EXPECT_EQ(aErrParam, system.getSerialNumber(nullptr));
}

TEST(SystemEntity, ByteRunsInChunks)
{
    SimModule sim;
    Module module(2, 0);
    ASSERT_EQ(aErrNone, module.connectFromSpec(sim.Spec()));
    SystemClass system;
    system.init(&module, 0);

    std::vector<uint8_t> name(50);
    for (size_t i = 0; i < name.size(); i++)
        name[i] = (uint8_t)('A' + i % 26);
    ASSERT_EQ(aErrNone, system.setName(name.data(), name.size()));
    std::vector<uint8_t> back(64);
    size_t length = 0;
    ASSERT_EQ(aErrNone, system.getName(back.data(), back.size(), &length));
    ASSERT_EQ(name.size(), length);
    EXPECT_TRUE(std::equal(name.begin(), name.end(), back.begin()));

    uint8_t small[10];
    EXPECT_EQ(aErrMemory, system.getName(small, sizeof(small), &length));
    // What is left of that run must not end up in the next one.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<uint8_t> other(30, 'z');
    ASSERT_EQ(aErrNone, system.setName(other.data(), other.size()));
    ASSERT_EQ(aErrNone, system.getName(back.data(), back.size(), &length));
    ASSERT_EQ(other.size(), length);
    EXPECT_TRUE(std::equal(other.begin(), other.end(), back.begin()));
    EXPECT_EQ(aErrParam, system.getName(nullptr, 10, &length));

    size_t count = 12;
    EXPECT_EQ(aErrNone, EntityClass::getUEIBytesCheck(&count, 4));
    EXPECT_EQ(3u, count);
    count = 13;
    EXPECT_EQ(aErrMemory, EntityClass::getUEIBytesCheck(&count, 4));
}

TEST(ModuleQueries, IntrospectionAndEcho)
{
    SimModule sim;
    Module module(2, 0);
    ASSERT_EQ(aErrNone, module.connectFromSpec(sim.Spec()));
    EXPECT_EQ(aErrNone, module.hasUEI(3, 9, 0, 0x40));
    EXPECT_EQ(aErrInvalidOption, module.hasUEI(3, 9, 0, 0x80));
    EXPECT_EQ(aErrInvalidEntity, module.hasUEI(0x12, 1, 0, 0));
    EXPECT_EQ(aErrParam, module.hasUEI(3, 9, 0, 0xC0));
    EXPECT_EQ(aErrParam, module.hasUEI(3, 9, 0, 0x41));
    uint8_t count = 99;
    EXPECT_EQ(aErrNone, module.classQuantity(3, &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(aErrNone, module.subClassQuantity(4, 0, &count));
    EXPECT_EQ(2, count);
    EXPECT_EQ(aErrNone, module.entityGroup(3, 0, &count));
    EXPECT_EQ(0, count);

    const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(aErrNone, module.debug(hello, sizeof(hello)));

    Module offline(2, 0);
    EXPECT_EQ(aErrConnection, offline.classQuantity(3, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(aErrConnection, offline.debug(hello, sizeof(hello)));
}

TEST(LinkTransfers, StoreSlotsAndFactoryData)
{
    SimModule sim;
    Module module(2, 0);
    ASSERT_EQ(aErrNone, module.connectFromSpec(sim.Spec()));
    Link* link = module.getLink();
    const uint8_t a = module.getModuleAddress();

    std::vector<uint8_t> data(60);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7);
    ASSERT_EQ(aErrNone, link->loadStoreSlot(a, 1, 3, data.data(), data.size()));
    size_t size = 0, capacity = 0;
    EXPECT_EQ(aErrNone, link->storeSlotSize(a, 1, 3, &size));
    EXPECT_EQ(60u, size);
    EXPECT_EQ(aErrNone, link->storeSlotCapacity(a, 1, 3, &capacity));
    EXPECT_EQ(SimModuleLogic::kSlotCapacity, capacity);
    std::vector<uint8_t> back(100);
    size_t length = 0;
    ASSERT_EQ(aErrNone, link->unloadStoreSlot(a, 1, 3, back.data(), back.size(), &length));
    ASSERT_EQ(60u, length);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    uint8_t small[10];
    EXPECT_EQ(aErrOverrun, link->unloadStoreSlot(a, 1, 3, small, sizeof(small), &length));
    EXPECT_EQ(10u, length);
    EXPECT_EQ(0, memcmp(small, data.data(), 10));
    EXPECT_EQ(aErrIndexRange, link->storeSlotSize(a, 9, 0, &size));
    std::vector<uint8_t> tooBig(SimModuleLogic::kSlotCapacity + 1);
    EXPECT_EQ(aErrOverrun, link->loadStoreSlot(a, 0, 0, tooBig.data(), tooBig.size()));

    std::vector<uint8_t> factory(40);
    for (size_t i = 0; i < factory.size(); i++)
        factory[i] = (uint8_t)(0xF0 - i);
    ASSERT_EQ(aErrNone, link->setFactoryData(a, 2, factory.data(), factory.size()));
    std::vector<uint8_t> read(64);
    ASSERT_EQ(aErrNone, link->getFactoryData(a, 2, read.data(), read.size(), &length));
    ASSERT_EQ(40u, length);
    EXPECT_TRUE(std::equal(factory.begin(), factory.end(), read.begin()));
    EXPECT_EQ(aErrOverrun, link->getFactoryData(a, 2, read.data(), 20, &length));
    EXPECT_EQ(aErrInvalidOption, link->getFactoryData(a, 5, read.data(), read.size(), &length));

    // Exchanges check their arguments before anything is sent.
    uint8_t operands[28] = {};
    EXPECT_EQ(aErrParam, link->sendPacket(a, 1, 28, operands));
    EXPECT_EQ(aErrPacket, link->sendPacket(3, 1, 1, operands));
    EXPECT_EQ(aErrPacket, link->sendPacket(0, 1, 1, operands));
}

TEST(RouterMode, ModulesBehindTheRouterAnswerThroughItsConnection)
{
    SimModule router(2, 0x00000100);
    for (uint8_t address : {4, 10}) {
        SimModuleConfig behind;
        behind.address = address;
        behind.serialNumber = 0x00000100u + address;
        behind.router = 2;
        behind.model = 18;
        router.logic->AddNetworkModule(behind);
    }
    Module hub(2, 0);
    ASSERT_EQ(aErrNone, hub.connectFromSpec(router.Spec()));
    for (uint8_t address : {4, 10}) {
        Module probe(address, 0);
        ASSERT_EQ(aErrNone, probe.connectThroughLinkModule(&hub));
        SystemClass system;
        system.init(&probe, 0);
        uint32_t serial = 0;
        uint8_t routerAddress = 0;
        EXPECT_EQ(aErrNone, system.getSerialNumber(&serial));
        EXPECT_EQ(0x00000100u + address, serial);
        EXPECT_EQ(aErrNone, system.getRouter(&routerAddress));
        EXPECT_EQ(2, routerAddress);
    }
    // Nobody at 6: silence, so the request times out.
    Module empty(6, 0);
    ASSERT_EQ(aErrNone, empty.connectThroughLinkModule(&hub));
    SystemClass system;
    system.init(&empty, 0);
    uint32_t serial = 0;
    EXPECT_EQ(aErrTimeout, system.getSerialNumber(&serial));
    // Unless the router says so at once.
    router.logic->SetAnswerAbsent(true);
    EXPECT_EQ(aErrConnection, system.getSerialNumber(&serial));
    EXPECT_TRUE(hub.isConnected());
}

TEST(LinkPacketLog, WritesSentAndReceivedPackets)
{
    TempDir dir;
    const std::string path = dir.file("packets.log");
    SimModule sim;
    {
        Module module(2, 0);
        EXPECT_EQ(aErrConfiguration, module.getLink()->enablePacketLog(path.c_str()));
        ASSERT_EQ(aErrNone, module.connectFromSpec(sim.Spec()));
        ASSERT_EQ(aErrNone, module.enablePacketLog(path.c_str()));
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        ASSERT_EQ(aErrNone, system.getSerialNumber(&serial));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // A reconnection makes a new engine link: the log follows it.
        ASSERT_EQ(aErrNone, module.disconnect());
        ASSERT_EQ(aErrNone, module.reconnect());
        ASSERT_EQ(aErrNone, system.getSerialNumber(&serial));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(aErrNone, module.disablePacketLog());
    }
    std::string text = ReadFileText(path);
    EXPECT_NE(std::string::npos, text.find("START")) << text;
    auto count = [&text](const std::string& line) {
        size_t n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            n++;
        return n;
    };
    EXPECT_EQ(2u, count("5 > 0x8 0x3 0x3 0x49 0x20 \r\n")) << text;
    EXPECT_EQ(2u, count("9 < 0x8 0x7 0x3 0x9 0x0 0x12 0x34 0xAB 0xCD \r\n")) << text;
}
