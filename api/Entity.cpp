// EntityClass: typed get, set and call operations as UEI exchanges.
#include "Entity.h"

#include <cstring>

namespace Vantorix {
namespace Strandix {

struct EntityClass::impl {
    EntityClass* owner = nullptr;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new impl)
{
    m_impl->owner = this;
}

EntityClass::~EntityClass()
{
    delete m_impl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl->index;
}

uint8_t EntityClass::getCommand() const
{
    return m_impl->command;
}

Module* EntityClass::getModule() const
{
    return m_impl->module;
}

Link* EntityClass::link() const
{
    return m_impl->module ? m_impl->module->getLink() : nullptr;
}

void EntityClass::fillHeader(uei* u, uint8_t option) const
{
    u->module = m_impl->module->getModuleAddress();
    u->command = m_impl->command;
    u->option = option;
    u->specifier = (uint8_t)((m_impl->index & aUEI_INDEX_MASK) | aUEI_INDEX_FLAG);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->receivePacket(m_impl->module->getModuleAddress(), match, length, data);
}

// The reply's error code when it is an error reply, else the exchange's result.
static aErr sReplyResult(aErr err, const uei* u)
{
    if (err == aErrNone && aUEI_IsError(u))
        return (aErr)u->v.byteVal;
    return err;
}

// A value of one of the fixed-size types (byte, short, int), for the typed set operations.
static uei sValue(ueiType type, uint32_t value)
{
    uei u{};
    u.type = type;
    if (type == ueiTypeByte)
        u.v.byteVal = (uint8_t)value;
    else if (type == ueiTypeShort)
        u.v.shortVal = (uint16_t)value;
    else
        u.v.intVal = value;
    return u;
}

static aErr sSetExchange(Link* l, const uei* request, const uint8_t* subIndex, uint8_t option, uint8_t index,
                         uei* reply)
{
    aErr err = subIndex ? l->sendUEI(*request, *subIndex) : l->sendUEI(*request);
    if (err != aErrNone)
        return err;
    err = l->receiveUEI(request->module, request->command, (uint8_t)(option | aUEI_SET_REPLY), index, reply);
    return sReplyResult(err, reply);
}

aErr EntityClass::setUEI(uint8_t option, uei* u)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    if (!u)
        return aErrParam;
    option &= aUEI_OPTION_MASK;
    fillHeader(u, (uint8_t)(option | aUEI_SET));
    return sSetExchange(l, u, nullptr, option, m_impl->index, u);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subIndex, uei* u)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    if (!u)
        return aErrParam;
    option &= aUEI_OPTION_MASK;
    fillHeader(u, (uint8_t)(option | aUEI_SET));
    return sSetExchange(l, u, &subIndex, option, m_impl->index, u);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei u{};
    u.type = ueiTypeVoid;
    return setUEI(option, &u);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei u = sValue(ueiTypeByte, value);
    return setUEI(option, &u);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei u = sValue(ueiTypeShort, value);
    return setUEI(option, &u);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei u = sValue(ueiTypeInt, value);
    return setUEI(option, &u);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subIndex, uint8_t value)
{
    uei u = sValue(ueiTypeByte, value);
    return setUEI(option, subIndex, &u);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subIndex, uint32_t value)
{
    uei u = sValue(ueiTypeInt, value);
    return setUEI(option, subIndex, &u);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    if (length > 0 && !data)
        return aErrParam;
    uei u{};
    u.type = ueiTypeBytes;
    u.v.bytesVal.data = const_cast<uint8_t*>(data);  // only read when sending
    u.v.bytesVal.length = length;
    return setUEI(option, &u);
}

aErr EntityClass::getExchange(uint8_t option, uei* u, bool withSubIndex)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    option &= aUEI_OPTION_MASK;
    const uint8_t module = m_impl->module->getModuleAddress();
    const uint8_t subIndex = withSubIndex ? u->v.byteVal : 0;
    uint32_t streamed = 0;
    aErr err = l->getStreamValue(Link::StreamKey(module, m_impl->command, option, m_impl->index, subIndex), &streamed);
    if (err != aErrNotFound) {
        u->type = ueiTypeInt;
        u->v.intVal = streamed;
        return err;
    }
    fillHeader(u, (uint8_t)(option | aUEI_GET));
    if (withSubIndex) {
        // The sub-index travels as the request's one-byte value.
        u->type = ueiTypeByte;
        u->v.byteVal = subIndex;
    } else {
        u->type = ueiTypeVoid;
    }
    err = l->sendUEI(*u);
    if (err != aErrNone)
        return err;
    // A reply whose length gives no known type must not leave the request's value behind.
    u->type = ueiTypeVoid;
    err = l->receiveUEI(module, m_impl->command, option, m_impl->index, u);
    return sReplyResult(err, u);
}

aErr EntityClass::getUEI(uint8_t option, uei* u)
{
    if (!link())
        return aErrResource;
    if (!u)
        return aErrParam;
    return getExchange(option, u, u->type == ueiTypeByte);
}

// The value of a decoded reply, whatever its width.
static uint32_t sValue(const uei& u)
{
    switch (u.type) {
    case ueiTypeByte:
        return u.v.byteVal;
    case ueiTypeShort:
        return u.v.shortVal;
    case ueiTypeInt:
        return u.v.intVal;
    default:
        return 0;
    }
}

static bool sHasValue(aErr err)
{
    return err == aErrNone || err == aErrStreamStale;
}

template <typename T>
static aErr sTypedGet(EntityClass& entity, aErr (EntityClass::*get)(uint8_t, uei*), uint8_t option, T* value,
                      const uint8_t* subIndex)
{
    if (!value)
        return aErrParam;
    uei u{};
    if (subIndex) {
        u.type = ueiTypeByte;
        u.v.byteVal = *subIndex;
    } else {
        u.type = ueiTypeVoid;
    }
    aErr err = (entity.*get)(option, &u);
    if (err == aErrNone && u.type == ueiTypeVoid)
        return aErrSize;  // the device answered without a value
    if (sHasValue(err))
        *value = (T)sValue(u);
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return sTypedGet(*this, &EntityClass::getUEI, option, value, nullptr);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return sTypedGet(*this, &EntityClass::getUEI, option, value, nullptr);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return sTypedGet(*this, &EntityClass::getUEI, option, value, nullptr);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subIndex, uint8_t* value)
{
    return sTypedGet(*this, &EntityClass::getUEI, option, value, &subIndex);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subIndex, uint16_t* value)
{
    return sTypedGet(*this, &EntityClass::getUEI, option, value, &subIndex);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subIndex, uint32_t* value)
{
    return sTypedGet(*this, &EntityClass::getUEI, option, value, &subIndex);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t size, size_t* length)
{
    if (!buffer || !length || size == 0)
        return aErrParam;
    *length = 0;
    Link* l = link();
    if (!l)
        return aErrResource;
    option &= aUEI_OPTION_MASK;
    uei request{};
    fillHeader(&request, (uint8_t)(option | aUEI_GET));
    request.type = ueiTypeVoid;
    // Chunks of an earlier run that ended early (a buffer too small, a time-out) would otherwise
    // be taken as this run's later chunks.
    l->dropMatchingUEIPackets(request.module, m_impl->command, option, m_impl->index);
    aErr err = l->sendUEI(request);
    if (err != aErrNone)
        return err;
    uei reply{};
    reply.v.bytesVal.data = buffer;
    reply.v.bytesVal.size = size;
    err = l->receiveUEIBytes(request.module, m_impl->command, option, m_impl->index, &reply);
    *length = reply.v.bytesVal.length;
    return err;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit)
{
    if (!count || unit == 0)
        return aErrParam;
    if (*count % unit != 0)
        return aErrMemory;
    *count /= unit;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t)
{
    if (!value)
        return aErrParam;
    Link* l = link();
    if (!l)
        return aErrResource;
    uei u{};
    aErr err = l->receiveUEI(m_impl->module->getModuleAddress(), m_impl->command, (uint8_t)(option & aUEI_OPTION_MASK),
                             m_impl->index, &u);
    err = sReplyResult(err, &u);
    if (err != aErrNone)
        return err;
    if (u.type != ueiTypeInt)
        return aErrSize;
    *value = u.v.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Link* l = link();
    if (!l)
        return aErrResource;
    return l->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option, m_impl->index);
}

}  // namespace Strandix
}  // namespace Vantorix
