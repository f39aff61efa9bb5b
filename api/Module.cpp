// Module: connection, auto-networking, introspection queries and the echo test.
#include "Module.h"

#include <cstring>

#include "aTime.h"

namespace Vantorix {
namespace Strandix {

namespace {
constexpr int kAddressTries = 4;
constexpr uint32_t kAddressRetryMs = 5;
enum : uint8_t { infoHasUEI = 1, infoClassQuantity = 4, infoSubClassQuantity = 5, infoEntityGroup = 6 };
}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetwork, uint8_t model)
    : m_link(new Link("Link")), m_address(address), m_autoNetwork(autoNetwork), m_model(model)
{
}

Module::~Module()
{
    delete m_link;
}

bool Module::ensureLink()
{
    if (!m_link)
        m_link = new Link("Link");
    return m_link != nullptr;
}

void Module::autoNetwork()
{
    if (!m_autoNetwork || !m_link)
        return;
    uint8_t address = 0;
    for (int i = 0; i < kAddressTries; i++) {
        if (m_link->getModuleAddress(&address) != aErrNotReady)
            break;
        aTime_MSSleep(kAddressRetryMs);
    }
    if (address != 0 && address != m_address)
        m_address = address;
}

aErr Module::connectFromSpec(const linkSpec& spec)
{
    m_routed = false;
    if (!ensureLink())
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone)
        return err;
    err = m_link->connect();
    if (err == aErrNone)
        autoNetwork();
    return err;
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (!router)
        return aErrParam;
    if (!router->getLink())
        return aErrNotReady;
    linkSpec spec{};
    if (router->getLink()->getLinkSpecifier(&spec) != aErrNone)
        return aErrNotReady;
    if (!ensureLink())
        return aErrInitialization;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone)
        return err;
    err = m_link->connect();
    m_autoNetwork = false;
    m_routed = true;
    return err;
}

aErr Module::reconnect()
{
    if (!m_link)
        return aErrInitialization;
    aErr err = m_link->connect();
    if (err == aErrNone)
        autoNetwork();
    return err;
}

aErr Module::disconnect()
{
    if (!m_link)
        return aErrInitialization;
    return m_link->disconnect();
}

bool Module::isConnected() const
{
    return m_link && m_link->isConnected();
}

linkStatus Module::getStatus() const
{
    return m_link ? m_link->getStatus() : LINK_FAULT;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const
{
    if (!m_link)
        return aErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

aErr Module::enablePacketLog(const char* path)
{
    return m_link ? m_link->enablePacketLog(path) : aErrConfiguration;
}

aErr Module::disablePacketLog()
{
    return m_link ? m_link->disablePacketLog() : aErrConfiguration;
}

// One information query: the request bytes after the command, the expected reply length; the
// reply must echo the request's first (replyLength - 2) bytes. *answer is its last byte.
aErr Module::informationQuery(const uint8_t* request, uint8_t requestLength, uint8_t replyLength, uint8_t* answer)
{
    if (!m_link)
        return aErrInitialization;
    if (!m_link->isConnected())
        return aErrConnection;
    aErr err = m_link->sendPacket(m_address, kCmdInformation, requestLength, request);
    if (err != aErrNone)
        return err;
    const uint8_t match[] = {kCmdInformation};
    uint8_t length = sizeof(match);
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    err = m_link->receivePacket(m_address, match, &length, reply);
    if (err != aErrNone)
        return err;
    const uint8_t echoed = (uint8_t)(replyLength - 2);
    if (length != replyLength || memcmp(reply + 1, request, echoed) != 0)
        return aErrUnknown;
    *answer = reply[replyLength - 1];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction)
{
    if ((direction & 0x3F) != 0 || (direction & 0xC0) == 0xC0)
        return aErrParam;
    const uint8_t request[] = {infoHasUEI, command, option, index, direction};
    uint8_t answer = 0;
    aErr err = informationQuery(request, sizeof(request), 6, &answer);
    return err != aErrNone ? err : (aErr)answer;
}

aErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    const uint8_t request[] = {infoClassQuantity, command};
    uint8_t answer = 0;
    aErr err = informationQuery(request, sizeof(request), 4, &answer);
    if (err == aErrNone)
        *count = answer;
    return err;
}

aErr Module::subClassQuantity(uint8_t command, uint8_t entity, uint8_t* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    const uint8_t request[] = {infoSubClassQuantity, command, entity};
    uint8_t answer = 0;
    aErr err = informationQuery(request, sizeof(request), 5, &answer);
    if (err == aErrNone)
        *count = answer;
    return err;
}

aErr Module::entityGroup(uint8_t command, uint8_t entity, uint8_t* group)
{
    if (!group)
        return aErrParam;
    *group = 0;
    const uint8_t request[] = {infoEntityGroup, command, entity};
    uint8_t answer = 0;
    aErr err = informationQuery(request, sizeof(request), 5, &answer);
    if (err == aErrNone)
        *group = answer;
    return err;
}

aErr Module::debug(const uint8_t* data, uint8_t length)
{
    if (!m_link)
        return aErrInitialization;
    if (!m_link->isConnected())
        return aErrConnection;
    if (length > 0 && !data)
        return aErrParam;
    aErr err = m_link->sendPacket(m_address, kCmdDebugEcho, length, data);
    if (err != aErrNone)
        return err;
    const uint8_t match[] = {kCmdDebugEcho};
    uint8_t replyLength = sizeof(match);
    uint8_t reply[aSTRANDIX_MAX_PACKET_BYTES];
    err = m_link->receivePacket(m_address, match, &replyLength, reply);
    if (err != aErrNone)
        return err;
    if (replyLength != length + 1 || (length > 0 && memcmp(reply + 1, data, length) != 0))
        return aErrIO;
    return aErrNone;
}

}  // namespace Strandix
}  // namespace Vantorix
