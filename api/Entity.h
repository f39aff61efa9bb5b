// The base of every entity object: one instance (index) of an entity class (command code) on a
// module. Typed get, set and call operations become UEI exchanges over the module's Link; a
// device error reply gives the device's own aErr code.
#ifndef SX_API_ENTITY_H
#define SX_API_ENTITY_H

#include <cstddef>
#include <cstdint>

#include "Module.h"
#include "aUEI.h"

namespace Vantorix {
namespace Strandix {

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;
    uint8_t getCommand() const;
    Module* getModule() const;

    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    aErr getUEI(uint8_t option, uei* u);
    aErr setUEI(uint8_t option, uei* u);
    aErr setUEI(uint8_t option, uint8_t subIndex, uei* u);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subIndex, uint8_t value);
    aErr setUEI32(uint8_t option, uint8_t subIndex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subIndex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subIndex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subIndex, uint32_t* value);
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t size, size_t* length);

    static uint8_t getUEIBytesSequence(uint8_t trailer) { return trailer & aUEI_SEQUENCE_MASK; }
    static bool getUEIBytesContinue(uint8_t trailer) { return (trailer & aUEI_MORE_CHUNKS) != 0; }
    // aErrParam for a null count; aErrMemory when *count is not a multiple of unit; else *count
    // becomes the number of units.
    static aErr getUEIBytesCheck(size_t* count, size_t unit);

    // Waits (the link's reply time-out) for an unasked get-form reply carrying a 32-bit value.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeoutMs = kReplyTimeoutMs);
    aErr drainUEI(uint8_t option);

    // Value streams of this entity on the module's link.
    // Streams every option of the entity (option 0xFF).
    aErr setStreamEnabled(bool enable);
    aErr registerOptionCallback(uint8_t option, bool enable, const StreamCallback& callback, void* reference);
    // The last streamed value of each option of the entity, by stream key.
    aErr getStreamStatus(std::map<uint64_t, uint32_t>* status);

  protected:
    // The module's link, or null when the entity is unbound or the module has none.
    Link* link() const;

  private:
    struct impl;
    impl* m_impl;

    void fillHeader(uei* u, uint8_t option) const;
    aErr getExchange(uint8_t option, uei* u, bool withSubIndex);
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
