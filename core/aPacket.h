// Protocol packets (address, length, up to 28 data bytes), assembled one wire byte at a time.
#ifndef SX_APACKET_H
#define SX_APACKET_H

#include <cstdint>
#include "aDefs.h"

#define aPACKET_CHECK 0xBEEF
#define aSTRANDIX_MAX_PACKET_BYTES 28
// Wire bytes of the largest packet: address, length and 28 data bytes.
#define aPACKET_MAX_WIRE_BYTES (aSTRANDIX_MAX_PACKET_BYTES + 2)

typedef struct aPacket {
    uint16_t check;
    uint8_t byteCount;  // wire bytes taken in so far, address and length byte included
    uint8_t address;
    uint8_t length;
    uint8_t data[aSTRANDIX_MAX_PACKET_BYTES];
} aPacket;

#define aVALIDPACKET(p) ((p) != nullptr && (p)->check == aPACKET_CHECK)

// A function that selects packets; called with a FIFO's lock held, so it must neither block
// nor call back into the same FIFO.
typedef bool (*aPacketFilter)(const aPacket* packet, void* ref);

aPacket* aPacket_Create(void);
// The caller keeps length at or below 28.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_Reset(aPacket* packet);
// Takes in one wire byte; any error means the byte stream lost its framing.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Destroy(aPacket** packet);

#endif
