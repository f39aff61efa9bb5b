// Link construction, connection and state.
#include "Link.h"

#include <cstring>

#include "LinkImpl.h"
#include "aTime.h"

namespace Vantorix {
namespace Strandix {

Link::Link(const char* name) : m_impl(new impl)
{
    m_impl->owner = this;
    if (name)
        m_impl->name.assign(name, strnlen(name, kLinkNameMax));
}

Link::Link(const linkSpec& spec, const char* name) : Link(name)
{
    m_impl->specifier = new linkSpec(spec);
}

Link::~Link()
{
    m_impl->dropPacketLog();
    if (m_impl->linkId != 0) {
        m_impl->installStreamFilter(false);
        aLink_Destroy(&m_impl->linkId);
    }
    // Without an engine link the filter is gone; the worker may still run.
    m_impl->streams.stopWorker();
    delete m_impl->specifier;
    delete m_impl;
}

aErr Link::setLinkSpecifier(const linkSpec& spec)
{
    if (isConnected())
        return aErrBusy;
    if (!m_impl->specifier)
        m_impl->specifier = new linkSpec(spec);
    else
        *m_impl->specifier = spec;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (!m_impl->specifier)
        return aErrNotFound;
    if (!spec)
        return aErrParam;
    *spec = *m_impl->specifier;
    return aErrNone;
}

const char* Link::getName() const
{
    return m_impl->name.c_str();
}

aLinkId Link::getLinkId() const
{
    return m_impl->linkId;
}

static aLinkId sCreateEngineLink(const linkSpec& spec)
{
    switch (spec.type) {
    case USB:
        return aLink_CreateUSB(spec.serial_number);
    case TCPIP:
        return aLink_CreateTCPIP(spec.t.ip.ip_address, (uint16_t)spec.t.ip.ip_port);
    case SERIAL: {
        char port[aLINKSPEC_PORT_NAME_SIZE];
        memcpy(port, spec.t.serial.port_name, sizeof(port));
        port[sizeof(port) - 1] = '\0';
        return aLink_CreateSerial(spec.serial_number, port, spec.t.serial.baud_rate);
    }
    default:
        return 0;
    }
}

aErr Link::connect()
{
    bool created = false;
    if (m_impl->linkId == 0) {
        if (!m_impl->specifier)
            return aErrConfiguration;
        m_impl->linkId = sCreateEngineLink(*m_impl->specifier);
        if (m_impl->linkId == 0)
            return aErrConnection;
        created = true;
    }
    aErr err = awaitRunning();
    // A link made by a failed attempt goes again, so that the next attempt starts afresh
    // instead of finding the dead one.
    if (err != aErrNone && created)
        aLink_Destroy(&m_impl->linkId);
    else if (created)
        m_impl->followPacketLog();
    return err;
}

aErr Link::awaitRunning()
{
    switch (aLink_GetStatus(m_impl->linkId)) {
    case LINK_RUNNING:
        return aErrNone;
    case LINK_STOPPING:
        return aErrBusy;
    case LINK_STOPPED:
    case LINK_STARTING:
    case LINK_SYNCING:
        for (int i = 0; i < kConnectPolls; i++) {
            aTime_MSSleep(kConnectPollMs);
            if (aLink_GetStatus(m_impl->linkId) == LINK_RUNNING)
                return aErrNone;
        }
        return aErrConnection;
    case LINK_NO_STREAM:
    case LINK_IO_FAULT:
    case LINK_FAULT:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

bool Link::isConnected() const
{
    if (m_impl->linkId == 0)
        return false;
    linkStatus status = aLink_GetStatus(m_impl->linkId);
    return status == LINK_STARTING || status == LINK_RUNNING;
}

linkStatus Link::getStatus() const
{
    return m_impl->linkId == 0 ? LINK_FAULT : aLink_GetStatus(m_impl->linkId);
}

aErr Link::disconnect()
{
    if (m_impl->packetLogger)
        aLogger_Disable(m_impl->packetLogger);
    if (m_impl->linkId != 0) {
        m_impl->installStreamFilter(false);
        aLink_Destroy(&m_impl->linkId);
    }
    return aErrNone;
}

aErr Link::reset()
{
    if (m_impl->linkId != 0) {
        aLink_Reset(m_impl->linkId);
        // The engine starts a reset link without a user filter.
        m_impl->reinstallStreamFilter();
    }
    return aErrNone;
}

}  // namespace Strandix
}  // namespace Vantorix
